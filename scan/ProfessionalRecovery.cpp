#include "scan/ProfessionalRecovery.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <initializer_list>
#include <new>
#include <set>
#include <strings.h>

#include "scan/CarvedPictureJoin.h"
#include "scan/SweepReader.h"
#include "scan/SweepRetry.h"
#include "core/ByteOrder.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "rules/ExfatRules.h"
#include "rules/FatRules.h"
#include "rules/NtfsParse.h"

namespace {
constexpr int kFastWeight = 9;
constexpr int kSweepWeight = 90;
constexpr u64 kWindowBytes = 0x10000;
constexpr u64 kRecordReadBytes = 8192;

// Calls fn(engine, store, index, node) for every non-empty file the engines
// (null ones left out) keep in their result stores.
template <class Fn>
void ForEachStoredFile(std::initializer_list<CStoreBackedEngine*> engines, Fn fn) {
    for (CStoreBackedEngine* engine : engines) {
        CScanResultFileManager* store = engine ? engine->GetResultStore() : nullptr;
        if (!store) continue;
        const u32 count = store->GetNodeCount();
        _FILE_NODE_ node;
        for (u32 i = 1; i <= count; ++i)
            if (store->ReadFileNode(i, &node) == 0 && !node.bIsDir && node.u64FileSize != 0)
                fn(*engine, *store, i, node);
    }
}

// False when FeedDeepEngines surely gives the sector to no engine: each of
// its tests cut to what it needs first.
bool MayFeedDeepEngines(const unsigned char* p, size_t S) {
    return GetLe32(p) == NTFS_FILE_SIGNATURE || MayHoldExfatEntries({p, S}) ||
           MayStartFatDirectory(p, static_cast<int>(S));
}
}  // namespace

CProfessionalRecovery::CProfessionalRecovery(FastEngineMaker maker)
    : m_MakeFastEngine(std::move(maker)),
      m_hDevice(-1),
      m_wcDriveLetter(L'C'),
      m_nBytesPerSector(512),
      m_nDiskNumber(-1),
      m_u64VolumeStartSector(0),
      m_u64VolumeSectorCount(0),
      m_nPercent(kSweepWeight),
      m_pScanFunc(nullptr),
      m_pRecoveryFunc(nullptr),
      m_pSearchFunc(nullptr),
      m_pSearchParam(nullptr),
      m_pParam(nullptr),
      m_bReuse(0) {
    std::memset(&m_LogInfo, 0, sizeof m_LogInfo);
}

CProfessionalRecovery::~CProfessionalRecovery() {
    m_pFastEngine.reset();
    if (m_hDevice >= 0) close(m_hDevice);
}

std::string CProfessionalRecovery::DevicePath() const {
    return m_strImagePath.empty() ? GetDiskDevicePath(m_nDiskNumber) : m_strImagePath;
}

int CProfessionalRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                                wchar_t wcDriveLetter) {
    if (u64StartSector < 0 || u64SectorCount < 0) return FR_INVALID;
    m_nDiskNumber = nDiskNumber;
    m_u64VolumeStartSector = static_cast<u64>(u64StartSector);
    m_u64VolumeSectorCount = static_cast<u64>(u64SectorCount);
    m_wcDriveLetter = wcDriveLetter;
    m_strImagePath.clear();
    const std::string path = GetDiskDevicePath(nDiskNumber);
    if (m_hDevice >= 0) close(m_hDevice);
    m_hDevice = OpenDeviceReadOnly(path.c_str());
    if (m_hDevice < 0) return errno ? errno : FR_FAILED;
    m_DiskReader.Init(nDiskNumber, m_u64VolumeStartSector + m_u64VolumeSectorCount);

    std::memset(&m_LogInfo, 0, sizeof m_LogInfo);
    m_bReuse = static_cast<u32>(CLogFileManager::GetInstance().LoadRecoveryLogInfo(
        path.c_str(), nDiskNumber, m_u64VolumeStartSector, m_u64VolumeSectorCount, &m_LogInfo, m_u64MediumId));

    m_FatRecovery.Init(nDiskNumber, u64StartSector, u64SectorCount, wcDriveLetter);
    m_ExfatRecovery.Init(nDiskNumber, u64StartSector, u64SectorCount, wcDriveLetter);
    int r = m_NtfsRecovery.Init(nDiskNumber, u64StartSector, u64SectorCount, wcDriveLetter);
    m_pFastEngine.reset(m_MakeFastEngine.forPartition
                            ? m_MakeFastEngine.forPartition(nDiskNumber, u64StartSector, u64SectorCount, wcDriveLetter)
                            : nullptr);
    return r;
}

