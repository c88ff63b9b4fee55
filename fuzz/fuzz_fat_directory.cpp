// Walks arbitrary bytes as FAT directory sectors the way the engines read
// them: entry tests, long-name collection, short names, first clusters and
// the "." / ".." pair with its parent cluster.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rules/FatRules.h"
#include "rules/FatVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool bFat32 = data[0] & 1;
    std::vector<unsigned char> sec(data + 1, data + size);  // exact length: reads past it are caught
    volatile size_t sink = 0;
    u32 parent = 0;
    if (sec.size() >= 64) sink = sink + IsFatDotPair(sec.data());
    sink = sink + GetFatParentCluster(sec.data(), sec.size(), bFat32, parent) + parent;
    CFatLongName longName;
    std::string name;
    for (size_t off = 0; off + 32 <= sec.size(); off += 32) {
        const unsigned char* e = sec.data() + off;
        if (e[11] == 0x0F) {
            longName.AddPart(e);
            continue;
        }
        sink = sink + IsFatEntyValid(e, static_cast<int>(sec.size() - off));
        sink = sink + FatEntryFirstCluster(e, bFat32);
        sink = sink + GetShortNameText(e, (e[11] & 0x10) == 0).size();
        if (longName.Take(name)) sink = sink + name.size();
    }
    (void)sink;
    return 0;
}
