// The job driver of the main window: the scan, listing, preview and
// recovery jobs, each on a worker thread behind a modal progress dialog,
// and the adapters that turn engine reports into queued signals.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtGui/QImageReader>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QTreeWidget>

#include "DRUI.h"
#include "MyThread.h"
#include "SCANUI.h"
#include "Styles.h"
#include "ThumbnailLoader.h"
#include "core/Categories.h"
#include "core/FileOutput.h"
#include "scan/FileRecoveryFactory.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace {

constexpr int kPreviewWidth = 700;
constexpr int kPreviewHeight = 200;
// Longest target path handed to an engine, in bytes.
constexpr size_t kMaxTargetBytes = 511;

QString NodeName(const _FILE_NODE_& node) {
    return QString::fromUtf8(node.szFileName, static_cast<int>(strnlen(node.szFileName, sizeof node.szFileName)));
}

}  // namespace

std::string RenderPreviewText(const unsigned char* pData, int nLen) {
    std::string text;
    if (!pData || nLen <= 0) return text;
    text.reserve(static_cast<size_t>(nLen) + static_cast<size_t>(nLen) / 128 + 2);
    for (int i = 0; i < nLen; ++i) {
        text += pData[i] ? static_cast<char>(pData[i]) : '.';
        if ((i + 1) % 256 == 0) text += "\r\n";
    }
    if (nLen % 256 != 0) text += "\r\n";
    return text;
}

// ---------------------------------------------------------------------------
// Running a job

void DRUI::RunJob(JobFunc pFunc, SCANUI* pDialog) {
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

int DRUI::ScanCallBack(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                       u64 u64SectorCount, u64 u64FindFileCount, wchar_t* pRecoveryFileName) {
    auto* w = static_cast<DRUI*>(pParam);
    if (w->m_bCancelScan) return 1;
    const bool bNewPhase = nPercent != w->m_nReportPhase;
    w->m_nReportPhase = nPercent;
    if (!w->m_reportThrottle.Due(bNewPhase || static_cast<long long>(nProgress) * nPercent >= 10000)) return 0;
    emit w->ScanProcessCallBack(nProgress, nPercent, nRemaindSecond, QString::number(u64CurSector),
                                QString::number(u64SectorCount), QString::number(u64FindFileCount),
                                pRecoveryFileName ? QString::fromStdString(WideToUtf8(pRecoveryFileName)) : QString());
    return 0;
}

int DRUI::RecoveryCallBack(void* pParam, int nProgress, int nPercent, int nErrorCode, wchar_t* pRecoveryFileName) {
    auto* w = static_cast<DRUI*>(pParam);
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

int DRUI::SearchCallBack(void* pParam, int nProgress, wchar_t*) {
    auto* w = static_cast<DRUI*>(pParam);
    if (w->m_bCancelSearch) return 1;
    if (w->m_reportThrottle.Due(nProgress >= 100)) emit w->SearchCallBack(nProgress, QString());
    return 0;
}

int DRUI::PreViewCallBack(void* pParam, int nProgress, int nRet) {
    auto* w = static_cast<DRUI*>(pParam);
    if (w->m_bCancelPreview) return 1;
    if (w->m_reportThrottle.Due(nProgress >= 100)) emit w->PreViewCallBackForSlot(nProgress, nRet);
    return 0;
}

// ---------------------------------------------------------------------------
// Scan and listing

void DRUI::btnSlotScan() {
    QTreeWidgetItem* item = m_pDiskTree ? m_pDiskTree->currentItem() : nullptr;
    const QVariant data = item ? item->data(0, Qt::UserRole) : QVariant();
    m_partitionItem = data.metaType() == QMetaType::fromType<_PARTITION_ITEM_>() ? data.value<_PARTITION_ITEM_>()
                                                                                : _PARTITION_ITEM_{};
    emit ScanRequested();
    if (m_bJobRunning) return;
    // The jobs below have the engine to themselves.
    const CThumbnailLoader::PauseGuard pause(*m_pThumbs);
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, 1);
        dialog.move(pos() + QPoint(width() / 4, height() / 4));
        RunJob(_ScanProcess, &dialog);
    }
    FrLog("_ScanProcess end\n");
    // The categories are read here, on the window's thread.
    m_strSearchPattern = BuildSearchPattern();
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, 2);
        FrLog("_SearchProcess Start\n");
        RunJob(_SearchProcess, &dialog);
        FrLog("_SearchProcess end\n");
    }
    InitLayout3Widget();
}

std::wstring DRUI::BuildSearchPattern() const {
    const bool wanted[6] = {m_pCheckPhoto->isChecked(),   m_pCheckMusic->isChecked(), m_pCheckOffice->isChecked(),
                            m_pCheckVideo->isChecked(),   m_pCheckArchive->isChecked(),
                            m_pCheckOther->isChecked()};
    return GetSearchPattern(wanted);
}

void DRUI::_ScanProcess(void* pParam, int& nProcess) {
    auto* w = static_cast<DRUI*>(pParam);
    w->Scan(nullptr, nProcess);
    w->m_bScanDone = true;
}

