#include "results/StoreBackedEngine.h"

int CStoreBackedEngine::InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                                     int nPercent) {
    m_pScanFunc = pScanFunc;
    m_pRecoveryFunc = pRecoveryFunc;
    m_pParam = pParam;
    m_nPercent = nPercent;
    return 0;
}

bool CStoreBackedEngine::ChildrenKey(const _FILE_NODE_* pParent, unsigned uParentKey, u64& u64Key) const {
    const u32 id = pParent && pParent->uClusterNO ? pParent->uClusterNO : RootDirId();
    u64Key = (static_cast<u64>(uParentKey) << 32) | id;
    return true;
}

int CStoreBackedEngine::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned uParentKey, std::vector<_FILE_NODE_>& out) {
    if (!pParent && uParentKey != 0) return FR_INVALID;
    if (!m_pStore) return FR_INVALID;
    u64 key = 0;
    if (!ChildrenKey(pParent, uParentKey, key)) return 0;
    return m_pStore->GetChildrenFileNode(key, out);
}

int CStoreBackedEngine::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned uParentKey, unsigned& nCount) {
    nCount = 0;
    if (!pParent && uParentKey != 0) return FR_INVALID;
    if (!m_pStore) return FR_INVALID;
    u64 key = 0;
    if (!ChildrenKey(pParent, uParentKey, key)) return 0;
    return m_pStore->GetChildrenFileCount(key, nCount);
}

unsigned CStoreBackedEngine::GetLostFileCount() { return m_pStore ? m_pStore->GetFileIndex() : 0; }

int CStoreBackedEngine::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) {
    if (!m_pStore || !pNode || !szPath || nPathLen <= 0) return FR_INVALID;
    return m_pStore->GetParentDirPath(pNode, szPath, nPathLen);
}

int CStoreBackedEngine::InitSearchCallBack(SearchProgressFunc pSearchFunc, void* pParam) {
    m_pSearchFunc = pSearchFunc;
    m_pSearchParam = pParam;
    if (!m_pStore) return FR_INVALID;
    return m_pStore->InitSearchCallBack(pSearchFunc, pParam);
}

int CStoreBackedEngine::SearchFileNode(wchar_t* szPattern, std::vector<__SEARCH_FILE_INFO__>& out) {
    if (!m_pStore || !szPattern) return FR_INVALID;
    m_pStore->SearchFileNodeInfo(szPattern, out);
    return 0;
}

int CStoreBackedEngine::OpenStore(const wchar_t* szLogName) {
    m_pStore = std::make_unique<CScanResultFileManager>();
    if (m_pSearchFunc) m_pStore->InitSearchCallBack(m_pSearchFunc, m_pSearchParam);
    return m_pStore->Init(szLogName);
}

int CStoreBackedEngine::OpenNewStore(const wchar_t* szLogName) {
    return OpenNewResultLog(m_pStore, szLogName, m_pSearchFunc, m_pSearchParam);
}

int CStoreBackedEngine::SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath) {
    CNodeOutput* out = NodeOutput();
    if (!out) return FR_INVALID;
    out->SetRecoveryCallBack(m_pRecoveryFunc, m_pParam);
    return out->SaveDataToTargetFile(pNode, szTargetPath);
}

int CStoreBackedEngine::SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel) {
    CNodeOutput* out = NodeOutput();
    if (!out) return FR_INVALID;
    out->SetRecoveryCallBack(m_pRecoveryFunc, m_pParam);
    return out->SaveFileData(pNode, szTargetPath, nBaseLevel);
}

int CStoreBackedEngine::PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                                PreviewProgressFunc pFunc, void* pParam) {
    CNodeOutput* out = NodeOutput();
    if (!out) return FR_INVALID;
    return out->PreView(pNode, szTempPath, pBuf, nBufLen, pFunc, pParam);
}
