#include "SCANUI.h"

#include <cerrno>

#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QCloseEvent>
#include <QtGui/QDesktopServices>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>

#include "JobController.h"
#include "Styles.h"
#include "core/TextHelpers.h"

namespace {

QFont DialogFont(int nPointSize, bool bBold = false) {
    QFont f(kFontFamily, nPointSize);
    f.setBold(bBold);
    return f;
}

QLabel* Band(const QString& strText, int nPointSize, int nMinHeight) {
    auto* band = new QLabel(strText);
    band->setStyleSheet(QString(backGroud_style) + " color: white;");
    band->setFont(DialogFont(nPointSize));
    band->setMinimumHeight(nMinHeight);
    return band;
}

QPushButton* DialogButton(const QString& strText, int nWidth = 110) {
    auto* b = new QPushButton(strText);
    b->setFlat(true);
    b->setStyleSheet(main_button_style);
    b->setFont(DialogFont(11));
    b->setCursor(Qt::PointingHandCursor);
    b->setFixedSize(nWidth, 34);
    return b;
}

}  // namespace

// ---------------------------------------------------------------------------

CDragDialog::CDragDialog(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle("Fotoretta");
    setStyleSheet(QString("QDialog{%1 border: 1px solid rgb(85, 107, 47);}").arg(window_style));
}

void DragPress(QWidget* pWindow, QMouseEvent* event, QPoint& ptDrag) {
    if (event->button() == Qt::LeftButton) {
        ptDrag = event->globalPosition().toPoint() - pWindow->frameGeometry().topLeft();
        event->accept();
    } else if (event->button() == Qt::RightButton) {
        pWindow->close();
    }
}

void DragMove(QWidget* pWindow, QMouseEvent* event, const QPoint& ptDrag) {
    if (event->buttons() == Qt::LeftButton) {
        pWindow->move(event->globalPosition().toPoint() - ptDrag);
        event->accept();
    }
}

void CDragDialog::mousePressEvent(QMouseEvent* event) { DragPress(this, event, m_ptDrag); }

void CDragDialog::mouseMoveEvent(QMouseEvent* event) { DragMove(this, event, m_ptDrag); }