int DRUI::Scan(wchar_t*, int&) {
    DeleteEngine();
    FrLog("m_partitionItem.u64StartSector = %lld\n", static_cast<long long>(m_partitionItem.u64StartSector));
    // Every scan starts afresh in a new numbered log directory.
    CLogFileManager& logs = CLogFileManager::GetInstance();
    logs.Init();
    logs.AddDirIndex();
    if (m_engineMaker) {
        m_pFileRecovery = m_engineMaker(m_partitionItem);
    } else {
        const u64 start = m_partitionItem.u64StartSector;
        const u64 count = m_partitionItem.u64EndSector >= start ? m_partitionItem.u64EndSector + 1 - start : 0;
        m_pFileRecovery = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            m_partitionItem.nDiskNumber, static_cast<long long>(start), static_cast<long long>(count), L'C',
            RECOVERY_PROFESSIONAL);
    }
    if (!m_pFileRecovery) {
        FrLog("no engine for the partition\n");
        return -1;
    }
    m_pFileRecovery->InitCallBack(ScanCallBack, RecoveryCallBack, this, 100);
    return m_pFileRecovery->ScanDevice(nullptr);
}

void DRUI::_SearchProcess(void* pParam, int&) {
    auto* w = static_cast<DRUI*>(pParam);
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

void DRUI::StartPreview(const QVariant& record) {
    if (m_bJobRunning || !m_pFileRecovery) return;
    m_previewNode = record.metaType() == QMetaType::fromType<_FILE_NODE_>() ? record.value<_FILE_NODE_>() : _FILE_NODE_{};
    m_strPreviewFileName = NodeName(m_previewNode);
    // Until the preview is shown: the thumbnails use the same temporary file.
    const CThumbnailLoader::PauseGuard pause(*m_pThumbs);
    {
        SCANUI dialog(this);
        dialog.InitSlot(this, 3);
        RunJob(_PreviewProcess, &dialog);
    }
    ShowPreview();
}

void DRUI::_PreviewProcess(void* pParam, int&) {
    auto* w = static_cast<DRUI*>(pParam);
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

void DRUI::ShowPreviewText(const unsigned char* pData, int nLen) {
    m_pPreviewLabel->setFont(QFont(kFontFamily, 11));
    m_pPreviewLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPreviewLabel->setText(QString::fromUtf8(RenderPreviewText(pData, nLen)));
}

void DRUI::ShowPreview() {
    if (!m_pPreviewLabel) return;
    if (m_szPreviewPath[0] == 0) {
        ShowPreviewText(m_pPreviewBuf.data(), m_nPreviewLen);
        return;
    }
    const QString path = QString::fromStdString(WideToUtf8(m_szPreviewPath.data()));
    if (!QFileInfo::exists(path)) return;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull()) {
        // Not a picture Qt can decode: its first bytes, as a buffer preview shows them.
        QFile f(path);
        QByteArray head;
        if (f.open(QIODevice::ReadOnly)) head = f.read(kPreviewBufSize);
        ShowPreviewText(reinterpret_cast<const unsigned char*>(head.constData()), static_cast<int>(head.size()));
        return;
    }
    QPixmap pix = QPixmap::fromImage(image);
    // Larger pictures shrink to the preview area, keeping their shape.
    if (pix.width() > kPreviewWidth || pix.height() > kPreviewHeight)
        pix = pix.scaled(kPreviewWidth, kPreviewHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_pPreviewLabel->setAlignment(Qt::AlignCenter);
    m_pPreviewLabel->setPixmap(pix);
}

// ---------------------------------------------------------------------------
// Recovery

void DRUI::btnRecovery() {
    if (m_bJobRunning || m_mapRecoveryFile.empty() || !m_pFileRecovery) return;
    m_strSaveDir = "/";
    const QString dir = QFileDialog::getExistingDirectory(
        this, QString(), m_strSaveDir,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (dir.isEmpty()) return;
    m_strSaveDir = dir;
    // Never write onto the device being recovered: that would overwrite
    // the very sectors the lost files live in.
    const std::string source = GetDiskDevicePath(m_partitionItem.nDiskNumber);
    const u64 start = m_partitionItem.u64StartSector;
    const u64 count = m_partitionItem.u64EndSector >= start ? m_partitionItem.u64EndSector + 1 - start : 0;
    if (!source.empty() && IsPathOnDevice(dir.toStdString(), source, start, count)) {
        CMessageBox box(this);
        box.InitMessageDialog(QString("The folder %1 is on the disk being recovered. Writing there could overwrite "
                                      "the files you want back.\nPlease choose a folder on another disk.")
                                  .arg(dir));
        box.exec();
        return;
    }
    const CThumbnailLoader::PauseGuard pause(*m_pThumbs);
    SCANUI dialog(this);
    dialog.SetSaveDir(dir);
    dialog.InitSlot(this, 4);
    FrLog("_RecoveryProcess Start\n");
    RunJob(_RecoveryProcess, &dialog);
}

void DRUI::_RecoveryProcess(void* pParam, int&) {
    auto* w = static_cast<DRUI*>(pParam);
    w->RecoveryProcess();
    w->m_bRecoveryDone = true;
}

void DRUI::FinishFile(const std::wstring& wstrPath, int nResult) {
    if (m_bCancelRecovery) return;
    emit RecoveryCallBack(100, 100, nResult, QString::fromStdString(WideToUtf8(wstrPath)));
}

void DRUI::RecoveryProcess() {
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
