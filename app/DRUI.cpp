#include "DRUI.h"

#include <sys/stat.h>

#include <QtCore/QFileInfo>
#include <QtCore/QUrl>
#include <QtGui/QCloseEvent>
#include <QtGui/QDesktopServices>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QScreen>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedLayout>
#include <QtWidgets/QTreeWidget>
#include <QtWidgets/QVBoxLayout>

#include "SCANUI.h"
#include "Styles.h"
#include "ThumbnailLoader.h"
#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/DiskReader.h"
#include "core/MetaTypes.h"
#include "core/PartitionManager.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"

namespace {

// Item data role that marks disk items with their disk number.
constexpr int kDiskNumberRole = Qt::UserRole + 1;

QFont AppFont(int nPointSize, bool bBold) {
    QFont f(kFontFamily, nPointSize);
    f.setBold(bBold);
    return f;
}

QString ReadmeUrl(const char* szAnchor) {
    QString path;
    for (const char* candidate : {FR_INSTALLED_README, FR_SOURCE_README}) {
        if (QFileInfo::exists(QString::fromUtf8(candidate))) {
            path = QString::fromUtf8(candidate);
            break;
        }
    }
    if (path.isEmpty()) path = QString::fromUtf8(FR_INSTALLED_README);
    QUrl url = QUrl::fromLocalFile(path);
    if (szAnchor && *szAnchor) url.setFragment(QString::fromUtf8(szAnchor));
    return url.toString();
}

}  // namespace

DRUI::DRUI(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags | Qt::FramelessWindowHint) {
    RegisterRecordMetaTypes();
    setObjectName("DRUI");
    setWindowTitle("Fotoretta");
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QString("QWidget#DRUI{%1}").arg(window_style));
    setFixedSize(kWindowWidth, kWindowHeight);
    m_pBrowser = new CResultBrowser(this);
    m_pJobs = new CJobController(this);
    // The thumbnail worker lets go of the engine before it is deleted.
    m_pJobs->SetEngineReleaseHook([this] { m_pBrowser->Thumbnails()->Clear(); });
    connect(m_pBrowser, &CResultBrowser::PreviewRequested, this, &DRUI::StartPreview);
    // The jobs' reports go out as this window's own, on the worker thread.
    connect(m_pJobs, &CJobController::ScanProcessCallBack, this, &DRUI::ScanProcessCallBack, Qt::DirectConnection);
    connect(m_pJobs, qOverload<int, int, int, QString>(&CJobController::RecoveryCallBack), this,
            qOverload<int, int, int, QString>(&DRUI::RecoveryCallBack), Qt::DirectConnection);
    connect(m_pJobs, qOverload<int, QString>(&CJobController::SearchCallBack), this,
            qOverload<int, QString>(&DRUI::SearchCallBack), Qt::DirectConnection);
    connect(m_pJobs, &CJobController::PreViewCallBackForSlot, this, &DRUI::PreViewCallBackForSlot,
            Qt::DirectConnection);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->geometry();
        move(desk.left() + (desk.width() - kWindowWidth) / 2, desk.top() + (desk.height() - kWindowHeight) / 2);
    }
}

DRUI::~DRUI() {
    DeleteEngine();
    // The browser goes before the jobs: nothing is left for it to let go of.
    m_pJobs->SetEngineReleaseHook(nullptr);
}

void DRUI::DeleteEngine() { m_pJobs->DeleteEngine(); }

void DRUI::Init() {
    m_pStackedLayout = new QStackedLayout(this);
    m_pStackedLayout->setContentsMargins(0, 0, 0, 0);
    InitLayout1Widget();
    InitLayout2Widget();
    m_pStackedLayout->addWidget(m_pPage1);
    m_pStackedLayout->addWidget(m_pPage2);
    m_pStackedLayout->setCurrentWidget(m_pPage1);

    // The data directory and its scan-log directory (created on first use;
    // a failure shows later, where a scan or preview writes there).
    GetScanLogDir();
}

