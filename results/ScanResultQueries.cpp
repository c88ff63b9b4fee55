// The result store's queries: children, counts, parents, paths and the
// search by extension, over the node file and the pending buffer.
#include "results/ScanResultFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>

#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "results/ResultFileIo.h"

using namespace result_files;

bool CScanResultFileManager::IsFilteredPicture(const _FILE_NODE_& node) const {
    if (node.bIsDir || node.bIsHealth) return false;
    std::string ext = LowerAscii(ExtensionOf(node.szFileName));
    if (ext.empty()) return false;
    return m_strPictureExt.find(ext) != std::string::npos;
}

int CScanResultFileManager::GetChildrenFileNode(u64 key, std::vector<_FILE_NODE_>& out) {
    FlushBufToFile();  // a query leaves the files complete
    if (m_mapRelation.empty()) return m_nWriteError;
    auto it = key == 0 ? m_mapRelation.begin() : m_mapRelation.find(key);
    if (it == m_mapRelation.end()) return m_nWriteError;
    int nResult = 0;
    const size_t nFirst = out.size();
    for (u32 nIndex : it->second) {
        _FILE_NODE_ node;
        bool bAbsent = false;
        nResult = ReadRecord(nIndex, &node, &bAbsent);
        if (nResult) break;
        if (bAbsent || IsFilteredPicture(node)) continue;
        out.push_back(node);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(nFirst), out.end(),
              [](const _FILE_NODE_& a, const _FILE_NODE_& b) { return VectorCmp(a, b); });
    return nResult ? nResult : m_nWriteError;
}

int CScanResultFileManager::GetChildrenFileCount(u64 key, unsigned& count) {
    FlushBufToFile();  // a query leaves the files complete
    count = 0;
    if (m_mapRelation.empty()) return m_nWriteError;
    if (key == 0) key = m_mapRelation.begin()->first;
    int nResult = 0;
    std::deque<u64> queue{key};
    // Each directory key is walked once, whatever the map says about it.
    std::unordered_set<u64> visited;
    while (!queue.empty()) {
        u64 k = queue.front();
        queue.pop_front();
        if (!visited.insert(k).second) continue;
        auto it = m_mapRelation.find(k);
        if (it == m_mapRelation.end()) continue;
        const u64 nChildDepth = ((k >> 32) + 1) & 0xFFFFFFFFULL;
        for (u32 nIndex : it->second) {
            _FILE_NODE_ node;
            bool bAbsent = false;
            int r = ReadRecord(nIndex, &node, &bAbsent);
            if (r) {
                nResult = r;
                break;
            }
            if (bAbsent) continue;
            if (node.bIsDir) {
                u64 child = (nChildDepth << 32) | node.uClusterNO;
                if (!visited.count(child)) queue.push_back(child);
            } else {
                ++count;
            }
        }
    }
    return nResult ? nResult : m_nWriteError;
}

template <typename Fn>
int CScanResultFileManager::ForEachRecordChunk(Fn&& pfn) {
    if (m_hNodeFile < 0) return EBADF;
    long long llSize = FileSize(m_hNodeFile);
    if (llSize < 0) return errno ? errno : EIO;
    // Records in the file that lie before the pending buffer.
    u64 nFileRecords = static_cast<u64>(llSize) / kNodeSize;
    nFileRecords = std::min<u64>(nFileRecords, m_nBufFirstIndex - 1);
    const u64 nTotalBytes = (nFileRecords + m_nBufFill / kNodeSize) * kNodeSize;
    std::vector<unsigned char> chunk(static_cast<size_t>(m_nBufCapacity));
    u64 nDone = 0;
    while (nDone < nFileRecords) {
        size_t nWant = static_cast<size_t>(
            std::min<u64>(nFileRecords - nDone, static_cast<u64>(m_nBufCapacity) / kNodeSize));
        ssize_t got = PReadFull(m_hNodeFile, chunk.data(), nWant * kNodeSize,
                                static_cast<off_t>(nDone * kNodeSize));
        if (got < 0) return errno ? errno : EIO;
        size_t nGot = static_cast<size_t>(got) / kNodeSize;
        if (nGot == 0) break;
        nDone += nGot;
        if (!pfn(chunk.data(), nGot, nDone * kNodeSize, nTotalBytes)) return 0;
        if (nGot < nWant) break;
    }
    const u32 nPending = m_nBufFill / kNodeSize;
    if (nPending) pfn(m_vecNodeBuf.data(), nPending, nTotalBytes, nTotalBytes);
    return 0;
}

