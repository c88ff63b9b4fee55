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

#include "core/IFileRecoveryParse.h"
#include "core/ProgressThrottle.h"
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

// Bytes of one in-memory preview.
inline constexpr int kPreviewBufSize = 10240;

// Icon resource name for a file extension.
QString GetExtendNameIcon(QString ext);

// The text rendering of an in-memory preview: zero bytes as '.', a line
// end after every 256 bytes and at the end.
std::string RenderPreviewText(const unsigned char* pData, int nLen);

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
    QTreeWidget* ResultTree() const { return m_pResultTree; }
    QTableWidget* FileTable() const { return m_pFileTable; }
    QLabel* PreviewLabel() const { return m_pPreviewLabel; }
    QLabel* SummaryLabel() const { return m_pSummaryLabel; }
    QLabel* FoundLabel() const { return m_pFoundLabel; }
    QPushButton* RecoverButton() const { return m_pBtnRecover; }
    QLineEdit* FilterBox() const { return m_pFilterBox; }
    QListWidget* ThumbnailView() const { return m_pThumbView; }
    QPushButton* ThumbnailButton() const { return m_pBtnThumbs; }
    QPushButton* ListButton() const { return m_pBtnList; }
    CThumbnailLoader* Thumbnails() const { return m_pThumbs; }
    const std::vector<__SEARCH_FILE_INFO__>& SearchResult() const { return m_vecSearchResult; }
    // Files chosen for recovery, by engine, store index and first cluster
    // (store indexes of different engines may coincide).
    using RecoveryKey = std::tuple<u32, u32, u32>;
    const std::map<RecoveryKey, _FILE_NODE_>& RecoveryFiles() const { return m_mapRecoveryFile; }
    IFileRecoveryParse* Engine() const { return m_pFileRecovery; }
    bool ScanCancelRequested() const { return m_bCancelScan; }

    // How the scan job gets its engine (the engine factory unless replaced).
    using EngineMaker = std::function<IFileRecoveryParse*(const _PARTITION_ITEM_&)>;
    void SetEngineMaker(EngineMaker maker) { m_engineMaker = std::move(maker); }
    // Called with each progress dialog right after it is set up (tests and
    // the screenshot tour drive the modal dialogs through it).
    void SetDialogHook(std::function<void(SCANUI*)> hook) { m_dialogHook = std::move(hook); }

signals:
    // The chosen partition is in PartitionItem(); the scan job takes it from here.
    void ScanRequested();

    // Engine reports, emitted on the worker thread (queued to the dialog).
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
    void SetButtonEnabled(QPushButton* pButton, bool bEnabled);
    QTreeWidgetItem* AddDiskItem(int nDiskNumber, const QString& strText);
    QTreeWidgetItem* AddPartitionItem(QTreeWidgetItem* pDisk, const _PARTITION_ITEM_& part);
    void DeleteEngine();

    // Jobs: each runs on a CMyThread while its progress dialog is modal.
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
    std::wstring BuildSearchPattern() const;
    void StartPreview(const QVariant& record);
    void ShowPreview();
    void ShowPreviewText(const unsigned char* pData, int nLen);

    // The results page.
    void InitLayout3Widget();
    QTreeWidget* CreateTree();
    QTableWidget* CreateTable();
    void UpdateTreeInfo(QTreeWidgetItem* item, int column);
    void SetTreeChildCheckState(QTreeWidgetItem* item, int nState);
    void SetTreeParentCheckState(QTreeWidgetItem* item);
    void ShowTreeFiles(QTreeWidgetItem* item);
    void RefreshSelection();
    // The files the current tree item stands for (an extension's, or all of
    // a category's), narrowed by the filter box.
    std::vector<const __SEARCH_FILE_INFO__*> ShownFiles() const;
    void ApplyFilter();
    void ShowThumbnails(bool bThumbnails);
    void RefreshThumbnails();
    void ThumbnailReady(int nGeneration, int nIndex, const QImage& image);
    void SelectFile(const __SEARCH_FILE_INFO__& info, bool bChosen);

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

    // Job state used by the scan, listing, preview and recovery jobs.
    IFileRecoveryParse* m_pFileRecovery = nullptr;
    _PARTITION_ITEM_ m_partitionItem{};
    std::vector<__SEARCH_FILE_INFO__> m_vecSearchResult;
    std::map<RecoveryKey, _FILE_NODE_> m_mapRecoveryFile;
    std::wstring m_strSearchPattern;
    QString m_strSaveDir;
    QString m_strPreviewFileName;
    _FILE_NODE_ m_previewNode{};
    std::array<wchar_t, 512> m_szPreviewPath{};
    std::vector<unsigned char> m_pPreviewBuf;
    int m_nPreviewLen = 0;
    EngineMaker m_engineMaker;
    std::function<void(SCANUI*)> m_dialogHook;

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
    // Check states being set by the program, not by the user.
    bool m_bUpdatingChecks = false;

    // The results page: grouping by category and extension, and its widgets.
    std::array<std::map<std::string, std::vector<__SEARCH_FILE_INFO__>>, 6> m_mapCategory;
    QTreeWidget* m_pResultTree = nullptr;
    QTableWidget* m_pFileTable = nullptr;
    QTreeWidgetItem* m_pCurTreeItem = nullptr;
    QLabel* m_pPreviewLabel = nullptr;
    QLabel* m_pSummaryLabel = nullptr;
    QLabel* m_pFoundLabel = nullptr;
    QLineEdit* m_pFilterBox = nullptr;
    QStackedWidget* m_pFileViews = nullptr;
    QListWidget* m_pThumbView = nullptr;
    QPushButton* m_pBtnList = nullptr;
    QPushButton* m_pBtnThumbs = nullptr;
    CThumbnailLoader* m_pThumbs = nullptr;
    std::vector<std::pair<QListWidgetItem*, _FILE_NODE_>> m_vecThumbItems;  // the current load request
};