QWidget* DRUI::CreateSeparator(int nHeight) {
    auto* line = new QFrame;
    line->setFixedHeight(nHeight);
    line->setStyleSheet(separator_style);
    return line;
}

QPushButton* DRUI::CreateButton(int nIndex, int /*nPos*/, QWidget* parent) {
    static const char* const kIcons[] = {":/image/about.png", ":/image/support.png", ":/image/help.png"};
    static const char* const kTips[] = {"About", "Support", "Help"};
    if (nIndex < 0 || nIndex > 2) return nullptr;
    auto* button = new QPushButton(parent);
    const QPixmap pix(kIcons[nIndex]);
    const QSize size(int(pix.width() / 2.5), int(pix.height() / 2.5));
    button->setIcon(QIcon(pix));
    button->setIconSize(size);
    button->setFixedSize(size + QSize(8, 8));
    button->setFlat(true);
    button->setToolTip(kTips[nIndex]);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet("QPushButton{border: none;}");
    if (nIndex == 0) connect(button, &QPushButton::clicked, this, &DRUI::btnAboutSlot);
    if (nIndex == 1) connect(button, &QPushButton::clicked, this, &DRUI::btnSupportSlot);
    if (nIndex == 2) connect(button, &QPushButton::clicked, this, &DRUI::btnHelpSlot);
    return button;
}

QWidget* DRUI::CreateTitleBar(const char* szTitle) {
    auto* bar = new QFrame;
    bar->setStyleSheet(backGroud_style);
    bar->setFixedHeight(80);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(12, 0, 6, 0);

    auto* title = new QLabel(QString::fromUtf8(szTitle));
    title->setFont(AppFont(17, true));
    title->setStyleSheet("color: white;");
    layout->addWidget(title, 1);

    for (int i = 0; i < 3; ++i) layout->addWidget(CreateButton(i, i, bar), 0, Qt::AlignVCenter);
    layout->addSpacing(16);

    auto* corner = new QVBoxLayout;
    corner->setContentsMargins(0, 4, 0, 0);
    auto* row = new QHBoxLayout;
    row->setSpacing(2);
    auto makeIconButton = [&](const char* icon, const char* tip) {
        auto* b = new QPushButton(bar);
        b->setIcon(QIcon(icon));
        b->setIconSize(QSize(22, 22));
        b->setFixedSize(30, 30);
        b->setFlat(true);
        b->setToolTip(tip);
        b->setCursor(Qt::PointingHandCursor);
        b->setStyleSheet("QPushButton{border: none;} QPushButton:hover{background-color: rgb(105, 130, 60);}");
        row->addWidget(b);
        return b;
    };
    connect(makeIconButton(":/image/minimize.png", "Minimise"), &QPushButton::clicked, this, &DRUI::btnMinSlot);
    connect(makeIconButton(":/image/close.png", "Close"), &QPushButton::clicked, this, &DRUI::btnCloseSlot);
    corner->addLayout(row);
    corner->addStretch(1);
    layout->addLayout(corner);
    return bar;
}

QWidget* DRUI::CreateFooter() {
    auto* footer = new QFrame;
    footer->setStyleSheet(backGroud_style);
    footer->setFixedHeight(30);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(12, 0, 12, 0);
    layout->addStretch(1);
    auto* version = new QLabel(Version_label);
    version->setFont(AppFont(12, false));
    version->setStyleSheet("color: white;");
    layout->addWidget(version);
    return footer;
}

QCheckBox* DRUI::CreateCategoryBox(const char* szName, bool bVisible) {
    auto* box = new QCheckBox;
    box->setObjectName(szName);
    box->setChecked(bVisible);
    if (bVisible) connect(box, &QCheckBox::stateChanged, this, &DRUI::CheckBoxStatChange);
    else box->hide();
    return box;
}

