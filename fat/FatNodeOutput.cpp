#include "fat/FatNodeOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/TextHelpers.h"

int CFatNodeOutput::ReportRecovery(int nProgress, int nErrorCode, const wchar_t* szPath) {
    if (!m_pfnRecoveryProgress) return 0;
    return m_pfnRecoveryProgress(m_pProgressParam, nProgress, 100, nErrorCode, const_cast<wchar_t*>(szPath));
}

int CFatNodeOutput::CopyNodeData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf,
                                 u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    std::vector<DataExtent> extents;
    const int walk = m_Extents(node, u64Wanted, extents);
    if (extents.empty()) return walk;
    CExtentReader reader(m_Reader, *m_pBytesPerSector);
    u64 covered = 0;
    for (const auto& e : extents) covered += e.u64Length;
    const int rc = fd >= 0 ? reader.CopyToFd(extents, covered, fd, progress)
                           : reader.CopyToBuffer(extents, covered, pBuf, u64Delivered, progress);
    if (fd >= 0 && rc == 0) u64Delivered = covered;
    return rc != 0 ? rc : walk;
}

int CFatNodeOutput::SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath) {
    if (!pNode || !szTargetPath) {
        ReportRecovery(100, FR_INVALID, szTargetPath);
        return FR_INVALID;
    }
    const std::string path = WideToUtf8(szTargetPath);
    if (pNode->bIsDir) {
        if (int err = CreateOutputDir(path)) {
            ReportRecovery(100, err, szTargetPath);
            return err;
        }
        __FILE_DATA_RECOVERY__ rec{};
        rec.FileNode = *pNode;
        std::wstring w(szTargetPath);
        if (w.size() >= 512) {
            ReportRecovery(100, ENAMETOOLONG, szTargetPath);
            return ENAMETOOLONG;
        }
        std::wmemcpy(rec.szTargetDir, w.c_str(), w.size() + 1);
        m_DirRecoveryQueue.push_back(rec);
        return 0;
    }
    if (pNode->nBytesPerCluster >= kMaxClusterBytes) {
        ReportRecovery(100, kRecoveryFailedDirCode, szTargetPath);
        return kRecoveryFailedDirCode;
    }
    CUniqueFd fd;
    if (int err = CreateOutputFile(path, fd)) {
        ReportRecovery(100, err, szTargetPath);
        return err;
    }
    if (pNode->u64FileSize == 0) {
        ApplyNodeTimes(fd.get(), path, *pNode);
        ReportRecovery(100, 0, szTargetPath);
        return 0;
    }
    const u64 size = pNode->u64FileSize;
    bool stopped = false;
    u64 written = 0;
    int ret = CopyNodeData(*pNode, size, fd.get(), nullptr, written, [&](u64 done) -> int {
        const int r = ReportRecovery(static_cast<int>(done * 100 / size), 0, szTargetPath);
        if (r != 0) stopped = true;
        return r;
    });
    if (ret == 0) ApplyNodeTimes(fd.get(), path, *pNode);
    if (ret > 0 && !stopped) ReportRecovery(100, ret, szTargetPath);
    return ret;
}

