#include "results/NodeOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Categories.h"
#include "core/DiskReader.h"
#include "core/FileOutput.h"
#include "core/TextHelpers.h"

int CNodeOutput::CopyFromMemory(const unsigned char* pData, u64 u64Have, u64 u64Wanted, int fd, unsigned char* pBuf,
                                u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    // Resident data: never more than the value holds.
    const u64 n = std::min<u64>(u64Wanted, u64Have);
    if (fd >= 0) {
        if (int rc = WriteAll(fd, pData, static_cast<size_t>(n))) return rc;
    } else if (n) {
        std::memcpy(pBuf, pData, static_cast<size_t>(n));
    }
    u64Delivered = n;
    if (progress)
        if (int rc = progress(n)) return rc;
    return n < u64Wanted ? FR_SHORT_READ : 0;
}

int CNodeOutput::CopyFromExtents(CDiskReader& reader, int nBytesPerSector, const std::vector<DataExtent>& extents,
                                 u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered,
                                 const ExtentProgress& progress) {
    u64Delivered = 0;
    CExtentReader copier(reader, nBytesPerSector);
    if (fd < 0) return copier.CopyToBuffer(extents, u64Wanted, pBuf, u64Delivered, progress);
    const int rc = copier.CopyToFd(extents, u64Wanted, fd, progress);
    if (rc == 0) u64Delivered = u64Wanted;
    return rc;
}

CNodeOutput::CopyFunc CNodeOutput::ExtentCopy(CDiskReader& reader, const int* pBytesPerSector, ExtentsFunc extents) {
    return [&reader, pBytesPerSector, extents = std::move(extents)](const _FILE_NODE_& node, u64 u64Wanted, int fd,
                                                                      unsigned char* pBuf, u64& u64Delivered,
                                                                      const ExtentProgress& progress) -> int {
        u64Delivered = 0;
        std::vector<DataExtent> found;
        const int walk = extents(node, u64Wanted, found);
        if (found.empty()) return walk;
        // The walk may stop short of u64Wanted: copy what it found.
        u64 covered = 0;
        for (const auto& e : found) covered += e.u64Length;
        const int rc = CopyFromExtents(reader, *pBytesPerSector, found, covered, fd, pBuf, u64Delivered, progress);
        return rc != 0 ? rc : walk;
    };
}

int CNodeOutput::ReportRecovery(int nProgress, int nErrorCode, const wchar_t* szPath) {
    if (!m_pfnRecoveryProgress) return 0;
    return m_pfnRecoveryProgress(m_pProgressParam, nProgress, 100, nErrorCode, const_cast<wchar_t*>(szPath));
}

int CNodeOutput::QueueDir(const _FILE_NODE_& node, const std::wstring& path, int nLevel) {
    if (path.size() >= 512) return ENAMETOOLONG;
    QueuedDir d{};
    d.rec.FileNode = node;
    std::wmemcpy(d.rec.szTargetDir, path.c_str(), path.size() + 1);
    d.nLevel = nLevel;
    m_DirQueue.push_back(d);
    return 0;
}

int CNodeOutput::LevelOf(const QueuedDir& d, int nBaseLevel) const {
    if (d.nLevel >= 0) return d.nLevel;
    int n = 0;
    GetPathDirIndex(d.rec.szTargetDir, n);
    return m_Level ? m_Level(d.rec.FileNode, n - nBaseLevel) : n - nBaseLevel;
}

int CNodeOutput::SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath) {
    if (!pNode || !szTargetPath) {
        ReportRecovery(100, FR_INVALID, szTargetPath);
        return FR_INVALID;
    }
    const std::string path = WideToUtf8(szTargetPath);
    if (pNode->bIsDir) {
        int err = std::wcslen(szTargetPath) >= 512 ? ENAMETOOLONG : CreateOutputDir(path);
        if (err == 0) err = QueueDir(*pNode, szTargetPath, -1);
        if (err != 0) ReportRecovery(100, err, szTargetPath);
        return err;
    }
    if (BadCluster(*pNode)) {
        ReportRecovery(100, kBadClusterCode, szTargetPath);
        return kBadClusterCode;
    }
    CUniqueFd fd;
    if (int err = CreateOutputFile(path, fd)) {
        ReportRecovery(100, err, szTargetPath);
        return err;
    }
    const u64 size = pNode->u64FileSize;
    if (size == 0) {
        ApplyNodeTimes(fd.get(), path, *pNode);
        ReportRecovery(100, 0, szTargetPath);
        return 0;
    }
    bool stopped = false;
    u64 written = 0;
    const int ret = m_Copy(*pNode, size, fd.get(), nullptr, written, [&](u64 done) -> int {
        const int r = ReportRecovery(static_cast<int>(done * 100 / size), 0, szTargetPath);
        if (r != 0) stopped = true;
        return r;
    });
    if (ret == 0) ApplyNodeTimes(fd.get(), path, *pNode);
    if (ret != 0 && !stopped) ReportRecovery(100, ret, szTargetPath);
    return ret;
}

