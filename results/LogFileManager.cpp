#include "results/LogFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/DiskReader.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"

namespace {

constexpr const char* kConfigName = "config";
constexpr const char* kConfigTmpName = "config.tmp";
// A table of scanned volumes never gets near this; more is damage.
constexpr size_t kMaxRecords = 65536;
constexpr int kMaxTreeDepth = 64;

// The table as a whole, across processes: held while a change is made on
// the table as it is on disk.
class TableLock {
public:
    explicit TableLock(const std::string& strBase) {
        MakeDirs(strBase, 0700);
        m_fd = open((strBase + "config.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (m_fd >= 0)
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~TableLock() {
        if (m_fd >= 0) close(m_fd);
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    int m_fd = -1;
};

std::string WithSlash(std::string s) {
    if (!s.empty() && s.back() != '/') s += '/';
    return s;
}

std::unique_ptr<CLogFileManager> g_pLogManager;
std::mutex g_logManagerMutex;

u64 FreeSpaceOf(const char* szPath) {
    if (!szPath || !szPath[0]) return 0;
    std::string strCopy(szPath);  // the query shortens the path in place
    unsigned nHigh = 0, nLow = 0;
    if (rsb_getFreeSpace(strCopy.data(), static_cast<int>(strCopy.size()), &nHigh, &nLow) != 0)
        return 0;
    return (static_cast<u64>(nHigh) << 32) | nLow;
}

void CopyField(char* dst, size_t n, const char* src) {
    CopyNodeName(dst, n, src ? std::string_view(src) : std::string_view());
}

// Removes the directory name below parentFd with everything in it, never
// following a symbolic link (a link is removed as a link).
void RemoveTreeAt(int parentFd, const char* name, int nDepth) {
    if (nDepth > kMaxTreeDepth) return;
    int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode))
            RemoveTreeAt(dirfd(d), e->d_name, nDepth + 1);
        else
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
    unlinkat(parentFd, name, AT_REMOVEDIR);
}

// The components of dir below base, or false when dir is not an absolute
// path strictly below base made of plain names.
bool SplitBelowBase(const std::string& strBase, const char* dir, std::vector<std::string>& parts) {
    parts.clear();
    if (!dir || dir[0] != '/') return false;
    std::string_view sv(dir);
    if (sv.size() <= strBase.size() || sv.compare(0, strBase.size(), strBase) != 0) return false;
    sv.remove_prefix(strBase.size());
    while (!sv.empty()) {
        size_t slash = sv.find('/');
        std::string_view part = sv.substr(0, slash);
        if (part.empty() || part == "." || part == "..") {
            // Repeated or trailing slashes are fine, dot components are not.
            if (!part.empty()) return false;
        } else {
            parts.emplace_back(part);
        }
        if (slash == std::string_view::npos) break;
        sv.remove_prefix(slash + 1);
    }
    return !parts.empty();
}

// Opens the parent of the last component (below base, no links followed);
// -1 when any step is missing or not a real directory.
int OpenParentBelowBase(const std::string& strBase, const std::vector<std::string>& parts) {
    int fd = open(strBase.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
        int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

}  // namespace

CLogFileManager& CLogFileManager::GetInstance() {
    std::lock_guard<std::mutex> lock(g_logManagerMutex);
    if (!g_pLogManager) g_pLogManager = std::make_unique<CLogFileManager>(GetScanLogDir());
    return *g_pLogManager;
}

void CLogFileManager::ResetInstance() {
    std::lock_guard<std::mutex> lock(g_logManagerMutex);
    g_pLogManager.reset();
}

CLogFileManager::CLogFileManager(const std::string& strBaseDir)
    : m_strBaseDir(strBaseDir), m_u64DirIndex(0), m_bReuse(0) {
    if (m_strBaseDir.empty() || m_strBaseDir.back() != '/') m_strBaseDir += '/';
    Init();
}

CLogFileManager::~CLogFileManager() {
    if (m_nHeldFd >= 0) close(m_nHeldFd);
}

int CLogFileManager::Init() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    return InitLocked();
}

int CLogFileManager::InitLocked() {
    m_bReuse = 0;
    m_strReusedDir.clear();
    const int r = ReloadLocked();
    m_u64DirIndex = m_u64TableIndex;
    return r;
}

int CLogFileManager::ReloadLocked() {
    m_vecRecords.clear();
    m_u64TableIndex = 0;
    MakeDirs(m_strBaseDir, 0700);

    const std::string strConfig = m_strBaseDir + kConfigName;
    const std::string strTmp = m_strBaseDir + kConfigTmpName;
    struct stat st;
    // A rewrite that stopped after the old table was gone: the new one is whole.
    if (lstat(strConfig.c_str(), &st) != 0 && errno == ENOENT && lstat(strTmp.c_str(), &st) == 0)
        rename(strTmp.c_str(), strConfig.c_str());

    CUniqueFd fd(open(strConfig.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return FR_INVALID;
    long long llSize = rsb_getDeviceSize(fd.get());
    if (llSize < 0) return errno ? errno : FR_INVALID;
    if (llSize == 0) return FR_INVALID;

    u64 u64Index = 0;
    ssize_t got = read(fd.get(), &u64Index, sizeof u64Index);
    if (got <= 0) return FR_SHORT_READ;
    if (static_cast<size_t>(got) < sizeof u64Index) return FR_SHORT_READ;
    m_u64TableIndex = u64Index;

    std::vector<unsigned char> chunk(sizeof(_LOG_FILE_INFO_) * 64);
    size_t nHave = 0;
    for (;;) {
        ssize_t r = read(fd.get(), chunk.data() + nHave, chunk.size() - nHave);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        nHave += static_cast<size_t>(r);
        size_t nWhole = nHave / sizeof(_LOG_FILE_INFO_);
        for (size_t i = 0; i < nWhole && m_vecRecords.size() < kMaxRecords; ++i) {
            _LOG_FILE_INFO_ info;
            std::memcpy(&info, chunk.data() + i * sizeof info, sizeof info);
            info.szImagePath[sizeof info.szImagePath - 1] = 0;
            info.szLogDirPath[sizeof info.szLogDirPath - 1] = 0;
            m_vecRecords.push_back(info);
        }
        size_t nUsed = nWhole * sizeof(_LOG_FILE_INFO_);
        std::memmove(chunk.data(), chunk.data() + nUsed, nHave - nUsed);
        nHave -= nUsed;
        if (m_vecRecords.size() >= kMaxRecords) break;
    }
    return 0;
}

std::string CLogFileManager::DirPathOf(u64 n) const {
    char num[32];
    snprintf(num, sizeof num, "%llu", n);
    return m_strBaseDir + num + "/";
}

void CLogFileManager::GetLogFileDirPath(char* out, size_t nOutSize) {
    if (!out || nOutSize == 0) return;
    std::string s = GetLogFileDirPath();
    CopyField(out, nOutSize, s.c_str());
}

std::string CLogFileManager::GetLogFileDirPath() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_bReuse) return m_strReusedDir;
    return DirPathOf(m_u64DirIndex);
}

void CLogFileManager::AddDirIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadLocked();
    // The next number no other process holds; a leftover folder nobody
    // holds is removed first.
    u64 n = std::max(m_u64TableIndex, m_u64DirIndex);
    std::string dir;
    for (int tries = 0; tries < 100000; ++tries) {
        dir = DirPathOf(++n);
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0) break;
        if (HeldElsewhere(dir)) continue;
        DeleteLocked(dir.c_str());
        break;
    }
    m_u64DirIndex = m_u64TableIndex = n;
    m_bReuse = 0;
    m_strReusedDir.clear();
    MakeDirs(dir, 0700);
    HoldDir(dir);
    m_nLastSaveError = SaveLocked();
}

void CLogFileManager::ReduceDirIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadLocked();
    if (m_u64DirIndex == 0) return;
    // The folder was never used: it goes, and so does its number when no
    // other process took one since.
    const std::string dir = DirPathOf(m_u64DirIndex);
    if (dir == m_strHeldDir) {
        ReleaseHeldLocked();
        unlink((dir + ".held").c_str());
        rmdir(dir.c_str());
    }
    if (m_u64TableIndex == m_u64DirIndex) {
        --m_u64TableIndex;
        m_nLastSaveError = SaveLocked();
    }
    --m_u64DirIndex;
}