int CFatNodeOutput::SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel) {
    if (!pNode || !szTargetPath) {
        ReportRecovery(100, FR_INVALID, szTargetPath);
        return FR_INVALID;
    }
    if (!pNode->bIsDir) return SaveDataToTargetFile(pNode, szTargetPath);

    const std::string top = WideToUtf8(szTargetPath);
    struct stat st;
    if (stat(top.c_str(), &st) != 0) {
        if (int err = CreateOutputDir(top)) {
            ReportRecovery(100, err, szTargetPath);
            return err;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        ReportRecovery(100, ENOTDIR, szTargetPath);
        return ENOTDIR;
    }
    std::wstring wtop(szTargetPath);
    while (!wtop.empty() && wtop.back() == L'/' && wtop.size() > 1) wtop.pop_back();
    if (wtop.size() >= 512) return ENAMETOOLONG;
    __FILE_DATA_RECOVERY__ first{};
    first.FileNode = *pNode;
    std::wmemcpy(first.szTargetDir, wtop.c_str(), wtop.size() + 1);
    m_DirRecoveryQueue.push_back(first);

    int result = 0;
    std::vector<__FILE_DATA_RECOVERY__> written;  // folders to date once filled
    while (!m_DirRecoveryQueue.empty()) {
        __FILE_DATA_RECOVERY__ rec = m_DirRecoveryQueue.front();
        m_DirRecoveryQueue.pop_front();
        written.push_back(rec);
        // Each queued record carries the directory that was created for it.
        m_strCurrentDir = rec.szTargetDir;
        int n = 0;
        GetPathDirIndex(m_strCurrentDir.c_str(), n);
        const int level = n - nBaseLevel;
        std::vector<_FILE_NODE_> children;
        int ret = m_List(&rec.FileNode, static_cast<unsigned>(std::max(level, 0)), children);
        if (ret != 0) {
            result = ret;
            continue;
        }
        for (auto& child : children) {
            // On-disk names are untrusted: one safe path component each, and
            // a fresh name when that one is taken.
            std::string target;
            ret = MakeOutputPath(WideToUtf8(m_strCurrentDir),
                                 std::string_view(child.szFileName, strnlen(child.szFileName, 256)), target);
            if (ret != 0) {
                ReportRecovery(100, ret, nullptr);
                result = ret;
                continue;
            }
            std::wstring unique = Utf8ToWide(target);
            ret = SaveDataToTargetFile(&child, unique.data());
            if (ret == FR_RECOVERY_CANCELLED) return FR_RECOVERY_CANCELLED;
            if (ret != 0) result = ret;
        }
    }
    for (const auto& d : written) ApplyNodeTimes(-1, WideToUtf8(d.szTargetDir), d.FileNode);
    return result;
}

int CFatNodeOutput::PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                              PreviewProgressFunc pFunc, void* pParam) {
    auto report = [&](int progress, int code) { return pFunc ? pFunc(pParam, progress, code) : 0; };
    if (!pNode) {
        nBufLen = 0;
        report(100, FR_INVALID);
        return FR_INVALID;
    }
    const int capacity = std::max(nBufLen, 0);
    nBufLen = 0;
    const std::string ext = LowerAscii(ExtensionOf(pNode->szFileName));
    bool bFileMode = false;
    std::string tmpPath;
    CUniqueFd fd;
    if (!ext.empty() && szTempPath && ext.find('|') == std::string::npos && ext.find('*') == std::string::npos &&
        strstr(g_szPictureExt, ("*." + ext + "|").c_str())) {
        const int err = CreatePreviewTempFile(ext, fd, tmpPath);
        if (err != ENAMETOOLONG) {
            bFileMode = true;
            std::wstring w = Utf8ToWide(tmpPath);
            std::wmemcpy(szTempPath, w.c_str(), w.size() + 1);
        }
        if (err != 0 && bFileMode) {
            report(100, err);
            return err;
        }
    }
    if (pNode->nBytesPerCluster >= kMaxClusterBytes) {
        if (bFileMode) unlink(tmpPath.c_str());
        report(100, kRecoveryFailedDirCode);
        return kRecoveryFailedDirCode;
    }
    u64 wanted = pNode->u64FileSize;
    if (!bFileMode) wanted = std::min<u64>(wanted, pBuf ? static_cast<u64>(capacity) : 0);
    if (wanted == 0) {
        report(100, 0);
        return 0;
    }
    u64 delivered = 0;
    int ret = CopyNodeData(*pNode, wanted, bFileMode ? fd.get() : -1, bFileMode ? nullptr : pBuf, delivered,
                           [&](u64 done) -> int { return report(static_cast<int>(done * 100 / wanted), 0); });
    // A buffer preview that got some bytes before the chain ran out still delivers them.
    if (!bFileMode && ret == FR_SHORT_READ && delivered > 0) ret = 0;
    report(100, ret);
    if (bFileMode) {
        fd.reset();
        if (ret != 0) unlink(tmpPath.c_str());
    } else {
        nBufLen = static_cast<int>(delivered);
    }
    return ret;
}
