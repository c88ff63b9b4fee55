// The job controller of the main window: the scan, listing, preview and
// recovery jobs, each on a worker thread behind a modal progress dialog,
// and the adapters that turn engine reports into queued signals.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "core/ProgressThrottle.h"
#include "core/Records.h"
#include "scan/ScanController.h"

class QWidget;
class SCANUI;

// Bytes of one in-memory preview.
inline constexpr int kPreviewBufSize = 10240;

class CJobController : public QObject {
    Q_OBJECT
public:
    // Files chosen for recovery, by engine, store index and first cluster
    // (store indexes of different engines may coincide).
    using RecoveryKey = std::tuple<u32, u32, u32>;
    using RecoveryMap = std::map<RecoveryKey, _FILE_NODE_>;
    // How the scan job gets its engine (the engine factory unless replaced).
    using EngineMaker = std::function<IFileRecoveryParse*(const _PARTITION_ITEM_&)>;

    // pWindow parents the progress dialogs.
    explicit CJobController(QWidget* pWindow);
    ~CJobController() override;

    void SetEngineMaker(EngineMaker maker) { m_engineMaker = std::move(maker); }
    // Called with each progress dialog right after it is set up.
    void SetDialogHook(std::function<void(SCANUI*)> hook) { m_dialogHook = std::move(hook); }
    // Called before the engine is deleted (whoever else uses it lets go).
    void SetEngineReleaseHook(std::function<void()> hook) { m_releaseHook = std::move(hook); }

    // Scans the partition, then lists the files of the pattern that
    // pattern() gives once the scan has ended (read on the calling thread).
    void ScanAndList(const _PARTITION_ITEM_& part, const std::function<std::wstring()>& pattern);
    // Previews one file into PreviewPath() or PreviewData().
    void Preview(const _FILE_NODE_& node);
    // Recovers the files into the folder strDir.
    void Recover(const RecoveryMap& files, const QString& strDir);
    void DeleteEngine();

    bool Running() const { return m_bJobRunning; }
    IFileRecoveryParse* Engine() const { return m_pFileRecovery; }
    const std::vector<__SEARCH_FILE_INFO__>& SearchResult() const { return m_vecSearchResult; }
    // How the last scan ended, and why it could not start (empty when it could).
    const ScanReport& LastScanReport() const { return m_ScanReport; }
    const std::string& ScanProblem() const { return m_strScanProblem; }
    bool ScanCancelRequested() const { return m_bCancelScan; }
    // The last preview: a file (path not empty) or bytes in memory.
    const wchar_t* PreviewPath() const { return m_szPreviewPath.data(); }
    const unsigned char* PreviewData() const { return m_pPreviewBuf.data(); }
    int PreviewLen() const { return m_nPreviewLen; }

signals:
    // Engine reports, emitted on the worker thread.
    void ScanProcessCallBack(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                             QString u64SectorCountStr, QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBack(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
    void SearchCallBack(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackForSlot(int nProgress, int nRet);

private:
    friend class SCANUI;
    using JobFunc = void (*)(void*, int&);
    void RunJob(JobFunc pFunc, SCANUI* pDialog);
    static void _ScanProcess(void* pParam, int& nProcess);
    static void _SearchProcess(void* pParam, int& nProcess);
    static void _PreviewProcess(void* pParam, int& nProcess);
    static void _RecoveryProcess(void* pParam, int& nProcess);
    int Scan(wchar_t* pSaveDir, int& nProcess);
    void RecoveryProcess();
    void FinishFile(const std::wstring& wstrPath, int nResult);
    static int ScanCallBack(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                            u64 u64SectorCount, u64 u64FindFileCount, wchar_t* pRecoveryFileName);
    static int RecoveryCallBack(void* pParam, int nProgress, int nPercent, int nErrorCode, wchar_t* pRecoveryFileName);
    static int SearchCallBack(void* pParam, int nProgress, wchar_t* pRecoveryFileName);
    static int PreViewCallBack(void* pParam, int nProgress, int nRet);

    QWidget* m_pWindow;
    IFileRecoveryParse* m_pFileRecovery = nullptr;
    ScanReport m_ScanReport;
    std::string m_strScanProblem;
    _PARTITION_ITEM_ m_partitionItem{};
    std::vector<__SEARCH_FILE_INFO__> m_vecSearchResult;
    RecoveryMap m_mapRecoveryFile;
    std::wstring m_strSearchPattern;
    QString m_strSaveDir;
    QString m_strPreviewFileName;
    _FILE_NODE_ m_previewNode{};
    std::array<wchar_t, 512> m_szPreviewPath{};
    std::vector<unsigned char> m_pPreviewBuf;
    int m_nPreviewLen = 0;
    EngineMaker m_engineMaker;
    std::function<void(SCANUI*)> m_dialogHook;
    std::function<void()> m_releaseHook;

    // Job flags: each has one writer at a time (the dialog sets a cancel
    // flag, the worker sets a done flag), read by the other thread.
    std::atomic<bool> m_bCancelScan{false}, m_bScanDone{false};
    std::atomic<bool> m_bCancelSearch{false}, m_bSearchDone{false};
    std::atomic<bool> m_bCancelRecovery{false}, m_bRecoveryDone{false};
    std::atomic<bool> m_bCancelPreview{false}, m_bPreviewDone{false};
    // Recovery of the current file: the outcome its engine reported and the
    // last progress step passed on (reports are thinned to whole percents).
    int m_nFileError = 0;
    bool m_bFileReported = false;
    int m_nLastFileStep = -1;
    bool m_bJobRunning = false;
    // Engine reports reach the dialog at most ten times a second (phase
    // changes and ends always); touched by the worker only.
    CProgressThrottle m_reportThrottle;
    int m_nReportPhase = -1;
};
