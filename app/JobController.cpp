#include "JobController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QWidget>

#include "MyThread.h"
#include "SCANUI.h"
#include "Styles.h"
#include "core/Categories.h"
#include "core/FileOutput.h"
#include "scan/FileRecoveryFactory.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace {

// Longest target path handed to an engine, in bytes.
constexpr size_t kMaxTargetBytes = 511;

QString NodeName(const _FILE_NODE_& node) {
    return QString::fromUtf8(node.szFileName, static_cast<int>(strnlen(node.szFileName, sizeof node.szFileName)));
}

}  // namespace

CJobController::CJobController(QWidget* pWindow) : QObject(pWindow), m_pWindow(pWindow) {
    m_pPreviewBuf.assign(kPreviewBufSize, 0);
}

CJobController::~CJobController() { DeleteEngine(); }

void CJobController::DeleteEngine() {
    if (m_pFileRecovery && m_releaseHook) m_releaseHook();
    delete m_pFileRecovery;
    m_pFileRecovery = nullptr;
}

// ---------------------------------------------------------------------------
// Running a job

void CJobController::RunJob(JobFunc pFunc, SCANUI* pDialog) {
    // The flags belong to one job at a time; they are cleared before the
    // worker starts, so a cancel pressed at once is never lost.
    for (std::atomic<bool>* flag : {&m_bCancelScan, &m_bScanDone, &m_bCancelSearch, &m_bSearchDone,
                                    &m_bCancelRecovery, &m_bRecoveryDone, &m_bCancelPreview, &m_bPreviewDone})
        *flag = false;
    m_reportThrottle.Reset();
    m_nReportPhase = -1;
    CMyThread thread;
    thread.SetFunc(pFunc, this);
    connect(&thread, &QThread::finished, pDialog, &SCANUI::JobEndedSlot, Qt::QueuedConnection);
    m_bJobRunning = true;
    thread.start();
    if (m_dialogHook) m_dialogHook(pDialog);
    pDialog->exec();
    // A dialog that ended without its job (the application is quitting)
    // stops the worker at its next report.
    if (!pDialog->IsFinished())
        for (std::atomic<bool>* flag : {&m_bCancelScan, &m_bCancelSearch, &m_bCancelRecovery, &m_bCancelPreview})
            *flag = true;
    // The dialog may close on the completion report while the job function
    // is still returning: the next job starts only after the worker ended.
    thread.wait();
    m_bJobRunning = false;
}

// ---------------------------------------------------------------------------
// Engine reports

int CJobController::ScanCallBack(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                       u64 u64SectorCount, u64 u64FindFileCount, wchar_t* pRecoveryFileName) {
    auto* w = static_cast<CJobController*>(pParam);
    if (w->m_bCancelScan) return FR_RECOVERY_CANCELLED;
    const bool bNewPhase = nPercent != w->m_nReportPhase;
    w->m_nReportPhase = nPercent;
    if (!w->m_reportThrottle.Due(bNewPhase || static_cast<long long>(nProgress) * nPercent >= 10000)) return 0;
    emit w->ScanProcessCallBack(nProgress, nPercent, nRemaindSecond, QString::number(u64CurSector),
                                QString::number(u64SectorCount), QString::number(u64FindFileCount),
                                pRecoveryFileName ? QString::fromStdString(WideToUtf8(pRecoveryFileName)) : QString());
    return 0;
}

int CJobController::RecoveryCallBack(void* pParam, int nProgress, int nPercent, int nErrorCode, wchar_t* pRecoveryFileName) {
    auto* w = static_cast<CJobController*>(pParam);
    if (w->m_bCancelRecovery) return FR_RECOVERY_CANCELLED;
    const QString name = pRecoveryFileName ? QString::fromStdString(WideToUtf8(pRecoveryFileName)) : QString();
    if (nPercent == 1000 || nPercent != 100) {
        emit w->RecoveryCallBack(nProgress, nPercent, nErrorCode, name);
        return 0;
    }
    // The end of a file is reported by the recovery loop, once, with the
    // engine's outcome; progress within a file goes out once per percent.
    if (nErrorCode != 0 && w->m_nFileError == 0) w->m_nFileError = nErrorCode;
    if (nProgress >= 100) {
        w->m_bFileReported = true;
        return 0;
    }
    if (nProgress != w->m_nLastFileStep && w->m_reportThrottle.Due(nProgress == 0)) {
        w->m_nLastFileStep = nProgress;
        emit w->RecoveryCallBack(nProgress, nPercent, nErrorCode, name);
    }
    return 0;
}

