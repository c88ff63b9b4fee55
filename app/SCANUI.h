// The progress dialog of a job, the recovery detail list and the
// application's own question box.
#pragma once

#include <QtCore/QPoint>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtWidgets/QDialog>

class CJobController;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;

// Frameless windows: a left-button press remembers where the window was
// grabbed and a right-button press closes it; moving with the left button
// held moves it.
void DragPress(QWidget* pWindow, QMouseEvent* event, QPoint& ptDrag);
void DragMove(QWidget* pWindow, QMouseEvent* event, const QPoint& ptDrag);

// A frameless dialog that follows a left-button drag and closes on a right click.
class CDragDialog : public QDialog {
    Q_OBJECT
public:
    explicit CDragDialog(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPoint m_ptDrag;
};

// Per-file outcome of a recovery: failures on top in red, successes below.
class CDetail : public CDragDialog {
    Q_OBJECT
public:
    explicit CDetail(QWidget* parent = nullptr);
    // strReason: why a failed file failed (shown as the status tip).
    void AddTableItem(const QString& strPath, int bFailed, const QString& strReason = QString());
    int SuccessCount() const { return m_nSuccessCount; }
    int FailedCount() const { return m_nFailedCount; }
    QTableWidget* Table() const { return m_pTable; }
    QLabel* SummaryLabel() const { return m_pSummary; }

public slots:
    void btnSlot();

private:
    int m_nSuccessCount = 0;
    int m_nFailedCount = 0;
    QLabel* m_pSummary = nullptr;
    QTableWidget* m_pTable = nullptr;
};

// Yes/No question (or a message with one OK button); the result is 1 for
// Yes or OK, 0 for No and for any other way of closing it.
class CMessageBox : public CDragDialog {
    Q_OBJECT
public:
    explicit CMessageBox(QWidget* parent = nullptr);
    void InitQuestionDialog(const QString& strText, bool bExtraButton);
    void InitMessageDialog(const QString& strText);
    int GetMessageBoxRet() const { return m_nRet; }
    QLabel* TextLabel() const { return m_pText; }

public slots:
    void btnSlotOK();
    void btnSlotNO();

private:
    void Build(const QString& strTitle, const QString& strText, const char* szIcon, bool bQuestion);
    int m_nRet = 0;
    QLabel* m_pText = nullptr;
};

// Modal progress of one job: 1 scan, 2 search, 3 preview, 4 recovery.
class SCANUI : public CDragDialog {
    Q_OBJECT
public:
    explicit SCANUI(QWidget* parent = nullptr);
    void InitSlot(CJobController* pJobs, int nOprType);
    void SetSaveDir(const QString& strDir) { m_strSaveDir = strDir; }

    int OprType() const { return m_nOprType; }
    bool IsFinished() const { return m_bIsFinished; }
    bool WasCancelled() const { return m_bCancelled; }
    QProgressBar* ProgressBar() const { return m_progressBar; }
    QLabel* StatusLabel() const { return m_pStatus; }
    QLabel* TitleLabel() const { return m_pTitle; }
    QPushButton* CancelButton() const { return m_pBtnCancel; }
    QPushButton* DetailButton() const { return m_pBtnDetail; }
    QPushButton* OpenFolderButton() const { return m_pBtnOpenFolder; }
    CDetail* Detail() const { return m_pDetail; }
    // The cancel question while it is on screen.
    CMessageBox* Question() const { return m_pQuestion; }

public slots:
    void ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                                 QString u64SectorCountStr, QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
    void SearchCallBackSlot(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackSlot(int nProgress, int nRet);
    // The worker thread has ended: a job that ended without its completion
    // report (an unreadable device, an engine error) closes all the same.
    void JobEndedSlot();
    void btnSlot();
    void btnDetail();
    void btnOpenFolder();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void InitDialog();
    void Finish();
    bool JobDone() const;
    void WaitForWorker();

    CJobController* m_pJobs = nullptr;
    int m_nOprType = 0;
    bool m_bIsFinished = false;
    bool m_bCancelling = false;
    bool m_bCancelled = false;
    QString m_strSaveDir;
    QLabel* m_pTitle = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_pStatus = nullptr;
    QPushButton* m_pBtnCancel = nullptr;
    QPushButton* m_pBtnDetail = nullptr;
    QPushButton* m_pBtnOpenFolder = nullptr;
    CDetail* m_pDetail = nullptr;
    QPointer<CMessageBox> m_pQuestion;
    QTimer* m_pWaitTimer = nullptr;
};