int CProfessionalRecovery::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    if (!szPath) return FR_INVALID;
    m_wcDriveLetter = wcDriveLetter;
    const std::string path = WideToUtf8(szPath);
    if (m_hDevice >= 0) close(m_hDevice);
    m_hDevice = OpenDeviceReadOnly(path.c_str());
    if (m_hDevice < 0) return errno ? errno : FR_FAILED;
    const long long bytes = rsb_getDeviceSize(m_hDevice);
    if (bytes < 0) return errno ? errno : FR_FAILED;
    m_nDiskNumber = CLogFileManager::kImageDiskNumber;
    m_u64VolumeStartSector = 0;
    m_u64VolumeSectorCount = static_cast<u64>(bytes) / static_cast<u64>(m_nBytesPerSector);
    m_strImagePath = path;
    m_DiskReader.Init(path.c_str(), m_u64VolumeSectorCount);

    // An image file's earlier log is found by its path.
    std::memset(&m_LogInfo, 0, sizeof m_LogInfo);
    m_bReuse = static_cast<u32>(
        CLogFileManager::GetInstance().LoadImageLogInfo(path.c_str(), m_u64VolumeSectorCount, &m_LogInfo,
                                                        m_u64MediumId));

    m_FatRecovery.Init(szPath, wcDriveLetter);
    m_ExfatRecovery.Init(szPath, wcDriveLetter);
    int r = m_NtfsRecovery.Init(szPath, wcDriveLetter);
    m_pFastEngine.reset(m_MakeFastEngine.forPath ? m_MakeFastEngine.forPath(szPath, wcDriveLetter) : nullptr);
    return r;
}

int CProfessionalRecovery::InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc,
                                        void* pParam, int) {
    m_pScanFunc = pScanFunc;
    m_pRecoveryFunc = pRecoveryFunc;
    m_pParam = pParam;
    m_nPercent = kSweepWeight;
    // Sub-engines report through this engine, which keeps what the user
    // sees within 0..100 and never lets it fall back.
    if (m_pFastEngine) m_pFastEngine->InitCallBack(ScanAdapter, RecoveryAdapter, this, kFastWeight);
    m_FatRecovery.InitCallBack(ScanAdapter, RecoveryAdapter, this, kSweepWeight);
    m_ExfatRecovery.InitCallBack(ScanAdapter, RecoveryAdapter, this, kSweepWeight);
    m_NtfsRecovery.InitCallBack(ScanAdapter, RecoveryAdapter, this, kSweepWeight);
    m_FileTypeRecovery.InitCallBack(ScanAdapter, RecoveryAdapter, this, kSweepWeight);
    return 0;
}

int CProfessionalRecovery::ScanAdapter(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 cur,
                                       u64 count, u64 found, wchar_t*) {
    return static_cast<CProfessionalRecovery*>(pParam)->ReportScan(nProgress, nPercent, nRemaindSecond, cur, count,
                                                                   found);
}

int CProfessionalRecovery::RecoveryAdapter(void* pParam, int nProgress, int nPercent, int nErrorCode,
                                           wchar_t* name) {
    auto* self = static_cast<CProfessionalRecovery*>(pParam);
    return self->m_pRecoveryFunc ? self->m_pRecoveryFunc(self->m_pParam, nProgress, nPercent, nErrorCode, name) : 0;
}

int CProfessionalRecovery::ReportScan(int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count,
                                      u64 found) {
    if (!m_pScanFunc) return 0;
    if (nPercent == kSweepWeight) {
        // The sweep's own scale is 10..110 % of the sweep; shown as 10..100.
        const int p = std::clamp(nProgress, 10, 110);
        nProgress = std::max(10 + (p - 10) * 90 / 100, m_nLastProgress90);
        m_nLastProgress90 = nProgress;
    } else if (nPercent == kFastWeight) {
        nProgress = std::max(std::clamp(nProgress, 0, 100), m_nLastProgress9);
        m_nLastProgress9 = nProgress;
        cur = count = found = 0;
    } else if (!(nProgress == 100 && nPercent == 100)) {
        return 0;  // not a share this engine hands out
    }
    const int answer = m_pScanFunc(m_pParam, nProgress, nPercent, nRemaindSecond, cur, count, found, nullptr);
    // Whatever a front end answers to stop, the engines hear the one stop code.
    if (answer == 0) return 0;
    m_bStopped = true;
    return static_cast<int>(FR_STOP_CODE);
}

int CProfessionalRecovery::InitSearchCallBack(SearchProgressFunc pSearchFunc, void* pParam) {
    m_pSearchFunc = pSearchFunc;
    m_pSearchParam = pParam;
    if (m_pFastEngine) m_pFastEngine->InitSearchCallBack(pSearchFunc, pParam);
    m_FatRecovery.InitSearchCallBack(pSearchFunc, pParam);
    m_ExfatRecovery.InitSearchCallBack(pSearchFunc, pParam);
    m_NtfsRecovery.InitSearchCallBack(pSearchFunc, pParam);
    m_FileTypeRecovery.InitSearchCallBack(pSearchFunc, pParam);
    return 0;
}

