// The deep scan: the engine every full scan runs. For one volume it owns the
// fast engine of the volume's file system (none when the file system is not
// recognised), the deep FAT, exFAT and NTFS engines and the carver.
// A scan runs the fast engine first, then sweeps the unallocated sectors
// (the whole volume when the fast engine has no allocation bitmap) once, in
// 64 KiB windows, offering each sector first to the NTFS record test, then
// to the exFAT entry-set test, the two FAT directory tests and only then to
// the carver. Queries are
// merged over, or routed by nEngineType to, the four engines.
//
// The volume's record in the scan-log table says where the sweep stopped:
// a scan started without SetNotLoadLogFile reopens the earlier logs of
// every engine and continues the sweep from there.
//
// Progress: the fast engine reports with the share 9; the sweep reports
// with the share 90 and nProgress = 10 + 90 x swept / total, so that
// nProgress x nPercent / 100 runs from 9 to 90 and never falls back; the
// end of a finished scan is (100, 100).
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carving/FileTypeRecovery.h"
#include "core/DiskReader.h"
#include "core/IFileRecoveryParse.h"
#include "exfat/ProfessionalExfatRecovery.h"
#include "fat/ProfessionalFatRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "results/LogFileManager.h"
#include "scan/SweepRetry.h"

// Makes the fast engine of a volume, already initialised on it, or null
// when no file system is recognised there. The factory hands one in, so
// the deep scan needs nothing of the factory itself.
struct FastEngineMaker {
    std::function<IFileRecoveryParse*(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                                      wchar_t wcDriveLetter)>
        forPartition;
    std::function<IFileRecoveryParse*(wchar_t* szPath, wchar_t wcDriveLetter)> forPath;
};

class CProfessionalRecovery : public IFileRecoveryParse {
public:
    // Without a maker the scan has no fast engine and sweeps the whole volume.
    explicit CProfessionalRecovery(FastEngineMaker maker = {});
    ~CProfessionalRecovery() override;
    CProfessionalRecovery(const CProfessionalRecovery&) = delete;
    CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    // An image file: disk number 128, start 0, its size in sectors.
    int Init(wchar_t* szPath, wchar_t wcDriveLetter) override;
    int InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                     int nPercent) override;
    int ScanDevice(wchar_t* szReserved) override;
    int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned uParentKey, std::vector<_FILE_NODE_>& out) override;
    int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned uParentKey, unsigned& nCount) override;
    unsigned GetLostFileCount() override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) override;
    int SaveFileData(_FILE_NODE_* pNode, wchar_t* pRecoveryFileName, int nBaseLevel) override;
    int GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) override;
    int InitSearchCallBack(SearchProgressFunc pSearchFunc, void* pParam) override;
    int SearchFileNode(wchar_t* szPattern, std::vector<__SEARCH_FILE_INFO__>& out) override;
    int BuildBitMapInfo() override;
    int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                PreviewProgressFunc pFunc, void* pParam) override;
    // Routed like PreView.
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;

    // Discards the earlier log of this volume: the next scan starts afresh.
    int SetNotLoadLogFile();
    // An earlier log of this volume was found and the next scan reuses it.
    u32 IsFindLogFile() const { return m_bReuse; }
    // What the medium is (see CScanController::MediumId), set before Init:
    // an earlier log is reused only for the same medium, and the scan's
    // record carries it.
    void SetMediumId(u64 id) { m_u64MediumId = id; }
    // The fast engine's failure in the last scan (0 for none): its results
    // were dropped and the whole volume swept.
    int GetFastEngineResult() const { return m_nFastEngineResult; }

    // Offers every sector of one window (bytes long, starting at the
    // absolute sector) to the tests in order. skip = sectors beyond the
    // window that a carved file covers. Returns the last engine result.
    // Files the carver records are counted in m_Progress.
    int ParseProfessionalFileInfo(unsigned char* pBuf, u64 u64Bytes, u64 u64Sector, u64 u64Scanned, u64& u64Skip);
    // Adds the first data sector of a file found by a file-system engine
    // and its extension to the map (nothing when it cannot be told).
    int GetFileDataStartSectorMap(_FILE_NODE_* pNode, std::map<u64, std::string>& map);

    // Sweep figures of the last scan, for tools and benchmarks.
    struct SweepStats {
        u64 u64Total = 0;         // sectors to sweep
        u64 u64Scanned = 0;       // sectors swept (read or known to be zero)
        u64 u64HoleSectors = 0;   // of them, in holes of an image file, never read
        u64 u64WindowsParsed = 0;
        u64 u64WindowsAbandoned = 0;
        u64 u64UnreadableSectors = 0;  // read errors: passed over
    };
    const SweepStats& GetSweepStats() const { return m_Stats; }
    // Holes of an image file are skipped unless switched off here.
    void SetSkipHoles(bool b) { m_bSkipHoles = b; }
    IFileRecoveryParse* GetFastEngine() { return m_pFastEngine.get(); }

