// Extraction and preview of result nodes, for every engine: a file node
// written to a target path, a folder node with everything listed below it,
// and a preview into a caller's buffer or (pictures) a temporary file.
//
// How an engine uses it: keep one CNodeOutput member and forward the
// interface's SaveFileData and PreView (and its own SaveDataToTargetFile)
// to it; hand the recovery callback on with SetRecoveryCallBack before an
// extraction. The engine supplies only
//   - how a node's data is copied (CopyFunc; ExtentCopy builds one from
//     the extents of the node's data, for engines without resident data),
//   - how a folder's children are listed (its GetChildrenFileNode), and
//   - optionally the level a folder's children are filed under (LevelFunc),
//     when the target path's depth is not it.
// A folder's children are listed at the folder's level; a subfolder's
// level is its parent's plus one.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/ExtentReader.h"
#include "core/Records.h"

class CDiskReader;

class CNodeOutput {
public:
    // Copies the first u64Wanted bytes of a node's data to fd (when >= 0) or
    // into pBuf; u64Delivered counts what arrived. 0, an error code,
    // FR_SHORT_READ when the data ends first, or progress's stop value.
    using CopyFunc = std::function<int(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf,
                                       u64& u64Delivered, const ExtentProgress& progress)>;
    // Where the first u64Wanted bytes of a node's data lie (absolute byte
    // extents of the device): 0 when they are all there, otherwise what
    // stopped the walk, with the extents found up to there.
    using ExtentsFunc = std::function<int(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& out)>;
    // The engine's GetChildrenFileNode.
    using ListFunc = std::function<int(_FILE_NODE_* pParent, unsigned uKey, std::vector<_FILE_NODE_>& out)>;
    // The level a folder's children are listed at, given the level its
    // target path implies (the path's separators minus nBaseLevel).
    using LevelFunc = std::function<int(const _FILE_NODE_& dir, int nPathLevel)>;

    // Reads through reader in sectors of *pBytesPerSector bytes (the
    // engine's member, which may change when the engine learns its volume).
    static CopyFunc ExtentCopy(CDiskReader& reader, const int* pBytesPerSector, ExtentsFunc extents);
    // Pieces of a CopyFunc: data already in memory (u64Have bytes of it,
    // FR_SHORT_READ when fewer than wanted), and extents of the device.
    static int CopyFromMemory(const unsigned char* pData, u64 u64Have, u64 u64Wanted, int fd, unsigned char* pBuf,
                              u64& u64Delivered, const ExtentProgress& progress);
    static int CopyFromExtents(CDiskReader& reader, int nBytesPerSector, const std::vector<DataExtent>& extents,
                               u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered,
                               const ExtentProgress& progress);

    // nMaxClusterBytes: nodes with a cluster size at or above it are
    // refused with kBadClusterCode (0: no limit).
    CNodeOutput(CopyFunc copy, ListFunc list, LevelFunc level = {}, u32 nMaxClusterBytes = 0)
        : m_Copy(std::move(copy)), m_List(std::move(list)), m_Level(std::move(level)),
          m_nMaxClusterBytes(nMaxClusterBytes) {}

    static constexpr int kBadClusterCode = 29;

    void SetRecoveryCallBack(RecoveryProgressFunc pFunc, void* pParam) {
        m_pfnRecoveryProgress = pFunc;
        m_pProgressParam = pParam;
    }

    // One node to its full target path: a file is created (never over an
    // existing one) and filled, a folder is created and queued for the
    // next SaveFileData.
    int SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath);
    // A file node as above; a folder node with its whole subtree.
    int SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel);
    // nBufLen is in: the buffer's capacity, out: the bytes delivered (0 in
    // file mode). A picture goes whole into a temporary file whose path is
    // written to szTempPath; a failed file-mode preview removes its file.
    int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen, PreviewProgressFunc pFunc,
                void* pParam);

private:
    struct QueuedDir {
        __FILE_DATA_RECOVERY__ rec;
        int nLevel;  // -1: worked out when the folder is expanded
    };
    int ReportRecovery(int nProgress, int nErrorCode, const wchar_t* szPath);
    bool BadCluster(const _FILE_NODE_& node) const {
        return m_nMaxClusterBytes != 0 && node.nBytesPerCluster >= m_nMaxClusterBytes;
    }
    int QueueDir(const _FILE_NODE_& node, const std::wstring& path, int nLevel);
    int LevelOf(const QueuedDir& d, int nBaseLevel) const;

    CopyFunc m_Copy;
    ListFunc m_List;
    LevelFunc m_Level;
    u32 m_nMaxClusterBytes;
    RecoveryProgressFunc m_pfnRecoveryProgress = nullptr;
    void* m_pProgressParam = nullptr;
    std::deque<QueuedDir> m_DirQueue;
};