int CProfessionalRecovery::SetNotLoadLogFile() {
    if (m_bReuse && m_LogInfo.szLogDirPath[0])
        CLogFileManager::GetInstance().DeleteLogFileDir(m_LogInfo.szLogDirPath);
    m_bReuse = 0;
    std::memset(&m_LogInfo, 0, sizeof m_LogInfo);
    return 0;
}

int CProfessionalRecovery::OpenEngineLogs(const std::string& strLogDir) {
    CLogFileManager& logs = CLogFileManager::GetInstance();
    const u64 limit = m_u64VolumeStartSector + m_u64VolumeSectorCount;
    if (!m_bReuse) {
        if (!m_strImagePath.empty()) {
            std::wstring w = Utf8ToWide(m_strImagePath);
            m_FileTypeRecovery.Init(w.data(), m_wcDriveLetter);
        } else {
            m_FileTypeRecovery.Init(m_nDiskNumber, static_cast<long long>(m_u64VolumeStartSector),
                                    static_cast<long long>(m_u64VolumeSectorCount), m_wcDriveLetter);
        }
        m_FatRecovery.ClearProfessionalVec(nullptr);
        m_ExfatRecovery.StartScan(nullptr);
        return m_NtfsRecovery.InitProfessionalScan(nullptr);
    }
    char name[256];
    logs.GetLogFileNameByFileType(strLogDir.c_str(), "File_Type_", name, sizeof name);
    std::wstring wname = Utf8ToWide(name);
    if (!m_strImagePath.empty()) {
        std::wstring w = Utf8ToWide(m_strImagePath);
        m_FileTypeRecovery.InitLogFile(wname.c_str(), m_wcDriveLetter, w.c_str(), m_nBytesPerSector, limit);
    } else {
        m_FileTypeRecovery.InitLogFile(wname.c_str(), m_wcDriveLetter, m_nDiskNumber, m_nBytesPerSector, limit);
    }
    // The deep engines start afresh: the sectors that fed them are offered
    // again before the sweep goes on (OpenFeedLog), and what they made of
    // them when the scan stopped goes.
    if (DIR* d = opendir(strLogDir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strstr(e->d_name, "Pro_Fat_") || strstr(e->d_name, "Pro_Ntfs_") || strstr(e->d_name, "Pro_Exfat_"))
                unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
    }
    m_FatRecovery.ClearProfessionalVec(nullptr);
    m_ExfatRecovery.StartScan(nullptr);
    return m_NtfsRecovery.InitProfessionalScan(nullptr);
}

int CProfessionalRecovery::ScanDevice(wchar_t*) {
    CLogFileManager& logs = CLogFileManager::GetInstance();
    const bool bNewLog = !m_bReuse;
    if (bNewLog) logs.AddDirIndex();
    const std::string strLogDir = bNewLog ? logs.GetLogFileDirPath() : std::string(m_LogInfo.szLogDirPath);
    m_strLogDir = strLogDir;
    m_nLastProgress9 = m_nLastProgress90 = 0;
    m_Stats = SweepStats{};
    m_vecUnreadable.clear();
    m_nFastEngineResult = 0;
    m_bStopped = false;

    int result = 0;
    bool bBitmap = false;
    if (m_pFastEngine) {
        m_pFastEngine->InitCallBack(ScanAdapter, RecoveryAdapter, this, kFastWeight);
        if (m_bReuse) {
            char name[256];
            logs.GetLogFileNameByFileType(strLogDir.c_str(), "Fast_", name, sizeof name);
            std::wstring wname = Utf8ToWide(name);
            result = m_pFastEngine->ScanDevice(wname.data());
        } else {
            result = m_pFastEngine->ScanDevice(nullptr);
        }
        // The bitmap is built from what the fast scan read.
        if (result == 0) bBitmap = m_pFastEngine->BuildBitMapInfo() == 0;
    }
    if (m_bStopped) result = static_cast<int>(FR_STOP_CODE);
    if (result != 0 && result != static_cast<int>(FR_STOP_CODE)) {
        // A file system too damaged for its own engine is exactly what the
        // sweep is for: its results are dropped and the whole volume swept.
        FrLog("fast engine failed (%d): sweeping the whole volume\n", result);
        m_nFastEngineResult = result;
        m_pFastEngine.reset();
        bBitmap = false;
        result = 0;
    }
    u64 rangeStart = 0, rangeCount = 0, rangeOffset = 0, scanned = 0, found = 0;
    if (result != 0) {
        if (bNewLog) {
            logs.ReduceDirIndex();
            return result;
        }
    } else {
        OpenEngineLogs(strLogDir);
        FrLog("InitVirtualDbrInfo Start\n");
        m_FatRecovery.InitVirtualDbrInfo();
        m_FileTypeRecovery.GetJudge().ResetScanState();
        result = Sweep(bBitmap, rangeStart, rangeCount, rangeOffset, scanned, found);
        m_FatRecovery.DealProfessionalRecordVec();
        m_ExfatRecovery.FinishScan();
        m_NtfsRecovery.ParseProfessionalRecordVec();
        if (result == 0) CheckCarvedPictures();
        MarkUnreadableFiles();
        if (CScanResultFileManager* store = m_FileTypeRecovery.GetResultStore()) store->FlushBufToFile();
        if (result == 0 && m_pScanFunc) m_pScanFunc(m_pParam, 100, 100, 0, 0, 0, 0, nullptr);
    }
    logs.SaveLogFileInfo(DevicePath().c_str(), m_nDiskNumber, m_u64VolumeStartSector, m_u64VolumeSectorCount,
                         rangeStart, rangeCount, rangeOffset, scanned, found, strLogDir.c_str(),
                         m_strImagePath.c_str(), m_u64MediumId);
    return result;
}