QWidget* DRUI::CreateCategoryTile(const char* szIcon, const char* szCaption, const char* szStyle, QCheckBox* pBox) {
    auto* tile = new QFrame;
    tile->setStyleSheet(szStyle);
    tile->setFixedSize(220, 250);
    auto* layout = new QVBoxLayout(tile);
    layout->setContentsMargins(10, 24, 10, 18);
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(szIcon));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon, 1);
    auto* caption = new QLabel(szCaption);
    caption->setFont(AppFont(14, true));
    caption->setStyleSheet("color: white;");
    caption->setAlignment(Qt::AlignCenter);
    layout->addWidget(caption);
    pBox->setStyleSheet("QCheckBox::indicator{width: 22px; height: 22px;}");
    pBox->setCursor(Qt::PointingHandCursor);
    layout->addWidget(pBox, 0, Qt::AlignHCenter);
    return tile;
}

void DRUI::InitLayout1Widget() {
    m_pPage1 = new QWidget;
    auto* page = new QVBoxLayout(m_pPage1);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    page->addWidget(CreateTitleBar(kTitleText12));
    page->addWidget(CreateSeparator(2));

    m_pCheckPhoto = CreateCategoryBox("Photo", true);
    m_pCheckMusic = CreateCategoryBox("Music", true);
    m_pCheckVideo = CreateCategoryBox("Video", true);
    // Categories that exist for the result listing but are never offered.
    m_pCheckOffice = CreateCategoryBox("Office", false);
    m_pCheckArchive = CreateCategoryBox("Archive", false);
    m_pCheckOther = CreateCategoryBox("Other", false);

    auto* body = new QFrame;
    body->setStyleSheet(Layout1BackGroud_style);
    auto* tiles = new QHBoxLayout(body);
    tiles->setContentsMargins(60, 20, 60, 20);
    tiles->setSpacing(40);
    tiles->addStretch(1);
    tiles->addWidget(CreateCategoryTile(":/image/photo.png", "Photo", photo_tile_style, m_pCheckPhoto));
    tiles->addWidget(CreateCategoryTile(":/image/music.png", "Music", music_tile_style, m_pCheckMusic));
    tiles->addWidget(CreateCategoryTile(":/image/video.png", "Video", video_tile_style, m_pCheckVideo));
    tiles->addStretch(1);
    for (QCheckBox* hidden : {m_pCheckOffice, m_pCheckArchive, m_pCheckOther}) hidden->setParent(body);
    page->addWidget(body, 1);

    auto* band = new QFrame;
    band->setStyleSheet(Start_label_style);
    band->setFixedHeight(110);
    auto* bandLayout = new QHBoxLayout(band);
    bandLayout->setContentsMargins(60, 0, 60, 0);
    m_pCheckAll = new QCheckBox(" Recover All");
    m_pCheckAll->setFont(AppFont(18, true));
    m_pCheckAll->setTristate(true);
    m_pCheckAll->setChecked(true);
    m_pCheckAll->setCursor(Qt::PointingHandCursor);
    m_pCheckAll->setStyleSheet("QCheckBox::indicator{width: 22px; height: 22px;}");
    connect(m_pCheckAll, &QCheckBox::stateChanged, this, &DRUI::CheckBoxAllStatChange);
    bandLayout->addWidget(m_pCheckAll);
    bandLayout->addStretch(1);
    m_pBtnStart = new QPushButton("Start");
    m_pBtnStart->setFont(AppFont(25, true));
    m_pBtnStart->setFixedSize(220, 64);
    m_pBtnStart->setCursor(Qt::PointingHandCursor);
    SetButtonEnabled(m_pBtnStart, true);
    connect(m_pBtnStart, &QPushButton::clicked, this, &DRUI::btnSlot);
    bandLayout->addWidget(m_pBtnStart);
    page->addWidget(band);

    page->addWidget(CreateSeparator(4));
    page->addWidget(CreateFooter());
}

QVBoxLayout* DRUI::CreatePageLayout(QWidget* pPage, const char* szTitle) {
    auto* page = new QVBoxLayout(pPage);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    page->addWidget(CreateTitleBar(szTitle));
    page->addWidget(CreateSeparator(2));
    return page;
}