void CLogFileManager::HoldDir(const std::string& strDir) {
    const std::string dir = WithSlash(strDir);
    if (dir == m_strHeldDir) return;
    if (m_nHeldFd >= 0) close(m_nHeldFd);
    m_nHeldFd = open((dir + ".held").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_nHeldFd >= 0 && flock(m_nHeldFd, LOCK_SH) != 0) {
        close(m_nHeldFd);
        m_nHeldFd = -1;
    }
    m_strHeldDir = m_nHeldFd >= 0 ? dir : std::string();
}

bool CLogFileManager::HeldElsewhere(const std::string& strDir) const {
    const std::string dir = WithSlash(strDir);
    if (dir == m_strHeldDir) return false;
    CUniqueFd fd(open((dir + ".held").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return false;
    return flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

int CLogFileManager::GetLogFileNameByFileType(const char* dir, const char* prefix, char* out,
                                              size_t nOutSize) {
    if (!out || nOutSize == 0) return 0;
    out[0] = 0;
    if (!dir || !prefix) return 0;
    DIR* d = opendir(dir);
    if (!d) {
        FrLog("open dir failed\n");
        return 0;
    }
    std::string strBest;
    bool bFound = false;
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        if (!strstr(e->d_name, prefix)) continue;
        if (!bFound || strcmp(e->d_name, strBest.c_str()) < 0) {
            strBest = e->d_name;
            bFound = true;
        }
    }
    closedir(d);
    CopyField(out, nOutSize, strBest.c_str());
    return 0;
}

int CLogFileManager::FindRecord(int nDiskNumber, u64 u64StartSector, u64 u64SectorCount) const {
    for (size_t i = 0; i < m_vecRecords.size(); ++i) {
        const _LOG_FILE_INFO_& r = m_vecRecords[i];
        if (r.nDiskNumber == nDiskNumber && r.u64StartSector == u64StartSector &&
            r.u64SectorCount == u64SectorCount)
            return static_cast<int>(i);
    }
    return -1;
}

int CLogFileManager::FindMediumRecord(int nDiskNumber, u64 u64StartSector, u64 u64SectorCount,
                                      u64 u64MediumId) const {
    for (size_t i = 0; i < m_vecRecords.size(); ++i) {
        const _LOG_FILE_INFO_& r = m_vecRecords[i];
        if (r.u64MediumId == u64MediumId && r.u64StartSector == u64StartSector &&
            r.u64SectorCount == u64SectorCount && (r.nDiskNumber == kImageDiskNumber) == (nDiskNumber == kImageDiskNumber))
            return static_cast<int>(i);
    }
    return -1;
}

int CLogFileManager::LoadRecoveryLogInfo(const char* freeSpacePath, int nDiskNumber,
                                         u64 u64StartSector, u64 u64SectorCount,
                                         _LOG_FILE_INFO_* out, u64 u64MediumId) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadForLoadLocked();
    int i = u64MediumId ? FindMediumRecord(nDiskNumber, u64StartSector, u64SectorCount, u64MediumId)
                        : FindRecord(nDiskNumber, u64StartSector, u64SectorCount);
    if (i < 0 && u64MediumId) {
        // The same disk number and sectors, but another medium there now.
        i = FindRecord(nDiskNumber, u64StartSector, u64SectorCount);
        if (i < 0) return 0;
        m_bOtherMedium = true;
    }
    if (i < 0) return 0;
    const _LOG_FILE_INFO_ rec = m_vecRecords[static_cast<size_t>(i)];
    const bool bSame = u64MediumId ? rec.u64MediumId == u64MediumId : rec.u64FreeSpace == FreeSpaceOf(freeSpacePath);
    if (IsUsableLogDir(rec.szLogDirPath) && bSame) return ReuseLocked(rec, out);
    // The earlier log is stale (or unusable): its record and directory go,
    // unless another process works in that directory right now.
    if (HeldElsewhere(rec.szLogDirPath)) return 0;
    DropRecordLocked(static_cast<size_t>(i));
    m_nLastSaveError = SaveLocked();
    return 0;
}

void CLogFileManager::ReloadForLoadLocked() {
    ReloadLocked();
    m_bReuse = 0;
    m_bOtherMedium = false;
    m_strReusedDir.clear();
}

int CLogFileManager::ReuseLocked(const _LOG_FILE_INFO_& rec, _LOG_FILE_INFO_* out) {
    m_bReuse = 1;
    m_strReusedDir = WithSlash(rec.szLogDirPath);
    HoldDir(m_strReusedDir);
    if (out) *out = rec;
    return 1;
}

void CLogFileManager::DropRecordLocked(size_t i) {
    const std::string dir = m_vecRecords[i].szLogDirPath;  // the record goes first
    m_vecRecords.erase(m_vecRecords.begin() + static_cast<std::ptrdiff_t>(i));
    RemoveDirLocked(dir.c_str());
}

void CLogFileManager::ReleaseHeldLocked() {
    close(m_nHeldFd);
    m_nHeldFd = -1;
    m_strHeldDir.clear();
}

bool CLogFileManager::IsUsableLogDir(const char* dir) const {
    // Reuse only a log that still lies, as a real directory, below the base.
    std::vector<std::string> parts;
    if (!SplitBelowBase(m_strBaseDir, dir, parts)) return false;
    int fd = OpenParentBelowBase(m_strBaseDir, parts);
    struct stat st;
    bool bUsable = fd >= 0 && fstatat(fd, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    if (fd >= 0) close(fd);
    return bUsable;
}

int CLogFileManager::FindImageRecord(u64 u64SectorCount, const char* szImagePath) const {
    for (size_t i = m_vecRecords.size(); i-- > 0;) {
        const _LOG_FILE_INFO_& r = m_vecRecords[i];
        if (r.nDiskNumber == kImageDiskNumber && r.u64StartSector == 0 && r.u64SectorCount == u64SectorCount &&
            strncmp(r.szImagePath, szImagePath, sizeof r.szImagePath) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int CLogFileManager::LoadImageLogInfo(const char* szImagePath, u64 u64SectorCount, _LOG_FILE_INFO_* out,
                                      u64 u64MediumId) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadForLoadLocked();
    if (!szImagePath || !szImagePath[0] || strlen(szImagePath) >= sizeof(_LOG_FILE_INFO_::szImagePath)) return 0;
    int i = u64MediumId ? FindMediumRecord(kImageDiskNumber, 0, u64SectorCount, u64MediumId)
                        : FindImageRecord(u64SectorCount, szImagePath);
    if (i < 0 && u64MediumId) {
        // A record of this path for what was another file then is stale.
        int j = FindImageRecord(u64SectorCount, szImagePath);
        if (j >= 0 && m_vecRecords[static_cast<size_t>(j)].u64MediumId != u64MediumId) {
            m_bOtherMedium = true;
            if (!HeldElsewhere(m_vecRecords[static_cast<size_t>(j)].szLogDirPath)) {
                DropRecordLocked(static_cast<size_t>(j));
                m_nLastSaveError = SaveLocked();
            }
        }
        return 0;
    }
    if (i < 0) return 0;
    const _LOG_FILE_INFO_ rec = m_vecRecords[static_cast<size_t>(i)];
    if (!IsUsableLogDir(rec.szLogDirPath)) {
        m_vecRecords.erase(m_vecRecords.begin() + i);
        m_nLastSaveError = SaveLocked();
        return 0;
    }
    return ReuseLocked(rec, out);
}

int CLogFileManager::SaveLogFileInfo(const char* freeSpacePath, int nDiskNumber,
                                     u64 u64StartSector, u64 u64SectorCount, u64 u64RangeStart,
                                     u64 u64RangeCount, u64 u64RangeOffset,
                                     u64 u64ScannedSectors, u64 u64FoundFiles,
                                     const char* szLogDirPath, const char* szImagePath, u64 u64MediumId) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadLocked();
    const bool bImage = szImagePath && szImagePath[0];
    // The five progress fields of a record, and its medium.
    auto setProgress = [&](_LOG_FILE_INFO_& rec) {
        rec.u64RangeStart = u64RangeStart;
        rec.u64RangeCount = u64RangeCount;
        rec.u64RangeOffset = u64RangeOffset;
        rec.u64ScannedSectors = u64ScannedSectors;
        rec.u64FoundFiles = u64FoundFiles;
        rec.u64MediumId = u64MediumId;
    };
    // Overwrites them in a record and saves the table.
    auto renew = [&](_LOG_FILE_INFO_& rec) {
        setProgress(rec);
        m_nLastSaveError = SaveLocked();
        return 0;
    };
    u64 u64Free = 0;
    if (u64MediumId && szLogDirPath) {
        // The scan's own record is the one of its log folder; an older one
        // of the same medium is replaced.
        for (auto& rec : m_vecRecords)
            if (!strcasecmp(rec.szLogDirPath, szLogDirPath)) {
                rec.nDiskNumber = nDiskNumber;
                return renew(rec);
            }
        const int nDisk = bImage ? kImageDiskNumber : nDiskNumber;
        int i = FindMediumRecord(nDisk, u64StartSector, u64SectorCount, u64MediumId);
        if (i >= 0 && !HeldElsewhere(m_vecRecords[static_cast<size_t>(i)].szLogDirPath))
            DropRecordLocked(static_cast<size_t>(i));
    } else if (!bImage) {
        u64Free = FreeSpaceOf(freeSpacePath);
        int i = FindRecord(nDiskNumber, u64StartSector, u64SectorCount);
        if (i >= 0) {
            _LOG_FILE_INFO_& rec = m_vecRecords[static_cast<size_t>(i)];
            // The volume's own current log is never deleted: when its free
            // space moved while it was being scanned, its record is renewed.
            bool bSameDir = szLogDirPath && !strcasecmp(rec.szLogDirPath, szLogDirPath);
            if (rec.u64FreeSpace == u64Free || bSameDir) {
                rec.u64FreeSpace = u64Free;
                return renew(rec);
            }
            DropRecordLocked(static_cast<size_t>(i));
        }
    }
    if (bImage && szLogDirPath) {
        // A later scan of the same image file renews its record.
        int i = FindImageRecord(u64SectorCount, szImagePath);
        if (i >= 0 && nDiskNumber == kImageDiskNumber && u64StartSector == 0 &&
            !strcasecmp(m_vecRecords[static_cast<size_t>(i)].szLogDirPath, szLogDirPath)) {
            return renew(m_vecRecords[static_cast<size_t>(i)]);
        }
    }
    _LOG_FILE_INFO_ rec;
    std::memset(&rec, 0, sizeof rec);
    rec.nDiskNumber = nDiskNumber;
    rec.u64StartSector = u64StartSector;
    rec.u64SectorCount = u64SectorCount;
    setProgress(rec);
    rec.u64FreeSpace = u64Free;
    CopyField(rec.szImagePath, sizeof rec.szImagePath, szImagePath);
    CopyField(rec.szLogDirPath, sizeof rec.szLogDirPath, szLogDirPath);
    if (m_vecRecords.size() < kMaxRecords) m_vecRecords.push_back(rec);
    m_nLastSaveError = SaveLocked();
    return 0;
}

int CLogFileManager::DeleteLogFileDir(const char* dir) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    ReloadLocked();
    const int r = DeleteLocked(dir);
    m_nLastSaveError = SaveLocked();
    return r;
}

int CLogFileManager::DeleteLocked(const char* dir) {
    if (!dir || !dir[0]) return 0;
    std::string strDir(dir);  // dir may point into a record removed below
    // Another process works in it: it stays, record and all.
    if (HeldElsewhere(strDir)) return 0;

    for (size_t i = 0; i < m_vecRecords.size(); ++i) {
        if (!strcasecmp(m_vecRecords[i].szLogDirPath, strDir.c_str())) {
            m_vecRecords.erase(m_vecRecords.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    return RemoveDirLocked(strDir.c_str());
}

int CLogFileManager::RemoveDirLocked(const char* dir) {
    if (!dir || !dir[0]) return 0;
    if (WithSlash(dir) == m_strHeldDir) ReleaseHeldLocked();
    std::vector<std::string> parts;
    if (!SplitBelowBase(m_strBaseDir, dir, parts)) {
        FrLog("refused to delete a log directory outside the scan logs\n");
        return 0;
    }
    int fd = OpenParentBelowBase(m_strBaseDir, parts);
    if (fd < 0) return 0;
    RemoveTreeAt(fd, parts.back().c_str(), 0);
    close(fd);
    return 0;
}

int CLogFileManager::SaveLogConfigFile() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TableLock table(m_strBaseDir);
    return SaveLocked();
}

int CLogFileManager::SaveLocked() {
    MakeDirs(m_strBaseDir, 0700);
    const std::string strConfig = m_strBaseDir + kConfigName;
    const std::string strTmp = m_strBaseDir + kConfigTmpName;
    int fd = open(strTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return errno ? errno : EIO;
    int r = WriteAll(fd, &m_u64TableIndex, sizeof m_u64TableIndex);
    if (!r && !m_vecRecords.empty())
        r = WriteAll(fd, m_vecRecords.data(), m_vecRecords.size() * sizeof(_LOG_FILE_INFO_));
    if (!r && fsync(fd) != 0) r = errno ? errno : EIO;
    if (close(fd) != 0 && !r) r = errno ? errno : EIO;
    if (r) {
        unlink(strTmp.c_str());
        return r;
    }
    // The rename replaces the old table in one step.
    if (rename(strTmp.c_str(), strConfig.c_str()) != 0) return errno ? errno : EIO;
    return 0;
}

std::vector<_LOG_FILE_INFO_> CLogFileManager::GetRecords() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_vecRecords;
}
