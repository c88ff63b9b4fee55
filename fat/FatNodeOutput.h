// Extraction and preview as both FAT engines do them: a file node written
// to a target path, a folder node with everything listed below it, and a
// preview into a caller's buffer or (pictures) a temporary file. Each
// engine supplies only how its nodes are listed and where their data lies.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/ExtentReader.h"
#include "core/Records.h"

class CFatNodeOutput {
public:
    // Where the first u64Wanted bytes of a node's data lie (absolute byte
    // extents of the device): 0 when they are all there, otherwise what
    // stopped the walk, with the extents found up to there.
    using ExtentsFunc = std::function<int(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& out)>;
    // The engine's GetChildrenFileNode.
    using ListFunc = std::function<int(_FILE_NODE_* pParent, unsigned uKey, std::vector<_FILE_NODE_>& out)>;

    static constexpr u32 kMaxClusterBytes = 0x6400001;
    static constexpr int kRecoveryFailedDirCode = 29;

    // Reads go through reader in sectors of *pBytesPerSector bytes (the
    // engine's member, which may change when the engine learns its volume).
    CFatNodeOutput(CDiskReader& reader, const int* pBytesPerSector, ExtentsFunc extents, ListFunc list)
        : m_Reader(reader), m_pBytesPerSector(pBytesPerSector), m_Extents(std::move(extents)), m_List(std::move(list)) {}

    void SetRecoveryCallBack(RecoveryProgressFunc pFunc, void* pParam) {
        m_pfnRecoveryProgress = pFunc;
        m_pProgressParam = pParam;
    }

    // One node to its full target path: a file is created (never over an
    // existing one) and filled, a folder is created and queued for SaveTree.
    int SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath);
    // A file node as above; a folder node with its whole subtree, its
    // children listed at the level of szTargetPath's separators minus nBaseLevel.
    int SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel);
    int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen, PreviewProgressFunc pFunc,
                void* pParam);

private:
    int ReportRecovery(int nProgress, int nErrorCode, const wchar_t* szPath);
    // Copies a node's data to fd (when >= 0) or into pBuf.
    int CopyNodeData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered,
                     const ExtentProgress& progress);

    CDiskReader& m_Reader;
    const int* m_pBytesPerSector;
    ExtentsFunc m_Extents;
    ListFunc m_List;
    RecoveryProgressFunc m_pfnRecoveryProgress = nullptr;
    void* m_pProgressParam = nullptr;
    std::deque<__FILE_DATA_RECOVERY__> m_DirRecoveryQueue;
    std::wstring m_strCurrentDir;
};