void CProfessionalRecovery::CheckCarvedPictures() {
    auto* fat = dynamic_cast<CFastFatRecovery*>(m_pFastEngine.get());
    if (!fat) return;
    // Where the file-system results lie: the pictures' walks step over it.
    std::vector<KnownFile> known;
    ForEachStoredFile({fat, &m_FatRecovery}, [&](CStoreBackedEngine& engine, CScanResultFileManager&, u32,
                                                 const _FILE_NODE_& node) {
        KnownFile f{{}, node.u64FileSize, node.bIsHealth, CheckedKindOfName(node.szFileName)};
        engine.GetNodeExtents(node, node.u64FileSize, f.extents);
        if (!f.extents.empty()) known.push_back(std::move(f));
    });
    const CarvedJoinCount n = JoinCarvedPictures(m_FileTypeRecovery, *fat, m_u64VolumeStartSector, known);
    if (n.looked)
        FrLog("%u carved pictures looked at again, %u of them broken\n", n.looked, n.broken);
}

void CProfessionalRecovery::MarkUnreadableFiles() {
    if (m_vecUnreadable.empty()) return;
    const auto onBadSectors = [this](const DataExtent& e) {
        return !e.bSparse && TouchesBadSectors(m_vecUnreadable, e.u64Offset, e.u64Length, m_nBytesPerSector);
    };
    std::vector<DataExtent> extents;
    u64 marked = 0;
    ForEachStoredFile({dynamic_cast<CStoreBackedEngine*>(m_pFastEngine.get()), &m_FatRecovery, &m_ExfatRecovery,
                       &m_NtfsRecovery},
                      [&](CStoreBackedEngine& engine, CScanResultFileManager& store, u32 i, _FILE_NODE_ node) {
                          if (node.bIsHealth > FR_HEALTH_UNCONFIRMED) return;
                          if (engine.GetNodeExtents(node, node.u64FileSize, extents) != 0) return;
                          if (!std::any_of(extents.begin(), extents.end(), onBadSectors)) return;
                          node.bIsHealth = FR_HEALTH_UNREADABLE;
                          if (store.RewriteFileNode(i, node) == 0) ++marked;
                      });
    if (marked) FrLog("%llu files lie on sectors that could not be read\n", static_cast<unsigned long long>(marked));
}

