#include "ResultBrowser.h"

#include <algorithm>
#include <cstring>

#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtGui/QImageReader>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedWidget>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QTreeWidget>
#include <QtWidgets/QVBoxLayout>

#include "Styles.h"
#include "ThumbnailLoader.h"
#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/MetaTypes.h"
#include "core/TextHelpers.h"

namespace {

// Item data of the result tree: the category of an item, and the
// extension of an extension item.
constexpr int kCategoryRole = Qt::UserRole + 1;
constexpr int kExtensionRole = Qt::UserRole + 2;
// Table cells that sort by a number rather than by their text.
constexpr int kSortRole = Qt::UserRole + 3;

enum FileColumn { kColName, kColSize, kColModified, kColFolder, kColCondition, kColumns };

const char* const kCategoryNames[6] = {"Photo", "Music", "Office", "Video", "Archive", "Other"};
constexpr const char* kNoExtension = "unknown";

// Extensions with an icon of their own (the rest take their category's).
const char* const szFileTypeStr[][2] = {
    {"7z", "7z"},         {"accdb", "accdb"},   {"ace", "ace"},       {"acid", "acid"},
    {"aiff", "aiff"},     {"asf", "asf"},       {"at3", "at3"},       {"au", "au"},
    {"avi", "avi"},       {"bmp", "bmp"},       {"cab", "cab"},       {"chm", "chm"},
    {"divx", "divx"},     {"doc", "doc"},       {"dss", "dss"},       {"dv", "dv"},
    {"epson", "epson"},   {"exe", "exe"},       {"gif", "gif"},       {"gzip", "gzip"},
    {"html", "html"},     {"ico", "ico"},       {"indd", "indd"},     {"jar", "jar"},
    {"jpg", "jpg"},       {"jpeg", "jpg"},      {"mamiya", "mamiya"}, {"mid", "mid"},
    {"minolta", "minolta"}, {"mov", "mov"},     {"mp3", "mp3"},       {"mp4", "mp4"},
    {"mpeg", "mpeg"},     {"music", "music"},   {"ods", "ods"},       {"ogg", "ogg"},
    {"one", "one"},       {"other", "other"},   {"pdf", "pdf"},       {"png", "png"},
    {"ppt", "ppt"},       {"psd", "psd"},       {"psp", "psp"},       {"rar", "rar"},
    {"real", "real"},     {"rmvb", "rmvb"},     {"rps", "rps"},       {"thm", "thm"},
    {"tif", "tif"},       {"tiff", "tif"},      {"tod", "tod"},       {"txt", "txt"},
    {"vob", "vob"},       {"wma", "wma"},       {"wmv", "wmv"},       {"wps", "wps"},
    {"xls", "xls"},       {"xml", "xml"},       {"zip", "zip"},       {"audio_default", "audio_default"},
    {"default", "default"}, {"image", "image"}, {"office_default", "office_default"},
    {"photo_default", "photo_default"}, {"video_default", "video_default"},
};

std::string NameOf(const __SEARCH_FILE_INFO__& info) {
    return std::string(info.szFileName, strnlen(info.szFileName, sizeof info.szFileName));
}

CResultBrowser::RecoveryKey KeyOf(const __SEARCH_FILE_INFO__& info) {
    return {info.nEngineType, info.nFileIndex, info.uClusterNO};
}

// The extension a file is grouped under: lower-cased text after the last
// dot, or the no-extension group.
std::string GroupExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return kNoExtension;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

class CSortItem : public QTableWidgetItem {
public:
    explicit CSortItem(const QString& text, const QVariant& key = QVariant()) : QTableWidgetItem(text) {
        if (key.isValid()) setData(kSortRole, key);
    }
    bool operator<(const QTableWidgetItem& other) const override {
        const QVariant a = data(kSortRole), b = other.data(kSortRole);
        if (a.isValid() && b.isValid()) return a.toLongLong() < b.toLongLong();
        return QString::compare(text(), other.text(), Qt::CaseInsensitive) < 0;
    }
};

// What the file system said about a file's state, in the user's words.
constexpr int kPreviewWidth = 700;
constexpr int kPreviewHeight = 200;

const char* ConditionText(u32 health) {
    switch (health) {
        case 0:
        case FR_HEALTH_BROKEN:
        case FR_HEALTH_UNREADABLE: return "Damaged";
        case FR_HEALTH_UNCONFIRMED: return "Location unconfirmed";
        default: return "Good";
    }
}

}  // namespace

