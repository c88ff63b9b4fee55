// The main window: a frameless, fixed-size window with three pages in a
// stacked layout (categories, devices, results).
#pragma once

#include <QtCore/QPoint>
#include <QtWidgets/QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "JobController.h"
#include "ResultBrowser.h"
#include "core/IFileRecoveryParse.h"
#include "core/Records.h"

class QCheckBox;
class QHBoxLayout;
class QImage;
class QListWidgetItem;
class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;
class CThumbnailLoader;
class QTableWidget;
class SCANUI;
class QPushButton;
class QStackedLayout;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

class DRUI : public QWidget {
    Q_OBJECT
public:
    explicit DRUI(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~DRUI() override;

    // Builds pages 1 and 2, creates the data directories and the preview
    // buffers, and shows page 1.
    void Init();
    QTreeWidget* CreateDiskTree();
    QPushButton* CreateButton(int nIndex, int nPos, QWidget* parent);

    // Adds an image file to the device tree as a disk of its own (with its
    // partitions, or the whole image as one volume when it has no table)
    // and makes its first volume current. False when it cannot be read.
    bool AddImageDisk(const QString& strPath);

    // Widgets and state, for the pages and jobs that build on this window.
    QStackedLayout* StackedLayout() const { return m_pStackedLayout; }
    QWidget* Page1() const { return m_pPage1; }
    QWidget* Page2() const { return m_pPage2; }
    QTreeWidget* DiskTree() const { return m_pDiskTree; }
    QPushButton* StartButton() const { return m_pBtnStart; }
    QPushButton* ScanButton() const { return m_pBtnScan; }
    QPushButton* BackButton() const { return m_pBtnBack; }
    QPushButton* OpenImageButton() const { return m_pBtnOpenImage; }
    QCheckBox* PhotoBox() const { return m_pCheckPhoto; }
    QCheckBox* MusicBox() const { return m_pCheckMusic; }
    QCheckBox* VideoBox() const { return m_pCheckVideo; }
    QCheckBox* OfficeBox() const { return m_pCheckOffice; }
    QCheckBox* ArchiveBox() const { return m_pCheckArchive; }
    QCheckBox* OtherBox() const { return m_pCheckOther; }
    QCheckBox* RecoverAllBox() const { return m_pCheckAll; }
    const _PARTITION_ITEM_& PartitionItem() const { return m_partitionItem; }

    // The results page and its widgets (null until the first scan).
    QWidget* Page3() const { return m_pPage3; }
    QTreeWidget* ResultTree() const { return m_pBrowser->Tree(); }
    QTableWidget* FileTable() const { return m_pBrowser->Table(); }
    QLabel* PreviewLabel() const { return m_pBrowser->PreviewLabel(); }
    QLabel* SummaryLabel() const { return m_pBrowser->SummaryLabel(); }
    QLabel* FoundLabel() const { return m_pFoundLabel; }
    QPushButton* RecoverButton() const { return m_pBtnRecover; }
    QLineEdit* FilterBox() const { return m_pBrowser->FilterBox(); }
    QListWidget* ThumbnailView() const { return m_pBrowser->ThumbnailView(); }
    QPushButton* ThumbnailButton() const { return m_pBrowser->ThumbnailButton(); }
    QPushButton* ListButton() const { return m_pBrowser->ListButton(); }
    CThumbnailLoader* Thumbnails() const { return m_pBrowser->Thumbnails(); }
    const std::vector<__SEARCH_FILE_INFO__>& SearchResult() const { return m_pJobs->SearchResult(); }
    // Files chosen for recovery, by engine, store index and first cluster
    // (store indexes of different engines may coincide).
    using RecoveryKey = CJobController::RecoveryKey;
    const std::map<RecoveryKey, _FILE_NODE_>& RecoveryFiles() const { return m_pBrowser->RecoveryFiles(); }
    IFileRecoveryParse* Engine() const { return m_pJobs->Engine(); }
    // How the last scan ended, and why it could not start (empty when it could).
    const ScanReport& LastScanReport() const { return m_pJobs->LastScanReport(); }
    const std::string& ScanProblem() const { return m_pJobs->ScanProblem(); }
    bool ScanCancelRequested() const { return m_pJobs->ScanCancelRequested(); }

    // How the scan job gets its engine (the engine factory unless replaced).
    using EngineMaker = CJobController::EngineMaker;
    void SetEngineMaker(EngineMaker maker) { m_pJobs->SetEngineMaker(std::move(maker)); }
    // Called with each progress dialog right after it is set up (tests and
    // the screenshot tour drive the modal dialogs through it).
    void SetDialogHook(std::function<void(SCANUI*)> hook) { m_pJobs->SetDialogHook(std::move(hook)); }
    // The jobs and the results page's browser.
    CJobController* Jobs() const { return m_pJobs; }
    CResultBrowser* Browser() const { return m_pBrowser; }

signals:
    // The chosen partition is in PartitionItem(); the scan job takes it from here.
    void ScanRequested();

    // Engine reports, passed on from the jobs on the worker thread.
    void ScanProcessCallBack(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                             QString u64SectorCountStr, QString u64FindFileCountStr, QString pRecoveryFileName);
    void RecoveryCallBack(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
    void SearchCallBack(int nProgress, QString pRecoveryFileName);
    void PreViewCallBackForSlot(int nProgress, int nRet);

public slots:
    void btnMinSlot();
    void btnCloseSlot();
    void btnSlot();
    void btnSlotBack();
    void btnSlotScan();
    void btnHelpSlot();
    void btnSupportSlot();
    void btnAboutSlot();
    void btnOpenUrl(QString url);
    void btnOpenImageSlot();
    void CheckBoxStatChange(int nStat);
    void CheckBoxAllStatChange(int nStat);
    void diskItemClick(QTreeWidgetItem* item, int column);
    void diskItemDoubleClick(QTreeWidgetItem* item, int column);
    void btnRecovery();
    void treeItemClick(QTreeWidgetItem* item, int column);
    void treeItemSelectChanged();
    void tableItemPress(int nRow, int nColumn);
    void tableItemSelectChanged();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* CreateTitleBar(const char* szTitle);
    QWidget* CreateFooter();
    QWidget* CreateSeparator(int nHeight);
    // A page: title bar and separator; the information band below them
    // (returns its layout for more widgets); "Back" and one more button
    // above the footer.
    QVBoxLayout* CreatePageLayout(QWidget* pPage, const char* szTitle);
    QHBoxLayout* AddInfoBand(QVBoxLayout* pPage, const char* szIcon, QLabel* pText);
    void AddButtonBar(QVBoxLayout* pPage, QPushButton* pBack, QPushButton* pNext);
    QWidget* CreateCategoryTile(const char* szIcon, const char* szCaption, const char* szStyle, QCheckBox* pBox);
    QCheckBox* CreateCategoryBox(const char* szName, bool bVisible);
    void InitLayout1Widget();
    void InitLayout2Widget();
    QTreeWidgetItem* AddDiskItem(int nDiskNumber, const QString& strText);
    QTreeWidgetItem* AddPartitionItem(QTreeWidgetItem* pDisk, const _PARTITION_ITEM_& part);
    void DeleteEngine();

    std::wstring BuildSearchPattern() const;
    void StartPreview(const QVariant& record);
    // The results page.
    void InitLayout3Widget();

    QStackedLayout* m_pStackedLayout = nullptr;
    QWidget* m_pPage1 = nullptr;
    QWidget* m_pPage2 = nullptr;
    QWidget* m_pPage3 = nullptr;
    QTreeWidget* m_pDiskTree = nullptr;
    QPushButton* m_pBtnStart = nullptr;
    QPushButton* m_pBtnScan = nullptr;
    QPushButton* m_pBtnBack = nullptr;
    QPushButton* m_pBtnRecover = nullptr;
    QPushButton* m_pBtnOpenImage = nullptr;
    QCheckBox* m_pCheckPhoto = nullptr;
    QCheckBox* m_pCheckMusic = nullptr;
    QCheckBox* m_pCheckVideo = nullptr;
    QCheckBox* m_pCheckOffice = nullptr;
    QCheckBox* m_pCheckArchive = nullptr;
    QCheckBox* m_pCheckOther = nullptr;
    QCheckBox* m_pCheckAll = nullptr;
    unsigned char m_bPartCheck = 0;
    QPoint m_ptDrag;
    int m_nPhysicalDisks = 0;

    _PARTITION_ITEM_ m_partitionItem{};
    QLabel* m_pFoundLabel = nullptr;
    CJobController* m_pJobs = nullptr;
    CResultBrowser* m_pBrowser = nullptr;
};
