// The results page's browser: found files grouped by category and
// extension, the file table with its check boxes (or thumbnails of the
// pictures), the preview area, the selection for recovery and its summary.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QVariant>

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "JobController.h"
#include "core/IFileRecoveryParse.h"
#include "core/Records.h"

class QHBoxLayout;
class QImage;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;
class CThumbnailLoader;

// Icon resource name for a file extension.
QString GetExtendNameIcon(QString ext);

// The text rendering of an in-memory preview: zero bytes as '.', a line
// end after every 256 bytes and at the end.
std::string RenderPreviewText(const unsigned char* pData, int nLen);

class CResultBrowser : public QObject {
    Q_OBJECT
public:
    using RecoveryKey = CJobController::RecoveryKey;
    using RecoveryMap = CJobController::RecoveryMap;

    explicit CResultBrowser(QObject* parent = nullptr);

    // Forgets the previous results page (before it is deleted).
    void Clear();
    // Fills a new results page: the summary into band, the tree, preview,
    // filter and file views into page. pRecover is enabled while files are chosen.
    void Build(QVBoxLayout* page, QHBoxLayout* band, QPushButton* pRecover,
               const std::vector<__SEARCH_FILE_INFO__>& results, IFileRecoveryParse* pEngine);
    void ShowPreview(const wchar_t* szPath, const unsigned char* pData, int nLen);
    void RefreshSelection();

    // The user's actions on the tree and the table.
    void TreeItemClick(QTreeWidgetItem* item);
    void TreeSelectChanged();
    void TableItemPress(int nRow, int nColumn);
    void TableSelectChanged();

    QTreeWidget* Tree() const { return m_pResultTree; }
    QTableWidget* Table() const { return m_pFileTable; }
    QLabel* PreviewLabel() const { return m_pPreviewLabel; }
    QLabel* SummaryLabel() const { return m_pSummaryLabel; }
    QLineEdit* FilterBox() const { return m_pFilterBox; }
    QListWidget* ThumbnailView() const { return m_pThumbView; }
    QPushButton* ThumbnailButton() const { return m_pBtnThumbs; }
    QPushButton* ListButton() const { return m_pBtnList; }
    CThumbnailLoader* Thumbnails() const { return m_pThumbs; }
    const RecoveryMap& RecoveryFiles() const { return m_mapRecoveryFile; }

signals:
    // A file was chosen for preview (its _FILE_NODE_ record).
    void PreviewRequested(const QVariant& record);

private:
    QTreeWidget* CreateTree(const std::vector<__SEARCH_FILE_INFO__>& results);
    QTableWidget* CreateTable();
    void UpdateTreeInfo(QTreeWidgetItem* item, int column);
    void SetTreeChildCheckState(QTreeWidgetItem* item, int nState);
    void SetTreeParentCheckState(QTreeWidgetItem* item);
    void ShowTreeFiles(QTreeWidgetItem* item);
    void ShowPreviewText(const unsigned char* pData, int nLen);
    // The files the current tree item stands for (an extension's, or all of
    // a category's), narrowed by the filter box.
    std::vector<const __SEARCH_FILE_INFO__*> ShownFiles() const;
    void ApplyFilter();
    void ShowThumbnails(bool bThumbnails);
    void RefreshThumbnails();
    void PlaceThumbnail(int nGeneration, int nIndex, const QImage& image);
    void SelectFile(const __SEARCH_FILE_INFO__& info, bool bChosen);

    IFileRecoveryParse* m_pFileRecovery = nullptr;
    RecoveryMap m_mapRecoveryFile;
    // Check states being set by the program, not by the user.
    bool m_bUpdatingChecks = false;
    std::array<std::map<std::string, std::vector<__SEARCH_FILE_INFO__>>, 6> m_mapCategory;
    QTreeWidget* m_pResultTree = nullptr;
    QTableWidget* m_pFileTable = nullptr;
    QTreeWidgetItem* m_pCurTreeItem = nullptr;
    QLabel* m_pPreviewLabel = nullptr;
    QLabel* m_pSummaryLabel = nullptr;
    QLineEdit* m_pFilterBox = nullptr;
    QStackedWidget* m_pFileViews = nullptr;
    QListWidget* m_pThumbView = nullptr;
    QPushButton* m_pBtnList = nullptr;
    QPushButton* m_pBtnThumbs = nullptr;
    QPushButton* m_pBtnRecover = nullptr;
    CThumbnailLoader* m_pThumbs = nullptr;
    std::vector<std::pair<QListWidgetItem*, _FILE_NODE_>> m_vecThumbItems;  // the current load request
};