QString GetExtendNameIcon(QString ext) {
    if (ext.startsWith('.')) ext.remove(0, 1);
    QString icon = ext.size() + 1 >= 3 ? QString(GetCategoryIconName(("x." + ext).toUtf8().constData()))
                                       : QString(":/image/FileIcon/other.png");
    for (const auto& pair : szFileTypeStr) {
        if (ext.compare(QLatin1String(pair[0]), Qt::CaseInsensitive) == 0) {
            icon = QString(":/image/FileIcon/%1.png").arg(pair[1]);
            break;
        }
    }
    return icon;
}

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

CResultBrowser::CResultBrowser(QObject* parent) : QObject(parent) {
    m_pThumbs = new CThumbnailLoader(this);
    connect(m_pThumbs, &CThumbnailLoader::ThumbnailReady, this, &CResultBrowser::PlaceThumbnail,
            Qt::QueuedConnection);
}

void CResultBrowser::Clear() {
    m_vecThumbItems.clear();
    m_pThumbs->Load(nullptr, {});
    m_pCurTreeItem = nullptr;
}

void CResultBrowser::Build(QVBoxLayout* page, QHBoxLayout* bandLayout, QPushButton* pRecover,
                           const std::vector<__SEARCH_FILE_INFO__>& results, IFileRecoveryParse* pEngine) {
    m_pFileRecovery = pEngine;
    m_pBtnRecover = pRecover;
    m_pSummaryLabel = new QLabel("Select 0 Bytes in 0 file");
    m_pSummaryLabel->setFont(QFont(kFontFamily, 11, QFont::Bold));
    m_pSummaryLabel->setStyleSheet("color: black;");
    bandLayout->addWidget(m_pSummaryLabel);

    auto* browser = new QHBoxLayout;
    browser->setContentsMargins(8, 6, 8, 0);
    browser->setSpacing(6);
    browser->addWidget(CreateTree(results));
    auto* right = new QVBoxLayout;
    right->setSpacing(4);
    m_pPreviewLabel = new QLabel;
    m_pPreviewLabel->setFixedSize(720, 200);
    m_pPreviewLabel->setAlignment(Qt::AlignCenter);
    m_pPreviewLabel->setTextFormat(Qt::PlainText);
    m_pPreviewLabel->setStyleSheet("background-color: white; border: 1px solid rgb(191, 191, 191);");
    right->addWidget(m_pPreviewLabel);
    // The filter box and the choice of list or thumbnails.
    auto* tools = new QHBoxLayout;
    m_pFilterBox = new QLineEdit;
    m_pFilterBox->setPlaceholderText("Filter by name");
    m_pFilterBox->setClearButtonEnabled(true);
    connect(m_pFilterBox, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    tools->addWidget(m_pFilterBox, 1);
    m_pBtnList = new QPushButton("List");
    m_pBtnThumbs = new QPushButton("Thumbnails");
    for (QPushButton* b : {m_pBtnList, m_pBtnThumbs}) {
        b->setCheckable(true);
        b->setAutoExclusive(true);
        b->setCursor(Qt::PointingHandCursor);
        tools->addWidget(b);
    }
    m_pBtnList->setChecked(true);
    connect(m_pBtnThumbs, &QPushButton::toggled, this, &CResultBrowser::ShowThumbnails);
    right->addLayout(tools);
    m_pThumbView = new QListWidget;
    m_pThumbView->setViewMode(QListView::IconMode);
    m_pThumbView->setIconSize(QSize(CThumbnailLoader::kThumbSize, CThumbnailLoader::kThumbSize));
    m_pThumbView->setGridSize(QSize(CThumbnailLoader::kThumbSize + 24, CThumbnailLoader::kThumbSize + 36));
    m_pThumbView->setResizeMode(QListView::Adjust);
    m_pThumbView->setMovement(QListView::Static);
    m_pThumbView->setWordWrap(true);
    connect(m_pThumbView, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item) emit PreviewRequested(item->data(Qt::UserRole));
    });
    m_pFileViews = new QStackedWidget;
    m_pFileViews->addWidget(CreateTable());
    m_pFileViews->addWidget(m_pThumbView);
    right->addWidget(m_pFileViews, 1);
    browser->addLayout(right, 1);
    page->addLayout(browser, 1);
}

