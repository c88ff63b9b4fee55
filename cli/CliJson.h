// The JSON Lines listing of 'scan --json': one object per found file or
// folder, then one summary object.
#pragma once

#include <string>
#include <vector>

#include "core/Records.h"

class CJsonListing {
public:
    // nPartition: the partition number the source named (0 for none).
    explicit CJsonListing(int nPartition) : m_nPartition(nPartition) {}
    // The partition the next lines belong to (0 for none); the summary
    // counts them all.
    void SetPartition(int nPartition) { m_nPartition = nPartition; }
    // One line for a hit; parent is its folder path, offset where its data
    // begins on the source, in bytes.
    void Add(const __SEARCH_FILE_INFO__& hit, const std::string& parent, unsigned long long offset);
    // The summary line: counts and bytes in all and per category, the files
    // listed as damaged and the sectors that could not be read.
    void Finish(bool bComplete, unsigned long long u64ReadErrors = 0);

private:
    struct Tally {
        unsigned long long files = 0;
        unsigned long long bytes = 0;
    };
    int m_nPartition;
    Tally m_total;
    unsigned long long m_nDamaged = 0;
    std::vector<std::pair<std::string, Tally>> m_categories;
};

std::string JsonString(const std::string& s);