QHBoxLayout* DRUI::AddInfoBand(QVBoxLayout* pPage, const char* szIcon, QLabel* pText) {
    auto* band = new QFrame;
    band->setStyleSheet(info_band_style);
    band->setFixedHeight(62);
    auto* bandLayout = new QHBoxLayout(band);
    bandLayout->setContentsMargins(24, 4, 24, 4);
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(szIcon));
    bandLayout->addWidget(icon);
    pText->setFont(AppFont(12, false));
    pText->setStyleSheet("color: black;");
    bandLayout->addWidget(pText, 1);
    pPage->addWidget(band);
    return bandLayout;
}

void DRUI::AddButtonBar(QVBoxLayout* pPage, QPushButton* pBack, QPushButton* pNext) {
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(100, 7, 100, 7);
    for (QPushButton* b : {pBack, pNext}) {
        b->setFont(AppFont(11, true));
        b->setFixedSize(130, 38);
        b->setCursor(Qt::PointingHandCursor);
        b->setStyleSheet(main_button_style);
    }
    connect(pBack, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    bar->addWidget(pBack);
    bar->addStretch(1);
    bar->addWidget(pNext);
    pPage->addLayout(bar);
    pPage->addWidget(CreateSeparator(4));
    pPage->addWidget(CreateFooter());
}

void DRUI::InitLayout2Widget() {
    m_pPage2 = new QWidget;
    QVBoxLayout* page = CreatePageLayout(m_pPage2, kTitleText12);
    QHBoxLayout* bandLayout = AddInfoBand(page, ":/image/scan_files.png", new QLabel(kSelectMediaText));
    m_pBtnOpenImage = new QPushButton(QString::fromUtf8("Open Disk Image\u2026"));
    m_pBtnOpenImage->setFont(AppFont(11, true));
    m_pBtnOpenImage->setFixedSize(170, 36);
    m_pBtnOpenImage->setCursor(Qt::PointingHandCursor);
    m_pBtnOpenImage->setToolTip("Add a raw image file (.img, .dd, .bin) of a disk or card to the list");
    m_pBtnOpenImage->setStyleSheet(main_button_style);
    connect(m_pBtnOpenImage, &QPushButton::clicked, this, &DRUI::btnOpenImageSlot);
    bandLayout->addWidget(m_pBtnOpenImage);

    auto* treeRow = new QHBoxLayout;
    treeRow->setContentsMargins(0, 6, 0, 0);
    treeRow->addStretch(1);
    m_pDiskTree = CreateDiskTree();
    // Room for both columns and the frame, so no horizontal scroll bar.
    m_pDiskTree->setFixedWidth(824);
    treeRow->addWidget(m_pDiskTree);
    treeRow->addStretch(1);
    page->addLayout(treeRow, 1);

    m_pBtnBack = new QPushButton("Back");
    m_pBtnScan = new QPushButton("Scan");
    connect(m_pBtnScan, &QPushButton::clicked, this, &DRUI::btnSlotScan);
    AddButtonBar(page, m_pBtnBack, m_pBtnScan);
    SetButtonEnabled(m_pBtnScan, m_pDiskTree->currentItem() != nullptr);
}

QTreeWidgetItem* DRUI::AddDiskItem(int nDiskNumber, const QString& strText) {
    auto* disk = new QTreeWidgetItem(m_pDiskTree, QStringList{strText, QString()});
    disk->setIcon(0, QIcon(":/image/physical_drive.png"));
    disk->setFont(0, AppFont(14, true));
    disk->setFont(1, AppFont(14, true));
    disk->setData(0, kDiskNumberRole, nDiskNumber);
    return disk;
}

QTreeWidgetItem* DRUI::AddPartitionItem(QTreeWidgetItem* pDisk, const _PARTITION_ITEM_& part) {
    const unsigned long long sectors =
        part.u64EndSector >= part.u64StartSector ? part.u64EndSector + 1 - part.u64StartSector : 0;
    const std::string size = GetFileSizeString(static_cast<long long>(sectors * 512ULL));
    QString name = QString::fromStdString(GetPartitionName(part));
    auto* item = new QTreeWidgetItem(pDisk, QStringList{name, QString::fromStdString(size)});
    item->setIcon(0, QIcon(":/image/drive.png"));
    item->setFont(0, AppFont(14, true));
    item->setFont(1, AppFont(14, true));
    item->setData(0, Qt::UserRole, QVariant::fromValue(part));
    FrLog("(*iterVec).szDiskName = %s u64Bytes = %s\n", part.szDiskName, size.c_str());
    m_pDiskTree->setCurrentItem(item);
    return item;
}

QTreeWidget* DRUI::CreateDiskTree() {
    m_pDiskTree = new QTreeWidget;
    m_pDiskTree->setColumnCount(2);
    m_pDiskTree->setHeaderLabels({"Name", "Size"});
    m_pDiskTree->setColumnWidth(0, 700);
    m_pDiskTree->setColumnWidth(1, 100);
    m_pDiskTree->setStyleSheet("QTreeWidget::item{height:30px};");
    m_pDiskTree->setMinimumSize(800, 410);
    m_pDiskTree->setIconSize(QSize(24, 24));
    connect(m_pDiskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
    connect(m_pDiskTree, &QTreeWidget::itemDoubleClicked, this, &DRUI::diskItemDoubleClick);

    CPartitionManager manager;
    std::map<int, std::vector<_PARTITION_ITEM_>> disks;
    manager.GetPartitionItems(disks);
    for (const auto& [nDisk, parts] : disks) {
        QTreeWidgetItem* disk = nullptr;
        if (nDisk >= FR_FIRST_IMAGE_DISK)
            disk = AddDiskItem(nDisk, QString("Disk Image %1").arg(QFileInfo(QString::fromStdString(GetDiskDevicePath(nDisk))).fileName()));
        else
            disk = AddDiskItem(nDisk, QString("Physical Drive %1").arg(++m_nPhysicalDisks));
        for (const _PARTITION_ITEM_& part : parts) AddPartitionItem(disk, part);
    }
    m_pDiskTree->expandAll();
    return m_pDiskTree;
}

bool DRUI::AddImageDisk(const QString& strPath) {
    const std::string path = QFileInfo(strPath).absoluteFilePath().toStdString();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return false;
    CUniqueFd fd(OpenDeviceReadOnly(path.c_str()));
    if (!fd.valid()) return false;
    const long long bytes = rsb_getDeviceSize(fd.get());
    if (bytes < 512) return false;

    const int nDisk = RegisterImageDisk(path);
    if (nDisk < 0) return false;
    // The same image twice: select what is there.
    for (int i = 0; i < m_pDiskTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* disk = m_pDiskTree->topLevelItem(i);
        if (disk->data(0, kDiskNumberRole).toInt() == nDisk) {
            m_pDiskTree->setCurrentItem(disk->childCount() ? disk->child(0) : disk);
            diskItemClick(m_pDiskTree->currentItem(), 0);
            return true;
        }
    }

    CPartitionManager manager;
    std::vector<_PARTITION_ITEM_> parts;
    if (!manager.GetDiskPartitionItems(nDisk, parts)) {
        // No partition table: the whole image is one volume (a card or stick
        // formatted without a table, or the image of a single partition).
        _PARTITION_ITEM_ whole{};
        whole.u64StartSector = 0;
        whole.u64EndSector = static_cast<unsigned long long>(bytes) / 512 - 1;
        whole.nDiskNumber = nDisk;
        const QString label = QFileInfo(strPath).fileName().left(35);
        SetPartitionName(whole, reinterpret_cast<const char16_t*>(label.constData()), size_t(label.size()));
        snprintf(whole.szDiskName, sizeof whole.szDiskName, "%s", path.c_str());
        parts.push_back(whole);
    }
    QTreeWidgetItem* disk = AddDiskItem(nDisk, QString("Disk Image %1").arg(QFileInfo(strPath).fileName()));
    QTreeWidgetItem* first = nullptr;
    for (const _PARTITION_ITEM_& part : parts) {
        QTreeWidgetItem* item = AddPartitionItem(disk, part);
        if (!first) first = item;
    }
    disk->setExpanded(true);
    m_pDiskTree->setCurrentItem(first);
    m_pDiskTree->scrollToItem(first);
    diskItemClick(first, 0);
    return true;
}

void DRUI::btnOpenImageSlot() {
    const QString path = QFileDialog::getOpenFileName(this, "Open Disk Image", QString(),
                                                      "Disk images (*.img *.dd *.bin *.raw *.iso);;All files (*)");
    if (path.isEmpty()) return;
    if (!AddImageDisk(path)) FrLog("open image failed\n");
}

void DRUI::btnMinSlot() { showMinimized(); }

void DRUI::btnCloseSlot() { close(); }

void DRUI::btnSlot() { m_pStackedLayout->setCurrentWidget(m_pPage2); }

void DRUI::btnSlotBack() {
    if (m_pPage3 && m_pStackedLayout->currentWidget() == m_pPage3)
        m_pStackedLayout->setCurrentWidget(m_pPage2);
    else
        m_pStackedLayout->setCurrentWidget(m_pPage1);
    DeleteEngine();
}

void DRUI::btnHelpSlot() { btnOpenUrl(ReadmeUrl("using-the-desktop-application")); }

void DRUI::btnSupportSlot() { btnOpenUrl(ReadmeUrl("support")); }

void DRUI::btnAboutSlot() { btnOpenUrl(ReadmeUrl("")); }

void DRUI::btnOpenUrl(QString url) { QDesktopServices::openUrl(QUrl(url)); }

void DRUI::CheckBoxStatChange(int /*nStat*/) {
    m_bPartCheck = 0;
    const bool p = m_pCheckPhoto->isChecked(), m = m_pCheckMusic->isChecked(), v = m_pCheckVideo->isChecked();
    if (p && m && v) {
        m_pCheckAll->setCheckState(Qt::Checked);
        return;
    }
    if (!p && !m && !v) {
        m_pCheckAll->setCheckState(Qt::Unchecked);
        return;
    }
    m_bPartCheck = 1;
    m_pCheckAll->setCheckState(Qt::PartiallyChecked);
}

void DRUI::CheckBoxAllStatChange(int nStat) {
    auto setCategories = [this](bool bChecked) {
        for (QCheckBox* box : {m_pCheckPhoto, m_pCheckMusic, m_pCheckVideo}) {
            const QSignalBlocker block(box);  // the master box is set already
            box->setChecked(bChecked);
        }
    };
    if (nStat == Qt::Unchecked) {
        SetButtonEnabled(m_pBtnStart, false);
        setCategories(false);
    } else if (nStat == Qt::Checked) {
        SetButtonEnabled(m_pBtnStart, true);
        setCategories(true);
    } else if (m_bPartCheck) {
        SetButtonEnabled(m_pBtnStart, true);
    } else {
        // Clicked from unchecked into the partial state: take it as "all".
        m_pCheckAll->setCheckState(Qt::Checked);
    }
}

// A volume is an item that carries a partition record; disks carry none
// (a disk whose table yielded nothing has no children either).
static bool IsVolumeItem(QTreeWidgetItem* item) {
    return item && item->data(0, Qt::UserRole).metaType() == QMetaType::fromType<_PARTITION_ITEM_>();
}

void DRUI::diskItemClick(QTreeWidgetItem* item, int) {
    if (!item) return;
    SetButtonEnabled(m_pBtnScan, IsVolumeItem(item));
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* item, int) {
    if (!IsVolumeItem(item)) return;
    m_pDiskTree->setCurrentItem(item);
    btnSlotScan();
}

void DRUI::mousePressEvent(QMouseEvent* event) { DragPress(this, event, m_ptDrag); }

void DRUI::mouseMoveEvent(QMouseEvent* event) { DragMove(this, event, m_ptDrag); }

void DRUI::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DRUI::closeEvent(QCloseEvent* event) { event->accept(); }

// ---------------------------------------------------------------------------
// Jobs and the results page

void DRUI::btnSlotScan() {
    QTreeWidgetItem* item = m_pDiskTree ? m_pDiskTree->currentItem() : nullptr;
    const QVariant data = item ? item->data(0, Qt::UserRole) : QVariant();
    m_partitionItem = data.metaType() == QMetaType::fromType<_PARTITION_ITEM_>() ? data.value<_PARTITION_ITEM_>()
                                                                                : _PARTITION_ITEM_{};
    emit ScanRequested();
    if (m_pJobs->Running()) return;
    // The jobs below have the engine to themselves.
    const CThumbnailLoader::PauseGuard pause(*m_pBrowser->Thumbnails());
    m_pJobs->ScanAndList(m_partitionItem, [this] { return BuildSearchPattern(); });
    InitLayout3Widget();
}

std::wstring DRUI::BuildSearchPattern() const {
    const bool wanted[6] = {m_pCheckPhoto->isChecked(),   m_pCheckMusic->isChecked(), m_pCheckOffice->isChecked(),
                            m_pCheckVideo->isChecked(),   m_pCheckArchive->isChecked(),
                            m_pCheckOther->isChecked()};
    return GetSearchPattern(wanted);
}

void DRUI::StartPreview(const QVariant& record) {
    if (m_pJobs->Running() || !m_pJobs->Engine()) return;
    const _FILE_NODE_ node =
        record.metaType() == QMetaType::fromType<_FILE_NODE_>() ? record.value<_FILE_NODE_>() : _FILE_NODE_{};
    // Until the preview is shown: the thumbnails use the same temporary file.
    const CThumbnailLoader::PauseGuard pause(*m_pBrowser->Thumbnails());
    m_pJobs->Preview(node);
    m_pBrowser->ShowPreview(m_pJobs->PreviewPath(), m_pJobs->PreviewData(), m_pJobs->PreviewLen());
}

void DRUI::btnRecovery() {
    if (m_pJobs->Running() || m_pBrowser->RecoveryFiles().empty() || !m_pJobs->Engine()) return;
    const QString dir = QFileDialog::getExistingDirectory(
        this, QString(), "/",
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (dir.isEmpty()) return;
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
    const CThumbnailLoader::PauseGuard pause(*m_pBrowser->Thumbnails());
    m_pJobs->Recover(m_pBrowser->RecoveryFiles(), dir);
}

void DRUI::InitLayout3Widget() {
    m_pBrowser->Clear();
    if (m_pPage3) {
        m_pStackedLayout->removeWidget(m_pPage3);
        delete m_pPage3;
    }
    m_pPage3 = new QWidget;
    QVBoxLayout* page = CreatePageLayout(m_pPage3, kTitleText3);
    m_pFoundLabel = new QLabel(QString("Select Desired Files to Recover\nFound %1 recoverable files after the scan. "
                                       "Please preview and choose the files you want to recover.")
                                   .arg(m_pJobs->SearchResult().size()));
    QHBoxLayout* bandLayout = AddInfoBand(page, ":/image/recover_file.png", m_pFoundLabel);
    m_pBtnRecover = new QPushButton("Recover");
    m_pBrowser->Build(page, bandLayout, m_pBtnRecover, m_pJobs->SearchResult(), m_pJobs->Engine());
    connect(m_pBtnRecover, &QPushButton::clicked, this, &DRUI::btnRecovery);
    AddButtonBar(page, new QPushButton("Back"), m_pBtnRecover);

    m_pStackedLayout->addWidget(m_pPage3);
    m_pStackedLayout->setCurrentWidget(m_pPage3);
    m_pBrowser->RefreshSelection();
}

void DRUI::treeItemClick(QTreeWidgetItem* item, int) { m_pBrowser->TreeItemClick(item); }

void DRUI::treeItemSelectChanged() { m_pBrowser->TreeSelectChanged(); }

void DRUI::tableItemPress(int nRow, int nColumn) { m_pBrowser->TableItemPress(nRow, nColumn); }

void DRUI::tableItemSelectChanged() { m_pBrowser->TableSelectChanged(); }