QTreeWidget* CResultBrowser::CreateTree(const std::vector<__SEARCH_FILE_INFO__>& results) {
    m_pResultTree = new QTreeWidget;
    m_pResultTree->setColumnCount(1);
    m_pResultTree->setHeaderLabels({QString()});
    m_pResultTree->setMinimumSize(250, 380);
    m_pResultTree->setMaximumWidth(250);
    m_pResultTree->setItemsExpandable(true);
    m_pResultTree->setStyleSheet("QTreeWidget::item{height:24px;}");

    for (auto& map : m_mapCategory) map.clear();
    m_mapRecoveryFile.clear();
    int counts[6] = {};
    for (const __SEARCH_FILE_INFO__& info : results) {
        const std::string name = NameOf(info);
        if (name.empty()) continue;
        const std::string ext = GroupExtension(name);
        const int cat = ext == kNoExtension ? CATEGORY_OTHER : GetFileCategory(name.c_str());
        m_mapCategory[cat][ext].push_back(info);
        ++counts[cat];
    }
    for (int cat = 0; cat < 6; ++cat) {
        if (counts[cat] == 0) continue;
        auto* top = new QTreeWidgetItem(m_pResultTree, {QString("%1(%2)").arg(kCategoryNames[cat]).arg(counts[cat])});
        top->setCheckState(0, Qt::Unchecked);
        top->setData(0, kCategoryRole, cat);
        for (const auto& [ext, files] : m_mapCategory[cat]) {
            const QString qext = QString::fromStdString(ext);
            auto* child = new QTreeWidgetItem(top, {QString("%1 Files (%2)").arg(qext).arg(files.size())});
            child->setIcon(0, QIcon(GetExtendNameIcon(qext)));
            child->setCheckState(0, Qt::Unchecked);
            child->setData(0, kCategoryRole, cat);
            child->setData(0, kExtensionRole, qext);
        }
    }
    m_pResultTree->expandAll();
    connect(m_pResultTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) { TreeItemClick(item); });
    connect(m_pResultTree, &QTreeWidget::itemSelectionChanged, this, &CResultBrowser::TreeSelectChanged);
    connect(m_pResultTree, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (!m_bUpdatingChecks) UpdateTreeInfo(item, column);
    });
    return m_pResultTree;
}

QTableWidget* CResultBrowser::CreateTable() {
    m_pFileTable = new QTableWidget(0, kColumns);
    m_pFileTable->setHorizontalHeaderLabels({"Name", "Size", "Modified", "Original folder", "Condition"});
    for (const auto& [column, width] : {std::pair{kColName, 210}, {kColSize, 80}, {kColModified, 120}, {kColFolder, 180}})
        m_pFileTable->setColumnWidth(column, width);
    m_pFileTable->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pFileTable->horizontalHeader()->setStretchLastSection(true);
    // Rows keep the order of the listing until a heading is clicked.
    m_pFileTable->setSortingEnabled(true);
    m_pFileTable->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_pFileTable->verticalHeader()->hide();
    m_pFileTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pFileTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pFileTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pFileTable->setMinimumSize(300, 160);
    connect(m_pFileTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (!m_bUpdatingChecks && item->column() == 0) TableItemPress(item->row(), 0);
    });
    connect(m_pFileTable, &QTableWidget::itemSelectionChanged, this, &CResultBrowser::TableSelectChanged);
    return m_pFileTable;
}

