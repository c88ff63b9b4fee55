// The main window: a frameless, fixed-size window with three pages in a
// stacked layout (categories, devices, results).
#pragma once

#include <QtCore/QPoint>
#include <QtWidgets/QWidget>

#include <map>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "core/Records.h"

class QCheckBox;
class QLabel;
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

signals:
    // The chosen partition is in PartitionItem(); the scan job takes it from here.
    void ScanRequested();

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

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* CreateTitleBar(const char* szTitle);
    QWidget* CreateFooter();
    QWidget* CreateSeparator(int nHeight);
    QWidget* CreateCategoryTile(const char* szIcon, const char* szCaption, const char* szStyle, QCheckBox* pBox);
    QCheckBox* CreateCategoryBox(const char* szName, bool bVisible);
    void InitLayout1Widget();
    void InitLayout2Widget();
    void SetButtonEnabled(QPushButton* pButton, bool bEnabled);
    QTreeWidgetItem* AddDiskItem(int nDiskNumber, const QString& strText);
    QTreeWidgetItem* AddPartitionItem(QTreeWidgetItem* pDisk, const _PARTITION_ITEM_& part);
    void DeleteEngine();

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
    std::map<unsigned long long, _FILE_NODE_> m_mapRecoveryFile;
    std::vector<unsigned char> m_pPreviewBuf;
    std::vector<char> m_pPreviewText;
};