void CDragDialog::keyPressEvent(QKeyEvent* event) {
    // Escape goes the way of every other close, through closeEvent.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---------------------------------------------------------------------------

CDetail::CDetail(QWidget* parent) : CDragDialog(parent) {
    setFixedSize(600, 400);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_pSummary = Band(QString(), 11, 60);
    layout->addWidget(m_pSummary);
    m_pTable = new QTableWidget(0, 2);
    m_pTable->setHorizontalHeaderLabels({"Name", "Status"});
    m_pTable->setColumnWidth(0, 460);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->verticalHeader()->hide();
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(m_pTable, 1);
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(10, 8, 10, 8);
    bar->addStretch(1);
    QPushButton* ok = DialogButton("OK");
    connect(ok, &QPushButton::clicked, this, &CDetail::btnSlot);
    bar->addWidget(ok);
    layout->addLayout(bar);
    AddTableItem(QString(), -1);  // the summary with both counts at 0
}

void CDetail::AddTableItem(const QString& strPath, int bFailed, const QString& strReason) {
    if (bFailed >= 0) {
        int row;
        auto* status = new QTableWidgetItem(bFailed ? "Failed" : "Success");
        if (bFailed) {
            // Failures collect on top, the most recent first.
            row = 0;
            m_pTable->insertRow(0);
            status->setForeground(QColor(255, 0, 0));
            status->setToolTip(strReason);
            ++m_nFailedCount;
        } else {
            row = m_pTable->rowCount();
            m_pTable->insertRow(row);
            ++m_nSuccessCount;
        }
        m_pTable->setItem(row, 0, new QTableWidgetItem(strPath));
        m_pTable->setItem(row, 1, status);
        m_pTable->setRowHeight(row, 22);
    }
    m_pSummary->setText(QString("  Recovery Detail\n  Success:%1 Failed:%2\n").arg(m_nSuccessCount).arg(m_nFailedCount));
}

void CDetail::btnSlot() { close(); }

// ---------------------------------------------------------------------------

CMessageBox::CMessageBox(QWidget* parent) : CDragDialog(parent) { setFixedSize(400, 150); }

void CMessageBox::Build(const QString& strTitle, const QString& strText, const char* szIcon, bool bQuestion) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Band(strTitle, 12, 30));
    auto* body = new QHBoxLayout;
    body->setContentsMargins(16, 8, 16, 8);
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(szIcon).scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    body->addWidget(icon);
    m_pText = new QLabel(strText);
    m_pText->setFont(DialogFont(12));
    m_pText->setWordWrap(true);
    m_pText->setTextFormat(Qt::PlainText);
    body->addWidget(m_pText, 1);
    layout->addLayout(body, 1);
    auto* barFrame = new QFrame;
    barFrame->setStyleSheet("background-color: rgb(220, 220, 220);");
    auto* bar = new QHBoxLayout(barFrame);
    bar->setContentsMargins(10, 6, 10, 6);
    bar->addStretch(1);
    if (bQuestion) {
        QPushButton* no = DialogButton("No", 90);
        QPushButton* yes = DialogButton("Yes", 90);
        connect(no, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
        connect(yes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        bar->addWidget(no);
        bar->addWidget(yes);
    } else {
        QPushButton* ok = DialogButton("OK", 90);
        connect(ok, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
        bar->addWidget(ok);
    }
    layout->addWidget(barFrame);
}

void CMessageBox::InitQuestionDialog(const QString& strText, bool /*bExtraButton*/) {
    Build("  Question", strText, ":/image/question.png", true);
}

void CMessageBox::InitMessageDialog(const QString& strText) {
    setFixedSize(460, 190);
    Build("  Fotoretta", strText, ":/image/question.png", false);
}

void CMessageBox::btnSlotOK() {
    m_nRet = 1;
    close();
}

void CMessageBox::btnSlotNO() {
    m_nRet = 0;
    close();
}

// ---------------------------------------------------------------------------

SCANUI::SCANUI(QWidget* parent) : CDragDialog(parent) {
    setFixedSize(500, 250);
    setModal(true);
    m_pDetail = new CDetail(this);
    m_pWaitTimer = new QTimer(this);
    m_pWaitTimer->setInterval(100);
    connect(m_pWaitTimer, &QTimer::timeout, this, &SCANUI::WaitForWorker);
}

void SCANUI::InitSlot(CJobController* pJobs, int nOprType) {
    m_pJobs = pJobs;
    m_nOprType = nOprType;
    InitDialog();
    m_progressBar->setValue(0);
    m_pStatus->setText(nOprType == 1 ? "  Current Process: 0%\n  Estimated Time Left: 0 seconds\n" : "");
    connect(pJobs, &CJobController::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot, Qt::QueuedConnection);
    connect(pJobs, qOverload<int, int, int, QString>(&CJobController::RecoveryCallBack), this,
            &SCANUI::RecoveryCallBackSlot, Qt::QueuedConnection);
    connect(pJobs, qOverload<int, QString>(&CJobController::SearchCallBack), this, &SCANUI::SearchCallBackSlot,
            Qt::QueuedConnection);
    connect(pJobs, &CJobController::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot, Qt::QueuedConnection);
}

void SCANUI::InitDialog() {
    m_bIsFinished = false;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    QString title;
    switch (m_nOprType) {
        case 1: title = "  Scan File\n  scanning drive for deleted files"; break;
        case 2: title = "  Search File\n  searching drive for deleted files"; break;
        case 3: title = QString("  Preview File\n  %1\n").arg(m_pJobs->m_strPreviewFileName); break;
        default: title = "  Recovery File\n"; break;
    }
    m_pTitle = Band(title, 11, 70);
    m_pTitle->setTextFormat(Qt::PlainText);
    layout->addWidget(m_pTitle);

    m_progressBar = new QProgressBar;
    m_progressBar->setObjectName("progressBar");
    m_progressBar->setRange(0, 100);
    m_progressBar->setTextVisible(false);
    auto* barRow = new QHBoxLayout;
    barRow->setContentsMargins(16, 4, 16, 0);
    barRow->addWidget(m_progressBar);
    layout->addLayout(barRow);

    m_pStatus = new QLabel;
    m_pStatus->setFont(DialogFont(11));
    m_pStatus->setStyleSheet("color: black;");
    m_pStatus->setMinimumHeight(80);
    m_pStatus->setTextFormat(Qt::PlainText);
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_pStatus, 1);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(16, 0, 16, 10);
    m_pBtnCancel = DialogButton("Cancel");
    connect(m_pBtnCancel, &QPushButton::clicked, this, &SCANUI::btnSlot);
    if (m_nOprType == 4) {
        m_pBtnDetail = DialogButton("Detail");
        m_pBtnOpenFolder = DialogButton("Open Folder");
        connect(m_pBtnDetail, &QPushButton::clicked, this, &SCANUI::btnDetail);
        connect(m_pBtnOpenFolder, &QPushButton::clicked, this, &SCANUI::btnOpenFolder);
        bar->addWidget(m_pBtnDetail);
        bar->addStretch(1);
        bar->addWidget(m_pBtnOpenFolder);
        bar->addStretch(1);
        bar->addWidget(m_pBtnCancel);
    } else {
        bar->addStretch(1);
        bar->addWidget(m_pBtnCancel);
        bar->addStretch(1);
    }
    layout->addLayout(bar);
}

void SCANUI::ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                                     QString u64SectorCountStr, QString u64FindFileCountStr, QString) {
    const long long product = static_cast<long long>(nProgress) * nPercent;
    const int overall = static_cast<int>(product / 100);
    m_progressBar->setValue(std::clamp(overall, 0, 100));
    QString time = "Estimated time is calculating";
    if (nPercent == 90 && nRemaindSecond != -1)
        time = "Estimated Time Left: " + QString::fromStdString(GetTimeString(nRemaindSecond));
    if (nPercent == 90)
        m_pStatus->setText(QString("  Current Process: %1%\n  Reading Sector: %2/%3\n  Total Files Found: %4\n  %5\n")
                               .arg(overall)
                               .arg(u64CurSectorStr, u64SectorCountStr, u64FindFileCountStr, time));
    else
        m_pStatus->setText(QString("  Current Process: %1%\n  %2\n").arg(overall).arg(time));
    if (product >= 10000 && product <= 10099) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::SearchCallBackSlot(int nProgress, QString) {
    m_progressBar->setValue(std::clamp(nProgress, 0, 100));
    m_pStatus->setText(QString("  Process: %1%\n  Searching drive for recovery files").arg(nProgress));
    if (nProgress == 100 && m_pJobs->m_bSearchDone) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::PreViewCallBackSlot(int nProgress, int) {
    m_progressBar->setValue(std::clamp(nProgress, 0, 100));
    m_pStatus->setText(QString("  Process: %1%\n  Previewing file:%2").arg(nProgress).arg(m_pJobs->m_strPreviewFileName));
    if (nProgress == 100) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName) {
    const long long value = static_cast<long long>(nProgress) * nPercent / 100;
    if (value >= 0 && value <= 100) m_progressBar->setValue(static_cast<int>(value));
    if (nPercent == 1000) {
        m_bIsFinished = true;
        m_pBtnCancel->setText("Finished");
        if (nErrorCode == ENOSPC)
            m_pStatus->setText(QString("  The destination is full: recovery stopped, %1 recovered.\n"
                                       "  The files recovered are complete; free some space or\n"
                                       "  choose another disk for the rest.")
                                   .arg(m_pDetail->SuccessCount()));
        else
            m_pStatus->setText(QString("  Process: 100%\n  Finished: %1 recovered, %2 failed")
                                   .arg(m_pDetail->SuccessCount())
                                   .arg(m_pDetail->FailedCount()));
        return;
    }
    if (nProgress == 100)
        m_pDetail->AddTableItem(pRecoveryFileName, nErrorCode != 0,
                                nErrorCode ? QString::fromStdString(EngineResultText(nErrorCode)) : QString());
    m_pStatus->setText(QString("  Process: %1%\n  Destination: %2").arg(value).arg(pRecoveryFileName));
}

bool SCANUI::JobDone() const {
    if (!m_pJobs) return true;
    switch (m_nOprType) {
        case 1: return m_pJobs->m_bScanDone;
        case 2: return m_pJobs->m_bSearchDone;
        case 3: return m_pJobs->m_bPreviewDone;
        default: return m_pJobs->m_bRecoveryDone;
    }
}

void SCANUI::Finish() {
    m_bIsFinished = true;
    if (m_pQuestion) m_pQuestion->close();
    close();
}

void SCANUI::JobEndedSlot() {
    if (m_bIsFinished || !isVisible()) return;
    if (m_nOprType == 4 && !m_bCancelling) {
        // A recovery always ends with its closing report; stay open with it.
        m_bIsFinished = true;
        m_pBtnCancel->setText("Finished");
        return;
    }
    if (m_bCancelling) m_progressBar->setValue(0);
    Finish();
}

void SCANUI::WaitForWorker() {
    if (!JobDone()) return;
    m_pWaitTimer->stop();
    m_progressBar->setValue(0);
    Finish();
}

void SCANUI::btnSlot() { close(); }

void SCANUI::btnDetail() {
    m_pDetail->move(pos());
    m_pDetail->setFixedSize(600, 400);
    m_pDetail->exec();
}

void SCANUI::btnOpenFolder() { QDesktopServices::openUrl(QUrl::fromLocalFile(m_strSaveDir)); }

void SCANUI::closeEvent(QCloseEvent* event) {
    if (m_bIsFinished) {
        event->accept();
        QDialog::closeEvent(event);
        return;
    }
    if (m_bCancelling || m_pQuestion) {
        event->ignore();
        return;
    }
    static const char* const kQuestions[] = {
        "Are you sure to cancel the scanning?", "Are you sure to cancel the searching?",
        "Are you sure to cancel the previewing?", "Are you sure to cancel the recovering?"};
    CMessageBox box(this);
    box.InitQuestionDialog(kQuestions[std::clamp(m_nOprType, 1, 4) - 1], false);
    box.move(pos() + QPoint(width() / 8, height() / 8));
    m_pQuestion = &box;
    box.exec();
    m_pQuestion = nullptr;
    if (m_bIsFinished) {  // the job completed while the question was open
        event->accept();
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    if (box.GetMessageBoxRet() != 1) return;  // No: the job goes on

    // Yes: ask the worker to stop and close once it has (the window keeps
    // painting meanwhile; the engine stops at its next report).
    m_bCancelling = true;
    m_bCancelled = true;
    if (m_pJobs) {
        switch (m_nOprType) {
            case 1: m_pJobs->m_bCancelScan = true; break;
            case 2: m_pJobs->m_bCancelSearch = true; break;
            case 3: m_pJobs->m_bCancelPreview = true; break;
            default: m_pJobs->m_bCancelRecovery = true; break;
        }
    }
    if (JobDone()) {
        m_progressBar->setValue(0);
        m_bIsFinished = true;
        event->accept();
        QDialog::closeEvent(event);
        return;
    }
    m_pBtnCancel->setEnabled(false);
    m_pStatus->setText("  Cancelling, please wait...");
    m_pWaitTimer->start();
}