int CProfessionalRecovery::Sweep(bool bBitmap, u64& rangeStart, u64& rangeCount, u64& rangeOffset, u64& scanned,
                                 u64& filesFound) {
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    IFileRecoveryParse* fast = bBitmap ? m_pFastEngine.get() : nullptr;
    // Total: the unallocated sectors, or the whole volume.
    u64 total = 0;
    if (fast) {
        u64 s = 0, c = 0;
        for (;;) {
            c = 0;
            fast->GetUnUsedSectorCount(s, c);
            if (c == 0) break;
            total += c;
            s += c;
        }
    } else {
        total = m_u64VolumeSectorCount;
    }
    // The first stretch.
    rangeStart = 0;
    rangeCount = m_u64VolumeSectorCount;
    if (fast) {
        rangeCount = 0;
        fast->GetUnUsedSectorCount(rangeStart, rangeCount);
    }
    rangeOffset = 0;
    scanned = 0;
    bool bResumed = false;
    if (m_bReuse) {
        rangeStart = m_LogInfo.u64RangeStart;
        rangeCount = m_LogInfo.u64RangeCount;
        // (The record is packed: its fields are copied, never bound.)
        const u64 recordOffset = m_LogInfo.u64RangeOffset, recordScanned = m_LogInfo.u64ScannedSectors;
        rangeOffset = std::min(recordOffset, rangeCount);
        scanned = std::min(recordScanned, total);
        m_bReuse = 0;
        bResumed = true;
    }
    // A stretch never reaches past the volume, whatever a record says.
    auto clampStretch = [&] {
        if (rangeStart >= m_u64VolumeSectorCount) rangeCount = 0;
        else rangeCount = std::min(rangeCount, m_u64VolumeSectorCount - rangeStart);
        rangeOffset = std::min(rangeOffset, rangeCount);
    };
    clampStretch();
    // The deep engines get again what fed them before the resume point.
    OpenFeedLog(m_strLogDir, bResumed, m_u64VolumeStartSector + rangeStart + rangeOffset);
    // Files shown: what the file system and the carver found (counted by
    // the carver as it goes, from what was recorded when resuming) plus what
    // the deep engines hold now, which the replay above restored.
    auto deepCount = [this] {
        return static_cast<u64>(m_FatRecovery.GetLostFileCount()) + m_NtfsRecovery.GetLostFileCount();
    };
    if (bResumed) {
        const u64 before = m_LogInfo.u64FoundFiles;
        filesFound = before > deepCount() ? before - deepCount() : 0;
    } else {
        filesFound = m_pFastEngine ? m_pFastEngine->GetLostFileCount() : 0;
    }
    m_Stats.u64Total = total;

    CSweepReader reader(m_hDevice, m_nBytesPerSector, m_bSkipHoles);
    m_Progress = ScanProgress{};
    m_Progress.u64Total = total;
    m_FileTypeRecovery.SetScanProgress(&m_Progress);
    int secondsLeft = -1;
    const unsigned long long t0 = rsb_getTickCount();
    unsigned long long lastEstimate = t0;
    int result = 0;
    while (rangeCount > 0) {
        while (rangeOffset < rangeCount) {
            const u64 remaining = rangeCount - rangeOffset;
            const u64 absStart = m_u64VolumeStartSector + rangeStart;
            const CSweepReader::Window w =
                reader.Next(absStart + rangeOffset, absStart + rangeCount);
            u64 n = std::min(w.u64Count, remaining);
            u64 skip = 0;
            u64 found = filesFound;
            unsigned char* data = w.pData;
            u64 got = std::min<u64>(w.nRead, std::min<u64>(n, kWindowBytes / S));
            if (w.nError != 0 && !w.bHole) {
                // The rest of the window is read sector by sector: only the
                // sectors that fail are lost. The line is the disk reader's,
                // so that a run of failed windows is counted, not repeated.
                FrLog("read %lld\n", static_cast<long long>(w.nError));
                got = std::min<u64>(n, kWindowBytes / S);
                m_Stats.u64UnreadableSectors +=
                    RereadWindow(m_DiskReader, w, got, m_nBytesPerSector, m_vecRetryBuf, &m_vecUnreadable);
                data = m_vecRetryBuf.data();
            }
            if (w.bHole) {
                m_Stats.u64HoleSectors += n;
            } else if (got > 0) {
                n = std::min<u64>(n, kWindowBytes / S);
                int r = 0;
                m_Progress.nSecondsLeft = secondsLeft;
                m_Progress.u64FilesFound = found;
                try {
                    r = ParseProfessionalFileInfo(data, got * S, w.u64Sector, scanned, skip);
                    ++m_Stats.u64WindowsParsed;
                } catch (const std::exception&) {
                    // A window that cannot be parsed is given up; the sweep goes on.
                    FrLog("ProfessionalRecovery recvSignal\n");
                    ++m_Stats.u64WindowsAbandoned;
                    skip = 0;
                }
                found = m_Progress.u64FilesFound;
                if (r == static_cast<int>(FR_STOP_CODE)) {
                    // The window was not finished: it is swept again on resume.
                    m_vecWindowFeeds.clear();
                    result = r;
                    break;
                }
                CommitFeeds();
            } else {
                n = std::min<u64>(n, kWindowBytes / S);
            }
            filesFound = found;
            const u64 advance = std::min(n + skip, remaining);
            rangeOffset += advance;
            scanned += advance;
            m_Stats.u64Scanned += advance;

            const unsigned long long now = rsb_getTickCount();
            if (now - lastEstimate > 4999) {
                lastEstimate = now;
                const unsigned long long elapsed = (now - t0) / 1000;
                unsigned long long rate = elapsed ? S * m_Stats.u64Scanned / elapsed : 0;
                if (rate == 0) rate = 1;
                secondsLeft = static_cast<int>(std::min<u64>((total > scanned ? total - scanned : 0) * S / rate,
                                                             0x7FFFFFFF));
            }
            if (m_pScanFunc) {
                const u64 shownFiles = filesFound + deepCount();
                const int pct = total ? static_cast<int>(std::min(scanned, total) * 100 / total) : 100;
                int a = ReportScan(pct + 10, kSweepWeight, secondsLeft, scanned, total, shownFiles);
                if (a != 0) {
                    result = a;
                    break;
                }
            }
        }
        if (result != 0) break;
        // The next stretch.
        if (!fast) {
            rangeStart += rangeCount;
            rangeCount = 0;
            rangeOffset = 0;
            break;
        }
        u64 s = rangeStart + rangeCount, c = 0;
        fast->GetUnUsedSectorCount(s, c);
        rangeStart = s;
        rangeCount = c;
        rangeOffset = 0;
        clampStretch();
    }
    m_FileTypeRecovery.SetScanProgress(nullptr);
    filesFound += deepCount();
    CommitFeeds();
    m_FeedLog.reset();
    if (m_Stats.u64UnreadableSectors)
        FrLog("%llu sectors passed over after read errors\n", static_cast<unsigned long long>(m_Stats.u64UnreadableSectors));
    return result;
}