int CNodeOutput::SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel) {
    if (!pNode || !szTargetPath || !pNode->bIsDir) return SaveDataToTargetFile(pNode, szTargetPath);

    std::wstring wtop(szTargetPath);
    while (wtop.size() > 1 && wtop.back() == L'/') wtop.pop_back();
    const std::string top = WideToUtf8(wtop);
    struct stat st;
    int err = 0;
    if (wtop.size() >= 512)
        err = ENAMETOOLONG;
    else if (stat(top.c_str(), &st) != 0)
        err = CreateOutputDir(top);
    else if (!S_ISDIR(st.st_mode))
        err = ENOTDIR;
    if (err == 0) err = QueueDir(*pNode, wtop, -1);
    if (err != 0) {
        ReportRecovery(100, err, szTargetPath);
        return err;
    }

    int result = 0;
    std::vector<__FILE_DATA_RECOVERY__> written;  // folders to date once filled
    while (!m_DirQueue.empty()) {
        const QueuedDir d = m_DirQueue.front();
        m_DirQueue.pop_front();
        written.push_back(d.rec);
        const int level = LevelOf(d, nBaseLevel);
        _FILE_NODE_ dirNode = d.rec.FileNode;
        std::vector<_FILE_NODE_> children;
        int ret = m_List(&dirNode, static_cast<unsigned>(std::max(level, 0)), children);
        if (ret != 0) {
            result = ret;
            continue;
        }
        const std::string dir = WideToUtf8(d.rec.szTargetDir);
        for (auto& child : children) {
            // On-disk names are untrusted: one safe path component each, and
            // a fresh name when that one is taken.
            std::string target;
            ret = MakeOutputPath(dir, std::string_view(child.szFileName, strnlen(child.szFileName, sizeof child.szFileName)),
                                 target);
            if (ret != 0) {
                ReportRecovery(100, ret, nullptr);
                result = ret;
                continue;
            }
            std::wstring unique = Utf8ToWide(target);
            ret = SaveDataToTargetFile(&child, unique.data());
            if (child.bIsDir && ret == 0) m_DirQueue.back().nLevel = level + 1;
            if (ret == FR_RECOVERY_CANCELLED) {
                m_DirQueue.clear();
                return FR_RECOVERY_CANCELLED;
            }
            if (ret != 0) result = ret;
        }
    }
    for (const auto& d : written) ApplyNodeTimes(-1, WideToUtf8(d.szTargetDir), d.FileNode);
    return result;
}

int CNodeOutput::PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                         PreviewProgressFunc pFunc, void* pParam) {
    auto report = [&](int progress, int code) { return pFunc ? pFunc(pParam, progress, code) : 0; };
    const int capacity = pBuf ? std::max(nBufLen, 0) : 0;
    nBufLen = 0;
    if (!pNode) {
        report(100, FR_INVALID);
        return FR_INVALID;
    }
    const std::string name(pNode->szFileName, strnlen(pNode->szFileName, sizeof pNode->szFileName));
    const std::string ext = LowerAscii(ExtensionOf(name, 16));
    bool bFileMode = false;
    std::string tmpPath;
    CUniqueFd fd;
    if (!ext.empty() && szTempPath && IsPictureFileName(name.c_str())) {
        const int err = CreatePreviewTempFile(ext, fd, tmpPath);
        if (err != ENAMETOOLONG) {  // too long a path: the buffer instead
            bFileMode = true;
            const std::wstring w = Utf8ToWide(tmpPath);
            std::wmemcpy(szTempPath, w.c_str(), w.size() + 1);
            if (err != 0) {
                report(100, err);
                return err;
            }
        }
    }
    if (BadCluster(*pNode)) {
        if (bFileMode) unlink(tmpPath.c_str());
        report(100, kBadClusterCode);
        return kBadClusterCode;
    }
    const u64 wanted = bFileMode ? pNode->u64FileSize : std::min<u64>(pNode->u64FileSize, static_cast<u64>(capacity));
    if (wanted == 0) {
        report(100, 0);
        return 0;
    }
    u64 delivered = 0;
    int ret = m_Copy(*pNode, wanted, bFileMode ? fd.get() : -1, bFileMode ? nullptr : pBuf, delivered,
                     [&](u64 done) -> int { return report(static_cast<int>(done * 100 / wanted), 0); });
    // A buffer preview that got some bytes before the data ran out still delivers them.
    if (!bFileMode && ret == FR_SHORT_READ && delivered > 0) ret = 0;
    report(100, ret);
    if (bFileMode) {
        fd.reset();
        if (ret != 0) unlink(tmpPath.c_str());
    } else {
        nBufLen = static_cast<int>(std::min<u64>(delivered, static_cast<u64>(capacity)));
    }
    return ret;
}
