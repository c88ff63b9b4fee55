#include "results/ScanResultFileManager.h"

#include <cerrno>

// Interim body: the store's operations compile and refuse work until the
// full implementation lands.
CScanResultFileManager::CScanResultFileManager()
    : m_nBufFill(0), m_nBufCapacity(kBufferCapacity), m_nFileIndex(0), m_nBytesCreated(0),
      m_hNodeFile(-1), m_hRelationFile(-1), m_hDirInfoFile(-1), m_pSearchFunc(nullptr),
      m_pSearchParam(nullptr), m_nBaseIndex(0), m_nBufFirstIndex(1), m_nWriteError(0),
      m_bRelationDirty(false), m_bDirInfoDirty(false), m_nRelationChildren(0) {}
CScanResultFileManager::~CScanResultFileManager() {}
int CScanResultFileManager::Init(const wchar_t*) { return ENOSYS; }
int CScanResultFileManager::Init(const wchar_t*, const std::string&) { return ENOSYS; }
int CScanResultFileManager::InitSearchCallBack(ScanResultSearchFunc f, void* p) {
    m_pSearchFunc = f;
    m_pSearchParam = p;
    return 0;
}
_FILE_NODE_* CScanResultFileManager::CreateFileNode(int) { return nullptr; }
u32 CScanResultFileManager::GetFileIndex() const { return m_nFileIndex; }
u32 CScanResultFileManager::GetNodeCount() const { return m_nBaseIndex + m_nFileIndex; }
void CScanResultFileManager::AddChildren(unsigned, unsigned, unsigned, unsigned, const char*) {}
int CScanResultFileManager::FlushFileNodeToFile() { return 0; }
int CScanResultFileManager::FlushBufToFile() { return 0; }
int CScanResultFileManager::FlushRelationToFile() { return 0; }
int CScanResultFileManager::FlushDirFileInfoVec() { return 0; }
int CScanResultFileManager::GetDirRelationMap(const char*, int, RelationMap&) { return 0; }
int CScanResultFileManager::GetChildrenFileNode(u64, std::vector<_FILE_NODE_>&) { return 0; }
int CScanResultFileManager::GetChildrenFileCount(u64, unsigned& count) {
    count = 0;
    return 0;
}
int CScanResultFileManager::GetFileNodeByClusterNO(unsigned, _FILE_NODE_*) { return 87; }
int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_*, std::vector<_FILE_NODE_>&) { return 0; }
int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_*, wchar_t* out, int n) {
    if (out && n > 0) out[0] = 0;
    return 0;
}
int CScanResultFileManager::SearchFileNodeInfo(const wchar_t*, std::vector<__SEARCH_FILE_INFO__>&) { return 0; }
int CScanResultFileManager::ReadFileNode(u32, _FILE_NODE_*) { return 87; }
