// The query side of every engine that keeps its finds in a result store
// (CScanResultFileManager): browsing, counting, parent paths and search are
// the store's, so they are written here once.
//
// How an engine uses it:
//   - derive from CStoreBackedEngine instead of IFileRecoveryParse and
//     implement the remaining slots (Init, ScanDevice, SaveFileData, ...);
//   - open the store with OpenStore(logName) (an earlier log, reopened) or
//     OpenNewStore(logName) (a new log; a same-named one with nodes is
//     started afresh); both hand the search callback on;
//   - say under which key a folder's children are filed by overriding
//     RootDirId() (the id used when there is no parent, or the parent's
//     uClusterNO is 0) or, for another key scheme, ChildrenKey();
//   - keep a CNodeOutput (results/NodeOutput.h) and return it from
//     NodeOutput(): SaveFileData, PreView and SaveDataToTargetFile then go
//     through it with the engine's recovery callback;
//   - the callbacks given to InitCallBack / InitSearchCallBack are in
//     m_pScanFunc, m_pRecoveryFunc, m_pParam, m_nPercent, m_pSearchFunc and
//     m_pSearchParam.
// Every slot answers 0 when done, FR_INVALID without a store
// (GetLostFileCount then 0) or for missing arguments.
#pragma once

#include <memory>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "results/NodeOutput.h"
#include "results/ScanResultFileManager.h"

class CStoreBackedEngine : public IFileRecoveryParse {
public:
    int InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                     int nPercent) override;
    // A null parent with a nonzero key: FR_INVALID; a key the engine does
    // not file children under: nothing listed, 0.
    int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned uParentKey, std::vector<_FILE_NODE_>& out) override;
    int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned uParentKey, unsigned& nCount) override;
    unsigned GetLostFileCount() override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) override;
    // Remembers the callback (for stores opened later) and hands it to the store.
    int InitSearchCallBack(SearchProgressFunc pSearchFunc, void* pParam) override;
    // Appends the matching files; 0 once searched.
    int SearchFileNode(wchar_t* szPattern, std::vector<__SEARCH_FILE_INFO__>& out) override;

    // Extraction and preview through the engine's node output (FR_INVALID
    // for an engine without one).
    int SaveFileData(_FILE_NODE_* pNode, wchar_t* szTargetPath, int nBaseLevel) override;
    int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                PreviewProgressFunc pFunc, void* pParam) override;
    // Writes one node (a file's data, or creates a folder and queues it).
    int SaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* szTargetPath);

    CScanResultFileManager* GetResultStore() { return m_pStore.get(); }
    CStoreBackedEngine() = default;
    CStoreBackedEngine(const CStoreBackedEngine&) = delete;
    CStoreBackedEngine& operator=(const CStoreBackedEngine&) = delete;

protected:
    // The store key of a parent's children: uParentKey x 2^32 + the parent's
    // uClusterNO, or RootDirId() without a parent or for uClusterNO 0.
    // false: the engine files nothing there.
    virtual bool ChildrenKey(const _FILE_NODE_* pParent, unsigned uParentKey, u64& u64Key) const;
    virtual u32 RootDirId() const { return 0; }
    // The engine's node output, when it has one.
    virtual CNodeOutput* NodeOutput() { return nullptr; }

    // Pieces of an engine's node output: its data copy through a member
    // function, and its listing through GetChildrenFileNode.
    template <typename Engine>
    static CNodeOutput::CopyFunc CopyThrough(Engine* pEngine,
                                             int (Engine::*pCopy)(const _FILE_NODE_&, u64, int, unsigned char*, u64&,
                                                                  const ExtentProgress&)) {
        return [pEngine, pCopy](const _FILE_NODE_& n, u64 w, int fd, unsigned char* p, u64& got,
                                const ExtentProgress& progress) { return (pEngine->*pCopy)(n, w, fd, p, got, progress); };
    }
    CNodeOutput::ListFunc ChildrenLister() {
        return [this](_FILE_NODE_* p, unsigned k, std::vector<_FILE_NODE_>& out) { return GetChildrenFileNode(p, k, out); };
    }

    int OpenStore(const wchar_t* szLogName);
    int OpenNewStore(const wchar_t* szLogName);
    // A progress report with the engine's share and no sector figures; the
    // callback's answer (non-zero: stop), 0 without a callback.
    int ReportScan(int nProgress, int nRemaindSecond) {
        return m_pScanFunc ? m_pScanFunc(m_pParam, nProgress, m_nPercent, nRemaindSecond, 0, 0, 0, nullptr) : 0;
    }

    std::unique_ptr<CScanResultFileManager> m_pStore;
    int m_nPercent = 100;
    ScanProgressFunc m_pScanFunc = nullptr;
    RecoveryProgressFunc m_pRecoveryFunc = nullptr;
    void* m_pParam = nullptr;
    SearchProgressFunc m_pSearchFunc = nullptr;
    void* m_pSearchParam = nullptr;
};

// The base of an engine that the deep scan's sweep feeds sector by sector
// (class CDeepEngine : public CSweepFedEngine<CVolumeEngine>): it scans
// nothing by itself and keeps no allocation bitmap, so ScanDevice,
// GetUnUsedSectorCount (no stretch: u64Count 0) and BuildBitMapInfo only
// answer 0.
template <typename Base>
class CSweepFedEngine : public Base {
public:
    using Base::Base;
    int ScanDevice(wchar_t*) override { return 0; }
    int GetUnUsedSectorCount(u64&, u64& u64Count) override {
        u64Count = 0;
        return 0;
    }
    int BuildBitMapInfo() override { return 0; }
};