void CResultBrowser::ShowTreeFiles(QTreeWidgetItem* item) {
    const QSignalBlocker block(m_pFileTable);
    m_pFileTable->setRowCount(0);
    m_pCurTreeItem = item;
    if (!item || !item->parent()) return;
    const int cat = item->data(0, kCategoryRole).toInt();
    const std::string ext = item->data(0, kExtensionRole).toString().toStdString();
    if (cat < 0 || cat >= 6) return;
    auto it = m_mapCategory[cat].find(ext);
    if (it == m_mapCategory[cat].end()) return;
    const QIcon icon(GetExtendNameIcon(QString::fromStdString(ext)));
    // The folders come from the engine, which the thumbnails use too.
    const CThumbnailLoader::PauseGuard pause(*m_pThumbs);
    m_pFileTable->setSortingEnabled(false);
    m_pFileTable->setRowCount(static_cast<int>(it->second.size()));
    int row = 0;
    std::vector<wchar_t> folder(4096);
    for (const __SEARCH_FILE_INFO__& info : it->second) {
        _FILE_NODE_ node = ToFileNode(info);
        const QVariant record = QVariant::fromValue(node);
        auto* name = new CSortItem(QString::fromStdString(NameOf(info)));
        name->setIcon(icon);
        name->setFlags(name->flags() | Qt::ItemIsUserCheckable);
        name->setCheckState(m_mapRecoveryFile.count(KeyOf(info)) ? Qt::Checked : Qt::Unchecked);
        // The recorded time and folder; a carved file has neither, only its place.
        i64 modified = 0;
        const bool bCarved = info.nEngineType == ENGINE_CARVING;
        const bool bDated = !bCarved && GetNodeUnixTime(node, info.u64ModifyTime, modified);
        QString where;
        if (bCarved) {
            where = QString("carved at %1").arg(static_cast<qulonglong>(info.u64RecordSector) * 512);
        } else if (m_pFileRecovery) {
            folder.assign(folder.size(), 0);
            if (m_pFileRecovery->GetFileNodeParentDirPath(&node, folder.data(), static_cast<int>(folder.size())) == 0) {
                folder.back() = 0;
                where = QString::fromStdString(WideToUtf8(folder.data()));
            }
        }
        QTableWidgetItem* cells[kColumns] = {
            name,
            new CSortItem(QString::fromStdString(GetFileSizeString(static_cast<long long>(info.u64FileSize))),
                          static_cast<qlonglong>(info.u64FileSize)),
            new CSortItem(bDated ? QDateTime::fromSecsSinceEpoch(modified).toString("yyyy-MM-dd HH:mm") : QString(),
                          static_cast<qlonglong>(bDated ? modified : -1)),
            new CSortItem(where),
            new CSortItem(ConditionText(info.bIsHealth)),
        };
        for (int column = 0; column < kColumns; ++column) {
            cells[column]->setData(Qt::UserRole, record);
            m_pFileTable->setItem(row, column, cells[column]);
        }
        m_pFileTable->setRowHeight(row, 22);
        ++row;
    }
    m_pFileTable->setSortingEnabled(true);
}

std::vector<const __SEARCH_FILE_INFO__*> CResultBrowser::ShownFiles() const {
    std::vector<const __SEARCH_FILE_INFO__*> out;
    const int cat = m_pCurTreeItem ? m_pCurTreeItem->data(0, kCategoryRole).toInt() : -1;
    if (cat < 0 || cat >= 6) return out;
    const QString filter = m_pFilterBox ? m_pFilterBox->text().trimmed() : QString();
    auto add = [&](const std::vector<__SEARCH_FILE_INFO__>& files) {
        for (const __SEARCH_FILE_INFO__& info : files)
            if (QString::fromStdString(NameOf(info)).contains(filter, Qt::CaseInsensitive)) out.push_back(&info);
    };
    if (!m_pCurTreeItem->parent()) {
        for (const auto& entry : m_mapCategory[cat]) add(entry.second);
    } else if (auto it = m_mapCategory[cat].find(m_pCurTreeItem->data(0, kExtensionRole).toString().toStdString());
               it != m_mapCategory[cat].end()) {
        add(it->second);
    }
    return out;
}

void CResultBrowser::ApplyFilter() {
    const QString filter = m_pFilterBox->text().trimmed();
    for (int row = 0; row < m_pFileTable->rowCount(); ++row)
        m_pFileTable->setRowHidden(row, !m_pFileTable->item(row, kColName)->text().contains(filter, Qt::CaseInsensitive));
    RefreshThumbnails();
}