int CProfessionalRecovery::ParseProfessionalFileInfo(unsigned char* pBuf, u64 u64Bytes, u64 u64Sector,
                                                     u64 u64Scanned, u64& u64Skip) {
    u64Skip = 0;
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    if (!pBuf || S == 0) return FR_INVALID;
    const u64 sectors = u64Bytes / S;
    int result = 0;
    u64 i = 0;
    while (i < sectors) {
        unsigned char* p = pBuf + i * S;
        const u64 abs = u64Sector + i;
        u64 step = 1;
        if (MayFeedDeepEngines(p, S) && FeedDeepEngines(p, u64Bytes - i * S, abs, result)) {
            m_vecWindowFeeds.push_back(abs);
        } else {
            u64 carvedSkip = 0;
            m_Progress.u64Scanned = u64Scanned + i;
            result = m_FileTypeRecovery.OfferSector(p, static_cast<int>(S), abs, &m_DiskReader, static_cast<int>(S),
                                                    carvedSkip);
            if (result == static_cast<int>(FR_STOP_CODE)) return result;
            if (result == 0 && carvedSkip > 0) step = carvedSkip;
        }
        i += step;
    }
    if (i > sectors) u64Skip = i - sectors;
    return result;
}

bool CProfessionalRecovery::FeedDeepEngines(unsigned char* p, u64 u64Avail, u64 abs, int& result) {
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    const int recordLen = static_cast<int>(S <= 512 ? 2 * S : S);
    if (IsNtfsFileRecord(p, recordLen)) {
            if (static_cast<u64>(recordLen) <= u64Avail) {
                result = m_NtfsRecovery.ParseNtfsFileRecord(p, static_cast<size_t>(u64Avail), abs);
            } else {
                // The record runs past the window: read it whole (no
                // further than the volume's end).
                const u64 limit = m_DiskReader.GetSectorLimit();
                const u64 want = std::min<u64>(kRecordReadBytes / S, limit > abs ? limit - abs : 0);
                m_vecRecordBuf.assign(kRecordReadBytes, 0);
                unsigned got = 0;
                if (want > 0)
                    m_DiskReader.ReadData(m_vecRecordBuf.data(), static_cast<int>(want), static_cast<long long>(abs),
                                          m_nBytesPerSector, &got);
                if (got * S >= static_cast<u64>(recordLen))
                    result = m_NtfsRecovery.ParseNtfsFileRecord(m_vecRecordBuf.data(), got * S, abs);
            }
            return true;
    }
    if (MayHoldExfatEntries({p, static_cast<size_t>(S)}) &&
        m_ExfatRecovery.ParseSector(p, static_cast<size_t>(u64Avail), abs) > 0) {
        // exFAT folder entries: the exFAT engine's.
        return true;
    }
    if (IsFatFileRecord(p)) {
        result = m_FatRecovery.ParseFatFileRecord(p, abs);
        return true;
    }
    if (IsFatFDTRecord(p, static_cast<int>(S))) {
        result = m_FatRecovery.ParseFDTFileRecord(p, abs);
        return true;
    }
    return false;
}

// What fed the deep engines is kept next to the scan's logs, one u64 sector
// number per sector, for the windows whose parsing completed: a resumed
// scan offers the same sectors again, in the same order, so that the deep
// engines end where an uninterrupted scan would.
namespace {
constexpr const char* kFeedName = "Deep_Feed";
constexpr u64 kMaxFeeds = u64{1} << 26;  // 512 MiB of sector numbers
}  // namespace