int CJobController::SearchCallBack(void* pParam, int nProgress, wchar_t*) {
    auto* w = static_cast<CJobController*>(pParam);
    if (w->m_bCancelSearch) return 1;
    if (w->m_reportThrottle.Due(nProgress >= 100)) emit w->SearchCallBack(nProgress, QString());
    return 0;
}

int CJobController::PreViewCallBack(void* pParam, int nProgress, int nRet) {
    auto* w = static_cast<CJobController*>(pParam);
    if (w->m_bCancelPreview) return 1;
    if (w->m_reportThrottle.Due(nProgress >= 100)) emit w->PreViewCallBackForSlot(nProgress, nRet);
    return 0;
}

// ---------------------------------------------------------------------------
// Scan and listing

void CJobController::ScanAndList(const _PARTITION_ITEM_& part, const std::function<std::wstring()>& pattern) {
    m_partitionItem = part;
    {
        SCANUI dialog(m_pWindow);
        dialog.InitSlot(this, 1);
        dialog.move(m_pWindow->pos() + QPoint(m_pWindow->width() / 4, m_pWindow->height() / 4));
        RunJob(_ScanProcess, &dialog);
    }
    FrLog("_ScanProcess end\n");
    // The categories are read here, on the window's thread.
    m_strSearchPattern = pattern();
    {
        SCANUI dialog(m_pWindow);
        dialog.InitSlot(this, 2);
        FrLog("_SearchProcess Start\n");
        RunJob(_SearchProcess, &dialog);
        FrLog("_SearchProcess end\n");
    }
}

void CJobController::_ScanProcess(void* pParam, int& nProcess) {
    auto* w = static_cast<CJobController*>(pParam);
    w->Scan(nullptr, nProcess);
    w->m_bScanDone = true;
}

int CJobController::Scan(wchar_t*, int&) {
    DeleteEngine();
    m_ScanReport = ScanReport{};
    m_strScanProblem.clear();
    FrLog("m_partitionItem.u64StartSector = %lld\n", static_cast<long long>(m_partitionItem.u64StartSector));
    const u64 start = m_partitionItem.u64StartSector;
    const u64 count = m_partitionItem.u64EndSector >= start ? m_partitionItem.u64EndSector + 1 - start : 0;
    const std::string device = GetDiskDevicePath(m_partitionItem.nDiskNumber);
    if (CScanController::CheckDataDir(device, m_strScanProblem) != 0) {
        FrLog("%s\n", m_strScanProblem.c_str());
        return -1;
    }
    if (m_engineMaker) {
        // An engine handed in from outside is driven as it is, in a fresh log folder.
        CLogFileManager& logs = CLogFileManager::GetInstance();
        logs.Init();
        logs.AddDirIndex();
        m_pFileRecovery = m_engineMaker(m_partitionItem);
        if (!m_pFileRecovery) return -1;
        m_pFileRecovery->InitCallBack(ScanCallBack, RecoveryCallBack, this, 100);
        return m_pFileRecovery->ScanDevice(nullptr);
    }
    // Every scan of the window starts afresh: a log of an earlier scan is
    // never reused, whatever medium is in the reader now.
    CScanController scan(
        [this](int nProgress, int nPercent, int nSecondsLeft, u64 cur, u64 total, u64 found) {
            ScanCallBack(this, nProgress, nPercent, nSecondsLeft, cur, total, found, nullptr);
        },
        [this] { return m_bCancelScan.load(); });
    const ScanTarget target{device, true, m_partitionItem.nDiskNumber, start, count};
    if (scan.Open(target, ScanMode::Full, false) != 0) {
        FrLog("no engine for the partition\n");
        return -1;
    }
    const int rc = scan.Run();
    m_ScanReport = scan.Report();
    for (const std::string& note : m_ScanReport.notes) FrLog("%s\n", note.c_str());
    m_pFileRecovery = scan.TakeEngine().release();
    return rc;
}

void CJobController::_SearchProcess(void* pParam, int&) {
    auto* w = static_cast<CJobController*>(pParam);
    w->m_vecSearchResult.clear();
    if (w->m_pFileRecovery && !w->m_strSearchPattern.empty()) {
        w->m_pFileRecovery->InitSearchCallBack(SearchCallBack, w);
        std::wstring pattern = w->m_strSearchPattern;
        w->m_pFileRecovery->SearchFileNode(pattern.data(), w->m_vecSearchResult);
    }
    w->m_bSearchDone = true;
    SearchCallBack(w, 100, nullptr);
}

// ---------------------------------------------------------------------------
// Preview