private:
    static int ScanAdapter(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count,
                           u64 found, wchar_t* name);
    static int RecoveryAdapter(void* pParam, int nProgress, int nPercent, int nErrorCode, wchar_t* name);
    int ReportScan(int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count, u64 found);
    int OpenEngineLogs(const std::string& strLogDir);
    int Sweep(bool bBitmap, u64& u64RangeStart, u64& u64RangeCount, u64& u64RangeOffset, u64& u64Scanned,
              u64& u64FilesFound);
    IFileRecoveryParse* Route(const _FILE_NODE_* pNode);
    // Offers a sector to the deep engines' tests; false when none took it.
    bool FeedDeepEngines(unsigned char* p, u64 u64Avail, u64 u64Sector, int& result);
    // Opens the list of sectors that fed the deep engines; on resume, first
    // offers again those before u64UpTo and drops the rest.
    void OpenFeedLog(const std::string& strLogDir, bool bReuse, u64 u64UpTo);
    // Appends what the window just parsed fed the deep engines.
    void CommitFeeds();
    std::string DevicePath() const;
    // Marks the files the file-system engines found whose data lies on a
    // sector the sweep could not read.
    void MarkUnreadableFiles();
    // On a FAT volume: the carved pictures whose carve is in question are
    // checked whole or put back together (scan/CarvedPictureJoin.h).
    void CheckCarvedPictures();

    FastEngineMaker m_MakeFastEngine;
    int m_hDevice;
    wchar_t m_wcDriveLetter;
    int m_nBytesPerSector;
    int m_nDiskNumber;
    u64 m_u64VolumeStartSector;
    u64 m_u64VolumeSectorCount;
    CDiskReader m_DiskReader;
    CProfessionalFatRecovery m_FatRecovery;
    CProfessionalNtfsRecovery m_NtfsRecovery;
    CProfessionalExfatRecovery m_ExfatRecovery;
    CFileTypeRecovery m_FileTypeRecovery;
    std::unique_ptr<IFileRecoveryParse> m_pFastEngine;
    int m_nPercent;
    ScanProgress m_Progress;  // where the sweep stands, for the carver's walks
    ScanProgressFunc m_pScanFunc;
    RecoveryProgressFunc m_pRecoveryFunc;
    SearchProgressFunc m_pSearchFunc;
    void* m_pSearchParam;
    void* m_pParam;
    u32 m_bReuse;
    _LOG_FILE_INFO_ m_LogInfo;
    std::string m_strImagePath;

    // Beyond the recorded state: what the progress shown so far was, the
    // sweep's figures and whether holes are skipped.
    int m_nLastProgress9 = 0;
    int m_nLastProgress90 = 0;
    SweepStats m_Stats;
    bool m_bSkipHoles = true;
    std::vector<unsigned char> m_vecRecordBuf;
    std::vector<unsigned char> m_vecRetryBuf;  // a window read again sector by sector
    SectorRanges m_vecUnreadable;              // what the sweep could not read
    std::string m_strLogDir;
    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> m_FeedLog;
    std::vector<u64> m_vecWindowFeeds;  // fed by the window being parsed
    u64 m_u64MediumId = 0;
    int m_nFastEngineResult = 0;
    bool m_bStopped = false;  // the front end asked to stop
};