void CResultBrowser::ShowThumbnails(bool bThumbnails) {
    m_pFileViews->setCurrentIndex(bThumbnails ? 1 : 0);
    RefreshThumbnails();
}

void CResultBrowser::RefreshThumbnails() {
    // Whatever was being decoded for the previous view is abandoned.
    const QSignalBlocker block(m_pThumbView);
    m_pThumbView->clear();
    m_vecThumbItems.clear();
    std::vector<_FILE_NODE_> pending;
    if (m_pFileViews->currentIndex() == 1) {
        for (const __SEARCH_FILE_INFO__* info : ShownFiles()) {
            const std::string name = NameOf(*info);
            const _FILE_NODE_ node = ToFileNode(*info);
            auto* item = new QListWidgetItem(QIcon(GetExtendNameIcon(QString::fromStdString(GroupExtension(name)))),
                                             QString::fromStdString(name), m_pThumbView);
            item->setData(Qt::UserRole, QVariant::fromValue(node));
            item->setSizeHint(m_pThumbView->gridSize() - QSize(4, 4));
            const QImage cached = m_pThumbs->Cached(KeyOf(*info));
            if (!cached.isNull()) {
                item->setIcon(QIcon(QPixmap::fromImage(cached)));
            } else if (GetFileCategory(name.c_str()) == CATEGORY_PHOTO) {
                m_vecThumbItems.emplace_back(item, node);
                pending.push_back(node);
            }
        }
    }
    IFileRecoveryParse* pEngine = pending.empty() ? nullptr : m_pFileRecovery;
    m_pThumbs->Load(pEngine, std::move(pending));
}

void CResultBrowser::PlaceThumbnail(int nGeneration, int nIndex, const QImage& image) {
    if (nGeneration != m_pThumbs->Generation() || nIndex < 0 || static_cast<size_t>(nIndex) >= m_vecThumbItems.size())
        return;
    const auto& [item, node] = m_vecThumbItems[static_cast<size_t>(nIndex)];
    item->setIcon(QIcon(QPixmap::fromImage(image)));
    m_pThumbs->Remember({node.nEngineType, node.nFileIndex, node.uClusterNO}, image);
}

void CResultBrowser::UpdateTreeInfo(QTreeWidgetItem* item, int) {
    if (!item) return;
    const Qt::CheckState state = item->checkState(0);
    if (state == Qt::PartiallyChecked) return;  // follows its children
    const bool chosen = state == Qt::Checked;
    {
        m_bUpdatingChecks = true;
        SetTreeChildCheckState(item, chosen ? 2 : 0);
        SetTreeParentCheckState(item);
        const int cat = item->data(0, kCategoryRole).toInt();
        if (cat >= 0 && cat < 6) {
            if (item->parent()) {
                auto it = m_mapCategory[cat].find(item->data(0, kExtensionRole).toString().toStdString());
                if (it != m_mapCategory[cat].end())
                    for (const auto& info : it->second) SelectFile(info, chosen);
            } else {
                for (const auto& [ext, files] : m_mapCategory[cat])
                    for (const auto& info : files) SelectFile(info, chosen);
            }
        }
        // The rows on show follow the selection.
        for (int row = 0; row < m_pFileTable->rowCount(); ++row) {
            QTableWidgetItem* cell = m_pFileTable->item(row, 0);
            const _FILE_NODE_ node = cell->data(Qt::UserRole).value<_FILE_NODE_>();
            cell->setCheckState(m_mapRecoveryFile.count({node.nEngineType, node.nFileIndex, node.uClusterNO})
                                    ? Qt::Checked
                                    : Qt::Unchecked);
        }
        m_bUpdatingChecks = false;
    }
    RefreshSelection();
}

void CResultBrowser::SetTreeChildCheckState(QTreeWidgetItem* item, int nState) {
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem* child = item->child(i);
        child->setCheckState(0, nState ? Qt::Checked : Qt::Unchecked);
        SetTreeChildCheckState(child, nState);
    }
}

