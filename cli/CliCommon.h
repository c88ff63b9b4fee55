// Shared pieces of the command-line tool.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "core/Records.h"

struct CliDisk {
    int nDiskNumber;
    std::string strPath;
    std::vector<_PARTITION_ITEM_> parts;
};

std::vector<CliDisk> EnumerateDisks(const std::vector<std::string>& images);
int CmdDisks(const std::vector<std::string>& args);
int CmdScan(const std::vector<std::string>& args);
int CmdRecover(const std::vector<std::string>& args);

// What SOURCE names: a path opened as a whole volume, or a partition of a disk.
struct CliSource {
    std::string strArg;       // as given
    std::string strPath;       // device or image file that is read
    bool bPartition = false;   // true: nDiskNumber/u64Start/u64Count are set
    int nPartition = 0;        // the partition number P the source named, 0 for none
    int nDiskNumber = -1;
    unsigned long long u64Start = 0;
    unsigned long long u64Count = 0;
};
// Resolves SOURCE; on failure prints a one-line error and returns false.
bool ResolveSource(const std::string& strArg, CliSource& out);
// Explains why a source holds no file system the fast scan reads: a whole
// disk with a partition table (name a partition) or an unknown volume.
void ReportNoFileSystem(const CliSource& src);

// Cancellation by Ctrl-C (or SIGTERM): each press is counted; the press
// that reaches the abort count ends the program at once with
// kExitInterrupted (the third by default).
constexpr int kExitInterrupted = 130;
void InstallInterruptHandler();
bool CancelRequested();  // at least one press
int InterruptCount();
void SetInterruptAbortCount(int nCount);

// Progress display on stderr: a live bar on a terminal, sparse lines otherwise.
class CliProgress {
public:
    explicit CliProgress(const char* label);
    ~CliProgress();
    void Scan(int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count, u64 found);
    void Done();

private:
    bool m_bTty;
    int m_nLastShown = -1;
    std::string m_label;
};