void CProfessionalRecovery::OpenFeedLog(const std::string& strLogDir, bool bReuse, u64 u64UpTo) {
    m_FeedLog.reset();
    m_vecWindowFeeds.clear();
    const std::string path = strLogDir + kFeedName;
    std::vector<u64> feeds;
    if (bReuse) {
        if (FILE* f = fopen(path.c_str(), "rb")) {
            u64 s = 0;
            while (feeds.size() < kMaxFeeds && fread(&s, sizeof s, 1, f) == 1 && s < u64UpTo) feeds.push_back(s);
            fclose(f);
        }
    }
    // Only what the completed windows fed stays.
    m_FeedLog.reset(fopen(path.c_str(), "wb"));
    if (m_FeedLog && !feeds.empty()) fwrite(feeds.data(), sizeof(u64), feeds.size(), m_FeedLog.get());
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    const u64 want = S <= 512 ? 2 : 1;
    std::vector<unsigned char> buf((want + 2) * S, 0);
    const u64 limit = m_DiskReader.GetSectorLimit();
    for (u64 s : feeds) {
        std::fill(buf.begin(), buf.end(), 0);
        unsigned got = 0;
        const u64 n = std::min<u64>(want, limit > s ? limit - s : 0);
        if (n == 0) continue;
        m_DiskReader.ReadData(buf.data(), static_cast<int>(n), static_cast<long long>(s), m_nBytesPerSector, &got);
        if (got == 0) continue;
        int r = 0;
        FeedDeepEngines(buf.data(), got * S, s, r);
    }
}

void CProfessionalRecovery::CommitFeeds() {
    if (m_FeedLog && !m_vecWindowFeeds.empty())
        fwrite(m_vecWindowFeeds.data(), sizeof(u64), m_vecWindowFeeds.size(), m_FeedLog.get());
    m_vecWindowFeeds.clear();
}

IFileRecoveryParse* CProfessionalRecovery::Route(const _FILE_NODE_* pNode) {
    switch (pNode->nEngineType) {
        case ENGINE_FAST_NTFS:
        case ENGINE_FAST_FAT:
        case ENGINE_FAST_EXFAT: return m_pFastEngine.get();
        case ENGINE_DEEP_NTFS: return &m_NtfsRecovery;
        case ENGINE_DEEP_FAT: return &m_FatRecovery;
        case ENGINE_DEEP_EXFAT: return &m_ExfatRecovery;
        case ENGINE_CARVING: return &m_FileTypeRecovery;
        default: return nullptr;
    }
}

int CProfessionalRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned uParentKey,
                                               std::vector<_FILE_NODE_>& out) {
    if (!pParent) {
        if (uParentKey != 0) return FR_INVALID;
        if (m_pFastEngine) m_pFastEngine->GetChildrenFileNode(nullptr, 0, out);
        m_FatRecovery.GetChildrenFileNode(nullptr, 0, out);
        m_ExfatRecovery.GetChildrenFileNode(nullptr, 0, out);
        m_NtfsRecovery.GetChildrenFileNode(nullptr, 0, out);
        m_FileTypeRecovery.GetChildrenFileNode(nullptr, 0, out);
    } else {
        IFileRecoveryParse* e = pParent->nEngineType == ENGINE_CARVING ? nullptr : Route(pParent);
        if (e) e->GetChildrenFileNode(pParent, uParentKey, out);
    }
    std::sort(out.begin(), out.end(), [](const _FILE_NODE_& a, const _FILE_NODE_& b) { return VectorCmp(a, b); });
    return 0;
}

int CProfessionalRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned uParentKey, unsigned& nCount) {
    nCount = 0;
    if (!pParent) {
        if (uParentKey != 0) return FR_INVALID;
        unsigned n = 0;
        if (m_pFastEngine && m_pFastEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
        n = 0;
        if (m_FatRecovery.GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
        n = 0;
        if (m_ExfatRecovery.GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
        n = 0;
        if (m_NtfsRecovery.GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
        n = 0;
        if (m_FileTypeRecovery.GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
        return 0;
    }
    IFileRecoveryParse* e = pParent->nEngineType == ENGINE_CARVING ? nullptr : Route(pParent);
    return e ? e->GetChildrenFileCount(pParent, uParentKey, nCount) : 0;
}

unsigned CProfessionalRecovery::GetLostFileCount() {
    return (m_pFastEngine ? m_pFastEngine->GetLostFileCount() : 0) + m_FatRecovery.GetLostFileCount() + m_ExfatRecovery.GetLostFileCount() +
           m_NtfsRecovery.GetLostFileCount() + m_FileTypeRecovery.GetLostFileCount();
}

int CProfessionalRecovery::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) {
    if (!pNode) return FR_INVALID;
    if (pNode->nEngineType == ENGINE_CARVING) return 0;
    IFileRecoveryParse* e = Route(pNode);
    return e ? e->GetFileNodeParentDirPath(pNode, szPath, nPathLen) : FR_INVALID;
}

int CProfessionalRecovery::SaveFileData(_FILE_NODE_* pNode, wchar_t* pRecoveryFileName, int nBaseLevel) {
    if (!pNode) return FR_INVALID;
    IFileRecoveryParse* e = Route(pNode);
    return e ? e->SaveFileData(pNode, pRecoveryFileName, nBaseLevel) : FR_INVALID;
}

int CProfessionalRecovery::PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                                   PreviewProgressFunc pFunc, void* pParam) {
    if (!pNode) return FR_INVALID;
    IFileRecoveryParse* e = Route(pNode);
    return e ? e->PreView(pNode, szTempPath, pBuf, nBufLen, pFunc, pParam) : FR_INVALID;
}

int CProfessionalRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) {
    extents.clear();
    IFileRecoveryParse* e = Route(&node);
    return e ? e->GetNodeExtents(node, u64Wanted, extents) : FR_INVALID;
}

int CProfessionalRecovery::GetUnUsedSectorCount(u64&, u64&) { return 0; }
int CProfessionalRecovery::BuildBitMapInfo() { return 0; }

int CProfessionalRecovery::GetFileDataStartSectorMap(_FILE_NODE_* pNode, std::map<u64, std::string>& map) {
    if (!pNode || pNode->bIsDir) return FR_INVALID;
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    const std::string name(pNode->szFileName, strnlen(pNode->szFileName, sizeof pNode->szFileName));
    if (pNode->nEngineType == ENGINE_CARVING) return 0;
    // The engine that found the file says where its data starts.
    std::vector<DataExtent> extents;
    if (int rc = GetNodeExtents(*pNode, 1, extents)) return rc;
    u64 offset = 0;
    if (!FirstDataOffset(extents, offset)) return 0;
    const u64 first = offset / S;
    map[first] = LowerAscii(ExtensionOf(name));
    return 0;
}

int CProfessionalRecovery::SearchFileNode(wchar_t* szPattern, std::vector<__SEARCH_FILE_INFO__>& out) {
    if (m_pFastEngine) m_pFastEngine->SearchFileNode(szPattern, out);
    std::map<u64, std::string> starts;
    std::set<std::pair<u64, u64>> fastFiles;  // (first data sector, size)
    for (const auto& hit : out) {
        _FILE_NODE_ node = ToFileNode(hit);
        std::map<u64, std::string> one;
        GetFileDataStartSectorMap(&node, one);
        for (const auto& kv : one) fastFiles.insert({kv.first, hit.u64FileSize});
        starts.insert(one.begin(), one.end());
    }
    // A file the fast engine lists is not listed again when the deep
    // engines meet its folder in free space (a deleted folder).
    std::vector<__SEARCH_FILE_INFO__> deep;
    m_FatRecovery.SearchFileNode(szPattern, deep);
    m_ExfatRecovery.SearchFileNode(szPattern, deep);
    m_NtfsRecovery.SearchFileNode(szPattern, deep);
    for (const auto& hit : deep) {
        _FILE_NODE_ node = ToFileNode(hit);
        std::map<u64, std::string> one;
        GetFileDataStartSectorMap(&node, one);
        if (!one.empty() && fastFiles.count({one.begin()->first, hit.u64FileSize})) continue;
        // An entry without a type (a stale one whose clusters a later file
        // took) does not hide the type of a file found at the same place.
        for (const auto& [sector, ext] : one)
            if (auto [it, added] = starts.insert({sector, ext}); !added && it->second.empty()) it->second = ext;
        out.push_back(hit);
    }
    std::vector<__SEARCH_FILE_INFO__> carved;
    m_FileTypeRecovery.SearchFileNode(szPattern, carved);
    for (const auto& hit : carved) {
        auto it = starts.find(hit.u64RecordSector);
        if (it != starts.end()) {
            const std::string ext =
                LowerAscii(ExtensionOf(std::string_view(hit.szFileName, strnlen(hit.szFileName, sizeof hit.szFileName))));
            // The same data found by a file system, whatever the spelling
            // of its type.
            if (CFileTypeJudge::IsSameFileType(ext.c_str(), it->second.c_str())) continue;
        }
        out.push_back(hit);
    }
    std::sort(out.begin(), out.end(),
              [](const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) { return VectorCmp(a, b); });
    return 0;
}