void CResultBrowser::SetTreeParentCheckState(QTreeWidgetItem* item) {
    for (QTreeWidgetItem* parent = item ? item->parent() : nullptr; parent; parent = parent->parent()) {
        int checked = 0, unchecked = 0;
        for (int i = 0; i < parent->childCount(); ++i) {
            const Qt::CheckState s = parent->child(i)->checkState(0);
            checked += s == Qt::Checked;
            unchecked += s == Qt::Unchecked;
        }
        const int n = parent->childCount();
        parent->setCheckState(0, checked == n ? Qt::Checked : unchecked == n ? Qt::Unchecked : Qt::PartiallyChecked);
    }
}

void CResultBrowser::SelectFile(const __SEARCH_FILE_INFO__& info, bool bChosen) {
    if (bChosen)
        m_mapRecoveryFile[KeyOf(info)] = ToFileNode(info);
    else
        m_mapRecoveryFile.erase(KeyOf(info));
}

void CResultBrowser::TreeItemClick(QTreeWidgetItem* item) {
    if (item) m_pResultTree->setCurrentItem(item);
}

void CResultBrowser::TreeSelectChanged() {
    const QList<QTreeWidgetItem*> selected = m_pResultTree->selectedItems();
    if (selected.isEmpty() || selected.first() == m_pCurTreeItem) return;
    ShowTreeFiles(selected.first());
    ApplyFilter();
    // The first file of an extension is previewed at once.
    if (m_pFileTable->rowCount() > 0) m_pFileTable->selectRow(0);
}

void CResultBrowser::TableItemPress(int nRow, int nColumn) {
    QTableWidgetItem* cell = m_pFileTable ? m_pFileTable->item(nRow, nColumn) : nullptr;
    if (nColumn != 0 || !cell || !m_pCurTreeItem) return;
    const Qt::CheckState state = cell->checkState();
    if (state == Qt::PartiallyChecked) return;
    const _FILE_NODE_ node = cell->data(Qt::UserRole).value<_FILE_NODE_>();
    const RecoveryKey key{node.nEngineType, node.nFileIndex, node.uClusterNO};
    if (state == Qt::Checked)
        m_mapRecoveryFile[key] = node;
    else
        m_mapRecoveryFile.erase(key);
    int checked = 0;
    for (int row = 0; row < m_pFileTable->rowCount(); ++row)
        checked += m_pFileTable->item(row, 0)->checkState() == Qt::Checked;
    m_bUpdatingChecks = true;
    m_pCurTreeItem->setCheckState(0, checked == 0                           ? Qt::Unchecked
                                     : checked == m_pFileTable->rowCount() ? Qt::Checked
                                                                            : Qt::PartiallyChecked);
    SetTreeParentCheckState(m_pCurTreeItem);
    m_bUpdatingChecks = false;
    RefreshSelection();
}

void CResultBrowser::TableSelectChanged() {
    const QList<QTableWidgetItem*> selected = m_pFileTable->selectedItems();
    if (selected.isEmpty()) return;
    QTableWidgetItem* cell = m_pFileTable->item(selected.first()->row(), 0);
    if (cell) emit PreviewRequested(cell->data(Qt::UserRole));
}

void CResultBrowser::RefreshSelection() {
    SetButtonEnabled(m_pBtnRecover, !m_mapRecoveryFile.empty());
    unsigned long long total = 0;
    for (const auto& entry : m_mapRecoveryFile) total += entry.second.u64FileSize;
    const size_t n = m_mapRecoveryFile.size();
    if (m_pSummaryLabel)
        m_pSummaryLabel->setText(QString("Select %1 in %2 %3")
                                     .arg(QString::fromStdString(GetFileSizeString(static_cast<long long>(total))))
                                     .arg(n)
                                     .arg(n < 2 ? "file" : "files"));
}

void CResultBrowser::ShowPreviewText(const unsigned char* pData, int nLen) {
    m_pPreviewLabel->setFont(QFont(kFontFamily, 11));
    m_pPreviewLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPreviewLabel->setText(QString::fromUtf8(RenderPreviewText(pData, nLen)));
}

void CResultBrowser::ShowPreview(const wchar_t* szPath, const unsigned char* pData, int nLen) {
    if (!m_pPreviewLabel) return;
    if (szPath[0] == 0) {
        ShowPreviewText(pData, nLen);
        return;
    }
    const QString path = QString::fromStdString(WideToUtf8(szPath));
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
