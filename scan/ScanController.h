// The life of one scan, the same for every front end: it says which medium
// is scanned (by what it is, not by where it was found), refuses a data
// folder that lies on that medium, starts the scan afresh or continues the
// earlier one of the same medium, stops it when the front end asks, counts
// the sectors that could not be read and reports how the scan ended.
//
// A front end makes one controller per volume, hands it a progress sink and
// a cancel test, and calls Open, Run, then queries Engine() for the files.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/IFileRecoveryParse.h"

enum class ScanMode { Full, Fast, CarveOnly };

// One volume to scan: an image file or device read whole, or the sectors
// [u64Start, + u64Count) of disk nDiskNumber (strPath is then that disk).
struct ScanTarget {
    std::string strPath;
    bool bPartition = false;
    int nDiskNumber = -1;
    u64 u64Start = 0;
    u64 u64Count = 0;
};

struct ScanReport {
    int nResult = 0;               // the engine's answer: 0 when the scan ran to its end
    bool bCancelled = false;       // stopped by the front end
    bool bResumed = false;         // continued an earlier scan of this medium
    int nFastEngineResult = 0;     // the file-system engine failed with this: the volume was swept whole
    u64 u64UnreadableSectors = 0;  // sectors the device could not deliver
    int nLogError = 0;             // errno when the scan log could not be saved
    std::vector<std::string> notes;  // what the user is told, one line each
    // The listing holds everything a scan of this volume can find.
    bool Complete() const {
        return nResult == 0 && !bCancelled && u64UnreadableSectors == 0 && nLogError == 0;
    }
};

class CScanController {
public:
    using ProgressSink =
        std::function<void(int nProgress, int nPercent, int nSecondsLeft, u64 cur, u64 count, u64 found)>;
    // cancelled is asked at every report; once it answers true the scan stops.
    CScanController(ProgressSink progress, std::function<bool()> cancelled);
    ~CScanController();
    CScanController(const CScanController&) = delete;
    CScanController& operator=(const CScanController&) = delete;

    // 0 when the data folder can hold the scan logs and lies off the
    // source; otherwise an errno (EXDEV for a folder on the source) and the
    // message that says what is wrong and what to do.
    static int CheckDataDir(const std::string& strSourcePath, std::string& strMessage);

    // What a medium is: for a file its device, inode, size and modification
    // time; for a device its size, the first and last sectors of the volume
    // and its serial number where the system gives one. 0 when it cannot
    // be told.
    static u64 MediumId(const std::string& strPath, u64 u64Start, u64 u64Count);

    // Makes the engine for the target and prepares its scan log: a fresh
    // one, or with bResume the earlier scan of the same medium. 0, or
    // non-zero when the volume cannot be read.
    int Open(const ScanTarget& target, ScanMode mode, bool bResume);
    // Scans; the engine's answer (also in Report().nResult).
    int Run();

    IFileRecoveryParse* Engine() const { return m_pEngine.get(); }
    std::unique_ptr<IFileRecoveryParse> TakeEngine() { return std::move(m_pEngine); }
    const ScanReport& Report() const { return m_Report; }

    // The scan callback every engine gets: forwards progress, and answers
    // FR_STOP_CODE (the one stop answer of every engine) once cancelled.
    static int ScanCallBack(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count,
                            u64 found, wchar_t* name);

private:
    ProgressSink m_Progress;
    std::function<bool()> m_Cancelled;
    std::unique_ptr<IFileRecoveryParse> m_pEngine;
    ScanMode m_Mode = ScanMode::Full;
    ScanReport m_Report;
    bool m_bNewDir = false;
};
