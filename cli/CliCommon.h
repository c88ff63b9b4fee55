// Shared pieces of the command-line tool.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "core/ProgressThrottle.h"
#include "core/Records.h"

struct CliDisk {
    int nDiskNumber;
    std::string strPath;
    std::vector<_PARTITION_ITEM_> parts;
};

std::vector<CliDisk> EnumerateDisks(const std::vector<std::string>& images);
// The SOURCE that names partition p (from 1) of a disk in a later command.
std::string PartitionSource(const CliDisk& d, size_t p);
int CmdDisks(const std::vector<std::string>& args);
int CmdScan(const std::vector<std::string>& args);
int CmdRecover(const std::vector<std::string>& args);

// What SOURCE names: a path opened as a whole volume, or a partition of a disk.
struct CliSource {
    std::string strArg;       // as given
    std::string strPath;       // device or image file that is read
    bool bPartition = false;   // true: nDiskNumber/u64Start/u64Count are set
    int nPartition = 0;        // the partition number P the source named, 0 for none
    int nDiskNumber = -1;      // also set for a whole disk named disk:N
    unsigned long long u64Start = 0;
    unsigned long long u64Count = 0;
};
// Resolves SOURCE; on failure prints a one-line error and returns false.
bool ResolveSource(const std::string& strArg, CliSource& out);
// The volumes a scan of SOURCE reads: each partition of a whole disk with a
// partition table, in table order; otherwise the source itself.
std::vector<CliSource> VolumesToScan(const CliSource& src);
// Says that a volume holds no file system the fast scan reads (and that it
// is skipped, when other partitions of the same disk are scanned).
void ReportNoFileSystem(const CliSource& src, bool bSkipped = false);

// Cancellation by Ctrl-C (or SIGTERM): each press is counted; the press
// that reaches the abort count ends the program at once with
// kExitInterrupted (the third by default).
constexpr int kExitInterrupted = 130;
void InstallInterruptHandler();
bool CancelRequested();  // at least one press
int InterruptCount();
void SetInterruptAbortCount(int nCount);

// Progress display on stderr: a live bar on a terminal, redrawn at most ten
// times a second with the read rate and the time left; sparse lines
// otherwise.
class CliProgress {
public:
    explicit CliProgress(const char* label);
    ~CliProgress();
    void Scan(int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count, u64 found);
    void Done();

private:
    struct Report {
        int nPercent = 0, nRemaindSecond = -1;
        u64 cur = 0, count = 0, found = 0;
    };
    void Draw(const Report& r);

    bool m_bTty;
    int m_nLastShown = -1;
    std::string m_label;
    CProgressThrottle m_throttle;
    Report m_last;
    int m_nPhase = -1;        // the engine's phase (its nPercent) last reported
    bool m_bPending = false;  // the last report has not been drawn
    // Where the sweep stood when this display began, for the read rate.
    CProgressThrottle::Clock::time_point m_start = CProgressThrottle::Clock::now();
    u64 m_firstSector = 0;
    bool m_bStarted = false;
};