int CScanResultFileManager::GetFileNodeByClusterNO(unsigned id, _FILE_NODE_* out) {
    if (!out) return FR_INVALID;
    bool bFound = false;
    int r = ForEachRecordChunk([&](const unsigned char* p, size_t n, u64, u64) {
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* rec = p + i * kNodeSize;
            u32 uCluster, bIsDir;
            std::memcpy(&uCluster, rec + offsetof(_FILE_NODE_, uClusterNO), 4);
            if (uCluster != id) continue;
            std::memcpy(out, rec, kNodeSize);
            out->szFileName[sizeof out->szFileName - 1] = 0;
            std::memcpy(&bIsDir, rec + offsetof(_FILE_NODE_, bIsDir), 4);
            if (bIsDir) {
                bFound = true;
                return false;
            }
        }
        return true;
    });
    if (r) return r;
    return bFound ? 0 : FR_INVALID;
}

int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_* node,
                                              std::vector<_FILE_NODE_>& out) {
    if (!node) return FR_INVALID;
    std::unordered_set<u32> visited{node->nFileIndex};
    u32 nCur = node->nFileIndex;
    for (;;) {
        // The first directory (in key order) that lists the current node.
        auto owner = m_mapRelation.end();
        for (auto it = m_mapRelation.begin(); it != m_mapRelation.end(); ++it) {
            if (std::find(it->second.begin(), it->second.end(), nCur) != it->second.end()) {
                owner = it;
                break;
            }
        }
        if (owner == m_mapRelation.end() || owner == m_mapRelation.begin()) return 0;
        const u32 uId = static_cast<u32>(owner->first & 0xFFFFFFFFULL);

        _FILE_NODE_ parent;
        std::memset(&parent, 0, sizeof parent);
        auto dir = std::find_if(m_vecDirInfo.begin(), m_vecDirInfo.end(),
                                [uId](const _DIR_FILE_INFO_& d) { return d.uClusterNO == uId; });
        if (dir != m_vecDirInfo.end()) {
            parent.bIsDir = 1;
            parent.bIsHealth = 1;
            parent.uClusterNO = dir->uClusterNO;
            parent.nFileIndex = dir->nFileIndex;
            CopyNodeName(parent.szFileName, sizeof parent.szFileName, dir->szFileName);
        } else {
            int r = GetFileNodeByClusterNO(uId, &parent);
            if (r) return r;
        }
        // Any ancestor seen before closes a cycle: the walk ends there.
        if (!visited.insert(parent.nFileIndex).second) return 0;
        out.push_back(parent);
        nCur = parent.nFileIndex;
    }
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_* node, wchar_t* out,
                                             int outLength) {
    if (!out || outLength <= 0) return FR_INVALID;
    out[0] = 0;
    FlushBufToFile();
    std::vector<_FILE_NODE_> parents;
    GetParentFileNode(node, parents);
    std::string strPath;
    for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
        strPath += it->szFileName;
        strPath += '/';
    }
    return Ansi2Unicode(strPath.c_str(), out, outLength);
}

int CScanResultFileManager::SearchFileNodeInfo(const wchar_t* key,
                                               std::vector<__SEARCH_FILE_INFO__>& out) {
    char szKey[4096];
    Unicode2Ansi(key ? key : L"", szKey, sizeof szKey);
    FlushBufToFile();
    bool bOther = strstr(szKey, ".other") != nullptr;
    if (m_hNodeFile < 0) return 0;
    long long llSize = FileSize(m_hNodeFile);
    if (llSize < 0) llSize = 0;
    if (llSize > kOtherSearchLimit) bOther = false;

    const size_t nFirst = out.size();
    std::string strDotted;
    ForEachRecordChunk([&](const unsigned char* p, size_t n, u64 nDone, u64 nTotal) {
        for (size_t i = 0; i < n; ++i) {
            _FILE_NODE_ node;
            std::memcpy(&node, p + i * kNodeSize, kNodeSize);
            node.szFileName[sizeof node.szFileName - 1] = 0;
            if (node.bIsDir || IsFilteredPicture(node)) continue;
            std::string ext = LowerAscii(ExtensionOf(node.szFileName));
            bool bMatch;
            if (ext.empty()) {
                bMatch = bOther;
            } else {
                strDotted.assign(1, '.');
                strDotted += ext;
                bMatch = strstr(szKey, strDotted.c_str()) != nullptr ||
                         (bOther && m_strKnownExt.find(strDotted) == std::string::npos);
            }
            if (bMatch) out.push_back(ToSearchInfo(node));
        }
        if (m_pSearchFunc && nTotal > 0) {
            int nPercent = static_cast<int>(nDone * 100 / nTotal);
            if (m_pSearchFunc(m_pSearchParam, nPercent, nullptr) != 0) return false;
        }
        return true;
    });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(nFirst), out.end(),
              [](const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) {
                  return VectorCmp(a, b);
              });
    return 1;
}