void CJobController::Preview(const _FILE_NODE_& node) {
    m_previewNode = node;
    m_strPreviewFileName = NodeName(m_previewNode);
    SCANUI dialog(m_pWindow);
    dialog.InitSlot(this, 3);
    RunJob(_PreviewProcess, &dialog);
}

void CJobController::_PreviewProcess(void* pParam, int&) {
    auto* w = static_cast<CJobController*>(pParam);
    w->m_szPreviewPath.fill(0);
    w->m_nPreviewLen = kPreviewBufSize;
    if (w->m_pFileRecovery)
        w->m_pFileRecovery->PreView(&w->m_previewNode, w->m_szPreviewPath.data(), w->m_pPreviewBuf.data(),
                                    w->m_nPreviewLen, PreViewCallBack, w);
    else
        w->m_nPreviewLen = 0;
    w->m_nPreviewLen = std::clamp(w->m_nPreviewLen, 0, kPreviewBufSize);
    w->m_szPreviewPath.back() = 0;
    w->m_bPreviewDone = true;
}

// ---------------------------------------------------------------------------
// Recovery

void CJobController::Recover(const RecoveryMap& files, const QString& strDir) {
    m_mapRecoveryFile = files;
    m_strSaveDir = strDir;
    SCANUI dialog(m_pWindow);
    dialog.SetSaveDir(strDir);
    dialog.InitSlot(this, 4);
    FrLog("_RecoveryProcess Start\n");
    RunJob(_RecoveryProcess, &dialog);
}

void CJobController::_RecoveryProcess(void* pParam, int&) {
    auto* w = static_cast<CJobController*>(pParam);
    w->RecoveryProcess();
    w->m_bRecoveryDone = true;
}

void CJobController::FinishFile(const std::wstring& wstrPath, int nResult) {
    if (m_bCancelRecovery) return;
    emit RecoveryCallBack(100, 100, nResult, QString::fromStdString(WideToUtf8(wstrPath)));
}

void CJobController::RecoveryProcess() {
    std::string dest = m_strSaveDir.toStdString();
    while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
    const std::string base = dest == "/" ? std::string() : dest;
    int nDirIndex = 0;
    GetPathDirIndex(Utf8ToWide(dest).c_str(), nDirIndex);
    if (m_pFileRecovery) m_pFileRecovery->InitCallBack(ScanCallBack, RecoveryCallBack, this, 100);
    bool cancelled = false;
    bool full = false;
    for (const auto& entry : m_mapRecoveryFile) {
        if (m_bCancelRecovery || !m_pFileRecovery) {
            cancelled = m_bCancelRecovery;
            break;
        }
        _FILE_NODE_ node = entry.second;
        m_nFileError = 0;
        m_bFileReported = false;
        m_nLastFileStep = -1;
        // Flat into the category folder, under a name that is one safe path
        // component and does not replace anything already there.
        const std::string dir = base + "/" + GetCategoryFolderName(node.szFileName);
        const std::string_view rawName(node.szFileName, strnlen(node.szFileName, sizeof node.szFileName));
        std::string target = dir + "/" + SanitizeFileName(rawName);
        if (target.size() > kMaxTargetBytes) {
            FinishFile(Utf8ToWide(target), ENAMETOOLONG);
            continue;
        }
        // An existing folder is fine; anything else in its place makes the
        // engine's file creation fail, and the file is listed as failed.
        if (int err = CreateOutputDir(dir); err != 0 && err != EEXIST) {
            FinishFile(Utf8ToWide(target), err);
            continue;
        }
        if (int err = MakeOutputPath(dir, rawName, target); err != 0 || target.size() > kMaxTargetBytes) {
            FinishFile(Utf8ToWide(dir + "/" + SanitizeFileName(rawName)), err ? err : ENAMETOOLONG);
            continue;
        }
        std::wstring real = Utf8ToWide(target);
        const int rc = m_pFileRecovery->SaveFileData(&node, real.data(), nDirIndex);
        const int err = rc != 0 ? rc : m_nFileError;
        if (rc == FR_RECOVERY_CANCELLED || err == ENOSPC) {
            // A file cut short (cancelled, or the destination is full) is not
            // left behind as if it were whole; the complete ones stay and
            // nothing more is tried.
            struct stat st;
            if (lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(target.c_str());
            if (rc == FR_RECOVERY_CANCELLED) {
                cancelled = true;
                break;
            }
            FinishFile(real, ENOSPC);
            full = true;
            break;
        }
        FinishFile(real, err);
    }
    if (!cancelled) RecoveryCallBack(this, 100, 1000, full ? ENOSPC : 0, nullptr);
}
