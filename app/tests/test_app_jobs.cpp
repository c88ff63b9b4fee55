// The job driver, progress dialog, result browser and recovery flow on a
// real FAT32 card image, on the offscreen platform.
#include <gtest/gtest.h>

#include <QtCore/QDateTime>
#include <QtCore/QElapsedTimer>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtGui/QDesktopServices>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedLayout>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QTreeWidget>

#include <functional>
#include <set>
#include <sstream>

#include "DRUI.h"
#include "SCANUI.h"
#include "TestDialogs.h"
#include "ThumbnailLoader.h"
#include "core/FileOutput.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

// Picks a folder in the directory dialog of the Recover button.
std::function<bool(QWidget*)> ChooseFolder(const std::string& dir) {
    return [dir](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        if (!fd) return false;
        fd->setDirectory(QString::fromStdString(dir));
        QMetaObject::invokeMethod(fd, "accept");
        return true;
    };
}

// The photo card as the one partition of disk0; the window is built on it.
struct Card {
    TempDir dir{"jobs"};
    ScopedDataDir data{dir / "data"};
    PhotoCard photos = MakePhotoCard(dir / "vol.img", dir / "disks/disk0");
    ScopedDiskDir disks{dir / "disks"};
    DRUI w;

    Card() { w.Init(); }

    QTreeWidgetItem* Find(const QString& text) {
        auto hits = w.ResultTree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        return hits.isEmpty() ? nullptr : hits.first();
    }
    std::vector<std::string> TreeTexts() {
        std::vector<std::string> out;
        for (QTreeWidgetItemIterator it(w.ResultTree()); *it; ++it) out.push_back((*it)->text(0).toStdString());
        return out;
    }
};

// Where Open Folder sends the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QUrl url;
    Q_INVOKABLE void open(const QUrl& u) { url = u; }
};

// The table's rows as "name|modified date|folder|condition".
std::vector<std::string> Rows(QTableWidget* t) {
    std::vector<std::string> rows;
    for (int r = 0; r < t->rowCount(); ++r)
        if (!t->isRowHidden(r))
            rows.push_back(QStringList{t->item(r, 0)->text(), t->item(r, 2)->text().left(5), t->item(r, 3)->text(),
                                       t->item(r, 4)->text()}
                               .join('|')
                               .toStdString());
    return rows;
}

// Thumbnails decoded for the items of the thumbnail view.
int Decoded(DRUI& w) {
    int n = 0;
    for (int i = 0; i < w.ThumbnailView()->count(); ++i) {
        const auto node = w.ThumbnailView()->item(i)->data(Qt::UserRole).value<_FILE_NODE_>();
        n += !w.Thumbnails()->Cached({node.nEngineType, node.nFileIndex, node.uClusterNO}).isNull();
    }
    return n;
}

// What the detail list of a finished recovery shows.
struct Outcome {
    int rows = 0, success = -1, failed = -1;
    bool failedFirstInRed = false;
    QString firstName, summary, status;
};

Outcome RecoverInto(DRUI& w, const std::string& dest) {
    Outcome o;
    bool seen = false;
    w.SetDialogHook([&](SCANUI* d) {
        if (d->OprType() != 4) return;
        seen = true;
        auto* t = new QTimer(d);
        QObject::connect(t, &QTimer::timeout, [&, d, t] {
            if (!d->IsFinished()) return;
            t->stop();
            QTableWidget* table = d->Detail()->Table();
            o.rows = table->rowCount();
            o.failedFirstInRed = o.rows && table->item(0, 1)->text() == "Failed" &&
                                 table->item(0, 1)->foreground().color() == QColor(255, 0, 0);
            o.firstName = o.rows ? table->item(0, 0)->text() : QString();
            o.success = d->Detail()->SuccessCount();
            o.failed = d->Detail()->FailedCount();
            o.summary = d->Detail()->SummaryLabel()->text();
            o.status = d->StatusLabel()->text();
            EXPECT_EQ("Finished", d->CancelButton()->text());
            UrlCatcher catcher;
            QDesktopServices::setUrlHandler("file", &catcher, "open");
            d->OpenFolderButton()->click();
            QDesktopServices::unsetUrlHandler("file");
            EXPECT_EQ(QUrl::fromLocalFile(QString::fromStdString(dest)), catcher.url);
            EXPECT_TRUE(d->isVisible());  // a finished recovery waits for the user
            d->CancelButton()->click();  // finished: closes without a question
            EXPECT_FALSE(d->isVisible());
        });
        t->start(20);
    });
    ModalAnswer answer(ChooseFolder(dest));
    w.btnRecovery();
    EXPECT_TRUE(seen);
    return o;
}

}  // namespace

TEST(Jobs, ScanPreviewSelectAndRecoverIntoCategoryFolders) {
    Card card;
    // The scan's reports reach the dialog at most ten times a second.
    std::atomic<int> reports{0};
    QObject::connect(&card.w, &DRUI::ScanProcessCallBack, &card.w, [&] { ++reports; }, Qt::DirectConnection);
    QElapsedTimer clock;
    clock.start();
    card.w.btnSlotScan();
    EXPECT_LE(reports.load(), clock.elapsed() / 100 + 8) << clock.elapsed() << " ms";
    ASSERT_EQ(card.w.Page3(), card.w.StackedLayout()->currentWidget());
    EXPECT_EQ(7u, card.w.SearchResult().size());
    EXPECT_EQ((std::vector<std::string>{"Photo(5)", "jpg Files (3)", "png Files (1)", "tif Files (1)", "Music(1)",
                                        "mp3 Files (1)", "Video(1)", "mp4 Files (1)"}),
              card.TreeTexts());
    EXPECT_FALSE(card.Find("jpg Files (3)")->icon(0).isNull());
    EXPECT_TRUE(card.w.FoundLabel()->text().contains("Found 7 recoverable files"));
    EXPECT_EQ("Select 0 Bytes in 0 file", card.w.SummaryLabel()->text());
    EXPECT_FALSE(card.w.RecoverButton()->isEnabled());

    // Selecting an extension lists its files and previews the first: a
    // picture is shown as a picture, a song by its first bytes as text.
    card.w.ResultTree()->setCurrentItem(card.Find("png Files (1)"));
    ASSERT_EQ(1, card.w.FileTable()->rowCount());
    EXPECT_EQ("Beach day.png", card.w.FileTable()->item(0, 0)->text());
    EXPECT_EQ(QString::fromStdString(GetFileSizeString(ReadFile(Sample("png")).size())),
              card.w.FileTable()->item(0, 1)->text());
    EXPECT_FALSE(card.w.PreviewLabel()->pixmap().isNull());
    card.w.ResultTree()->setCurrentItem(card.Find("tif Files (1)"));
    EXPECT_FALSE(card.w.PreviewLabel()->pixmap().isNull());
    card.w.ResultTree()->setCurrentItem(card.Find("mp3 Files (1)"));
    EXPECT_TRUE(card.w.PreviewLabel()->pixmap().isNull());
    EXPECT_TRUE(card.w.PreviewLabel()->text().startsWith("ID3")) << card.w.PreviewLabel()->text().left(20).toStdString();

    // The recorded date, the folder and the condition of each file, sorted
    // by any column; the filter narrows the list by name.
    card.w.ResultTree()->setCurrentItem(card.Find("jpg Files (3)"));
    QTableWidget* table = card.w.FileTable();
    table->sortItems(3, Qt::AscendingOrder);
    const std::string year = QDateTime::currentDateTime().toString("yyyy-").toStdString();
    EXPECT_EQ((std::vector<std::string>{"Holiday photo.jpg|" + year + "|DCIM/|Good",
                                        "Same name.jpg|" + year + "|DCIM/|Good", "Same name.jpg|" + year + "|Trip/|Good"}),
              Rows(table));
    table->sortItems(1, Qt::DescendingOrder);
    EXPECT_EQ(std::string("Holiday photo.jpg"), Rows(table)[0].substr(0, 17));
    card.w.FilterBox()->setText("SAME");
    EXPECT_EQ(2u, Rows(table).size());
    // The pictures as thumbnails, decoded behind the window's back.
    card.w.ThumbnailButton()->click();
    EXPECT_EQ(2, card.w.ThumbnailView()->count());
    card.w.FilterBox()->clear();
    card.w.ResultTree()->setCurrentItem(card.Find("Photo(5)"));
    EXPECT_EQ(5, card.w.ThumbnailView()->count());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Decoded(card.w) == 5; }, 20000));
    card.w.ListButton()->click();

    // Ticking a category chooses its files; unticking one file row makes its
    // extension and category partial.
    QTreeWidgetItem* photo = card.Find("Photo(5)");
    QTreeWidgetItem* jpgs = card.Find("jpg Files (3)");
    ASSERT_TRUE(photo && jpgs);
    photo->setCheckState(0, Qt::Checked);
    EXPECT_EQ(5u, card.w.RecoveryFiles().size());
    EXPECT_EQ(Qt::Checked, jpgs->checkState(0));
    EXPECT_TRUE(card.w.RecoverButton()->isEnabled());
    unsigned long long total = 0;
    for (const auto& [key, node] : card.w.RecoveryFiles()) total += node.u64FileSize;
    EXPECT_EQ(QString("Select %1 in 5 files").arg(QString::fromStdString(GetFileSizeString(total))),
              card.w.SummaryLabel()->text());
    card.w.ResultTree()->setCurrentItem(jpgs);
    ASSERT_EQ(3, card.w.FileTable()->rowCount());
    card.w.FileTable()->item(1, 0)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(4u, card.w.RecoveryFiles().size());
    EXPECT_EQ(Qt::PartiallyChecked, jpgs->checkState(0));
    EXPECT_EQ(Qt::PartiallyChecked, photo->checkState(0));
    photo->setCheckState(0, Qt::Unchecked);
    EXPECT_TRUE(card.w.RecoveryFiles().empty());
    EXPECT_EQ(Qt::Unchecked, card.w.FileTable()->item(0, 0)->checkState());
    EXPECT_EQ("Select 0 Bytes in 0 file", card.w.SummaryLabel()->text());
    EXPECT_FALSE(card.w.RecoverButton()->isEnabled());

    // Everything chosen, into a folder where "audio" is a file (the song
    // fails) and "photo/Beach day.png" exists already; then into a folder so
    // deep that the photos' paths grow too long.
    photo->setCheckState(0, Qt::Checked);
    card.Find("Music(1)")->setCheckState(0, Qt::Checked);
    TempDir out("out");
    Sh("mkdir -p " + Quote(out / "photo") + " && echo old > " + Quote(out / "photo/Beach day.png") + " && echo x > " +
       Quote(out / "audio"));
    Outcome o = RecoverInto(card.w, out.path());
    EXPECT_EQ(6, o.rows);
    EXPECT_TRUE(o.failedFirstInRed);
    EXPECT_EQ(QString::fromStdString(out / "audio/Song.mp3"), o.firstName);
    EXPECT_EQ(5, o.success);
    EXPECT_EQ(1, o.failed);
    EXPECT_EQ("  Recovery Detail\n  Success:5 Failed:1\n", o.summary);
    EXPECT_EQ(card.photos.sha["Holiday photo.jpg"], Sha256File(out / "photo/Holiday photo.jpg"));
    EXPECT_EQ(card.photos.sha["Beach day.png"], Sha256File(out / "photo/Beach day(1).png"));
    EXPECT_EQ("old\n", Capture("cat " + Quote(out / "photo/Beach day.png")));
    // The two files of the same name, from two folders, both arrive.
    EXPECT_EQ(Sha256File(Sample("jpg")), Sha256File(out / "photo/Same name.jpg"));
    EXPECT_EQ(Sha256File(Sample("big.jpg")), Sha256File(out / "photo/Same name(1).jpg"));

    // 492 bytes of destination: "/audio/Song.mp3" still fits in 511, every
    // photo's path does not and fails instead of being cut short.
    std::string deep = out / "deep";
    while (deep.size() < 492) deep += "/" + std::string(std::min<size_t>(200, 491 - deep.size()), 'd');
    ASSERT_EQ(0, Sh("mkdir -p " + Quote(deep)));
    // Run as root for a user: what is created belongs to that user.
    const OutputOwner user{65534, 65534};
    SetDefaultOutputOwner(&user);
    o = RecoverInto(card.w, deep);
    SetDefaultOutputOwner(nullptr);
    EXPECT_EQ(1, o.success);
    EXPECT_EQ(5, o.failed);
    EXPECT_EQ(card.photos.sha["Song.mp3"], Sha256File(deep + "/audio/Song.mp3"));
    EXPECT_EQ("", Capture("ls " + Quote(deep + "/photo") + " 2>/dev/null"));
    if (IsRoot()) {
        EXPECT_EQ("65534:65534 65534:65534\n",
                  Capture("stat -c %u:%g " + Quote(deep + "/audio") + " " + Quote(deep + "/audio/Song.mp3") +
                          " | paste -sd ' '"));
    }

    // A destination with room for half of it: the recovery stops at the
    // file that does not fit, leaves none of it behind and says why.
    u64 chosen = 0;
    for (const auto& [key, node] : card.w.RecoveryFiles()) chosen += node.u64FileSize;
    TempDir small("small");
    if (IsRoot() && Sh("mount -t tmpfs -o size=" + std::to_string(chosen / 2 / 4096 * 4096) + " tmpfs " +
                       Quote(small.path())) == 0) {
        o = RecoverInto(card.w, small.path());
        Sh("cp -r " + Quote(small.path()) + " " + Quote(out / "small") + "; umount " + Quote(small.path()));
        EXPECT_TRUE(o.status.contains("The destination is full")) << o.status.toStdString();
        std::set<std::string> whole;
        for (const char* kind : {"jpg", "big.jpg", "png", "tif", "mp3"}) whole.insert(Sha256File(Sample(kind)));
        std::istringstream written(Capture("find " + Quote(out / "small") + " -type f"));
        int files = 0;
        for (std::string f; std::getline(written, f); ++files) EXPECT_EQ(1u, whole.count(Sha256File(f))) << f;
        EXPECT_EQ(o.success, files);
    }
}

// Files of two engines may share a store index and first cluster: both
// stay chosen. A preview no image reader decodes shows its first bytes.
TEST(Jobs, SelectionKeepsFilesOfDifferentEnginesApart) {
    struct Twins : GatedEngine {
        using GatedEngine::GatedEngine;
        int SearchFileNode(wchar_t*, std::vector<__SEARCH_FILE_INFO__>& out) override {
            for (u32 engine : {ENGINE_FAST_FAT, ENGINE_CARVING}) {
                __SEARCH_FILE_INFO__ f{};
                f.nEngineType = engine;
                f.nFileIndex = 7;
                f.u64FileSize = 100;
                snprintf(f.szFileName, sizeof f.szFileName, "twin%u.jpg", engine);
                out.push_back(f);
            }
            return 0;
        }
        // A "picture" that no image reader takes.
        int PreView(_FILE_NODE_*, wchar_t* szTempPath, unsigned char*, int& nLen, PreviewProgressFunc f,
                    void* p) override {
            const std::string path = GetScanLogDir() + "tmp.jpg";
            WriteFile(path, "not a picture", 13);
            const std::wstring w = Utf8ToWide(path);
            std::wmemcpy(szTempPath, w.c_str(), w.size() + 1);
            nLen = 0;
            return f(p, 100, 0);
        }
    };
    Card card;
    card.w.SetEngineMaker([&](const _PARTITION_ITEM_& p) -> IFileRecoveryParse* {
        auto* twins = new Twins(CreateEngineFor(p), &card.w);
        twins->release = true;
        return twins;
    });
    card.w.btnSlotScan();
    card.Find("Photo(2)")->setCheckState(0, Qt::Checked);
    EXPECT_EQ(2u, card.w.RecoveryFiles().size());
    EXPECT_EQ("Select 200 Bytes in 2 files", card.w.SummaryLabel()->text());
    // Its preview cannot be decoded: the first bytes show as text.
    card.w.ResultTree()->setCurrentItem(card.Find("jpg Files (2)"));
    EXPECT_EQ("not a picture\r\n", card.w.PreviewLabel()->text());
}

// A view change abandons the thumbnail being decoded: the new view's come
// at once, whatever the old one's cost.
TEST(Jobs, ThumbnailsOfAnAbandonedViewAreLeft) {
    struct SlowJpegs : GatedEngine {
        using GatedEngine::GatedEngine;
        std::atomic<int> inside{0}, left{0};
        int PreView(_FILE_NODE_* n, wchar_t* t, unsigned char* b, int& l, PreviewProgressFunc f, void* p) override {
            if (!QString(n->szFileName).endsWith(".jpg") || p == m_window) return GatedEngine::PreView(n, t, b, l, f, p);
            ++inside;
            for (int i = 0; i < 1000; ++i, QThread::msleep(5))
                if (f(p, 1, 0)) {
                    ++left;
                    return 1;
                }
            return GatedEngine::PreView(n, t, b, l, f, p);
        }
        const void* m_window = nullptr;
    };
    Card card;
    SlowJpegs* engine = nullptr;
    card.w.SetEngineMaker([&](const _PARTITION_ITEM_& p) -> IFileRecoveryParse* {
        engine = new SlowJpegs(CreateEngineFor(p), &card.w);
        engine->release = true;
        engine->m_window = card.w.Jobs();  // the preview job reports to the window's job controller
        return engine;
    });
    card.w.btnSlotScan();
    card.w.ThumbnailButton()->click();
    card.w.ResultTree()->setCurrentItem(card.Find("jpg Files (3)"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return engine->inside > 0; }, 10000));
    QElapsedTimer clock;
    clock.start();
    card.w.ResultTree()->setCurrentItem(card.Find("png Files (1)"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Decoded(card.w) == 1; }, 3000));
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(engine->inside.load(), engine->left.load());  // each one left, none finished
}

// Quitting while a scan runs asks the scan's question; Yes stops its worker.
TEST(Jobs, QuittingDuringAScanStopsIt) {
    Card card;
    QString question;
    ModalAnswer yes([&](QWidget* m) {
        auto* box = qobject_cast<CMessageBox*>(m);
        if (!box) return false;
        question = box->TextLabel()->text();
        box->btnSlotOK();
        return true;
    });
    GatedEngine* gate = nullptr;
    card.w.SetEngineMaker([&](const _PARTITION_ITEM_& p) -> IFileRecoveryParse* { return gate = MakeGatedEngine(p, &card.w); });
    QTimer quit;
    QObject::connect(&quit, &QTimer::timeout, [&] {
        if (gate && gate->gated) QCoreApplication::quit();
    });
    quit.start(10);
    QTimer::singleShot(0, &card.w, [&] { card.w.btnSlotScan(); });
    QApplication::exec();
    EXPECT_EQ("Are you sure to cancel the scanning?", question);
    EXPECT_TRUE(gate && gate->gated && card.w.ScanCancelRequested());
}

// Closing the scan dialog asks first: No keeps the scan going to its end,
// Yes stops it and the files stored so far are still listed.
TEST(Jobs, CancellingAScanAsksAndKeepsWhatWasFound) {
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        Card card;
        GatedEngine* gate = nullptr;
        card.w.SetEngineMaker([&](const _PARTITION_ITEM_& p) -> IFileRecoveryParse* {
            return gate = MakeGatedEngine(p, &card.w);
        });
        bool cancelled = false, openAfterAnswer = false;
        QString question;
        card.w.SetDialogHook([&](SCANUI* d) {
            if (d->OprType() != 1) return;
            auto* t = new QTimer(d);
            QObject::connect(t, &QTimer::timeout, [&, d, t] {
                if (!gate || !gate->gated) return;
                t->stop();
                ModalAnswer answer([&, d](QWidget* m) {
                    CMessageBox* box = d->Question();
                    if (!box || m != box) return false;
                    question = box->TextLabel()->text();
                    yes ? box->btnSlotOK() : box->btnSlotNO();
                    return true;
                });
                d->close();  // returns once the question is answered
                cancelled = d->WasCancelled();
                openAfterAnswer = d->isVisible();
                gate->release = true;
            });
            t->start(10);
        });
        card.w.btnSlotScan();
        EXPECT_EQ("Are you sure to cancel the scanning?", question);
        EXPECT_EQ(yes, cancelled);
        EXPECT_TRUE(openAfterAnswer);  // Yes waits for the worker too
        ASSERT_EQ(card.w.Page3(), card.w.StackedLayout()->currentWidget());
        EXPECT_EQ(7u, card.w.SearchResult().size());
    }
}

// The progress texts of sample scan reports, and when a dialog closes; a
// finished recovery's dialog is checked in the recovery flow above.
TEST(ProgressDialog, ScanAndRecoveryReports) {
    struct Report {
        int progress, percent, remain;
        const char *cur, *count, *found;
        int bar;
        const char* status;
        bool finished;
    };
    const Report reports[] = {
        {45, 90, 120, "1000", "5000", "12", 40,
         "  Current Process: 40%\n  Reading Sector: 1000/5000\n  Total Files Found: 12\n  Estimated Time Left: 2 Min 0 Sec\n", false},
        {45, 90, -1, "1000", "5000", "12", 40,
         "  Current Process: 40%\n  Reading Sector: 1000/5000\n  Total Files Found: 12\n  Estimated time is calculating\n", false},
        {110, 90, 5, "9", "9", "1", 99, nullptr, false},
        {50, 100, 0, "0", "0", "0", 50, "  Current Process: 50%\n  Estimated time is calculating\n", false},
        {99, 100, 0, "0", "0", "0", 99, nullptr, false},
        {100, 100, 0, "0", "0", "0", 100, nullptr, true},
    };
    DRUI w;
    w.Init();
    for (const Report& r : reports) {
        SCANUI d(&w);
        d.InitSlot(w.Jobs(), 1);
        d.show();
        d.ScanProcessCallBackSlot(r.progress, r.percent, r.remain, r.cur, r.count, r.found, QString());
        EXPECT_EQ(r.bar, d.ProgressBar()->value()) << r.progress << "," << r.percent;
        if (r.status) {
            EXPECT_EQ(r.status, d.StatusLabel()->text());
        }
        EXPECT_EQ(r.finished, d.IsFinished());
        EXPECT_EQ(!r.finished, d.isVisible());
        d.JobEndedSlot();  // the worker ended: the dialog goes without a question
        EXPECT_FALSE(d.isVisible());
    }
    // A recovery report moves the bar the same way.
    SCANUI rec(&w);
    rec.InitSlot(w.Jobs(), 4);
    rec.show();
    rec.RecoveryCallBackSlot(40, 100, 0, "/out/photo/a.jpg");
    EXPECT_EQ(40, rec.ProgressBar()->value());
}

// Unprintable bytes show as dots, and a line ends every 256 bytes.
TEST(Preview, TextRenderingBreaksLinesEvery256Bytes) {
    std::vector<unsigned char> data(512, 'a');
    data[0] = 0;
    EXPECT_EQ("." + std::string(255, 'a') + "\r\n" + std::string(44, 'a') + "\r\n", RenderPreviewText(data.data(), 300));
    EXPECT_EQ(512u + 4, RenderPreviewText(data.data(), 512).size());
    EXPECT_EQ("", RenderPreviewText(data.data(), 0));
}

// A destination on the file system of the device being recovered (a loop
// device mounted through FUSE) is refused with a message before anything
// is written.
TEST(Jobs, RefusesADestinationOnTheScannedDevice) {
    FR_REQUIRE(IsRoot() && HaveTool("losetup") && NtfsImage::Available(), "needs root, losetup and ntfs-3g");
    TempDir d("jobsdev");
    ScopedDiskDir disks(d.path());  // no other disks
    ScopedDataDir data(d / "data");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 16);
    const std::string loop = CaptureLine("losetup -f --show " + Quote(img.path) + " 2>/dev/null");
    FR_REQUIRE(!loop.empty(), "no loop device available");
    const std::string mnt = d / "mnt", out = mnt + "/out";
    Sh("mkdir -p " + Quote(mnt));
    const bool mounted = Sh("ntfs-3g " + Quote(loop) + " " + Quote(mnt)) == 0;
    QString message;
    bool recoveryStarted = false;
    size_t found = 0;
    if (mounted) {
        Sh("cp " + Quote(Sample("big.jpg")) + " " + Quote(mnt + "/party.jpg") + " && mkdir " + Quote(out) +
           " && sync && rm " + Quote(mnt + "/party.jpg") + " && sync");
        DRUI w;
        w.Init();
        EXPECT_TRUE(w.AddImageDisk(QString::fromStdString(loop)));
        w.btnSlotScan();
        if ((found = w.SearchResult().size()) > 0) {
            w.ResultTree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
            w.SetDialogHook([&](SCANUI* s) { recoveryStarted |= s->OprType() == 4; });
            ModalAnswer answer([&](QWidget* m) {
                if (ChooseFolder(out)(m)) return false;
                auto* box = qobject_cast<CMessageBox*>(m);
                if (!box) return false;
                message = box->TextLabel()->text();
                box->btnSlotOK();
                return true;
            });
            w.btnRecovery();
        }
        EXPECT_EQ("", Capture("ls -A " + Quote(out)));
        Sh("fusermount -u " + Quote(mnt) + " || umount " + Quote(mnt));
    }
    Sh("losetup -d " + Quote(loop));
    FR_REQUIRE(mounted, "mounting the loop device is not permitted here");
    ASSERT_GT(found, 0u);
    EXPECT_FALSE(recoveryStarted);
    EXPECT_TRUE(message.contains("is on the disk being recovered")) << message.toStdString();
}

// Another card in the same reader (the same device, the same size): the
// rescan lists what is on that card, never the first card's files.
TEST(Jobs, RescanOfAnotherCardListsOnlyItsOwnFiles) {
    FR_REQUIRE(IsRoot() && HaveTool("losetup"), "needs root and losetup");
    TempDir d("jobsrescan");
    ScopedDiskDir disks(d.path());
    ScopedDataDir data(d / "data");
    PhotoCard photos = MakePhotoCard(d / "vol.img", d / "card/disk.img");
    const std::string loop = CaptureLine("losetup -f --show " + Quote(photos.volume) + " 2>/dev/null");
    FR_REQUIRE(!loop.empty(), "no loop device available");
    size_t first = 0, second = 0;
    {
        DRUI w;
        w.Init();
        EXPECT_TRUE(w.AddImageDisk(QString::fromStdString(loop)));
        w.btnSlotScan();
        first = w.SearchResult().size();
        Sh("dd if=/dev/zero of=" + Quote(loop) + " bs=1M count=40 status=none 2>/dev/null; sync");
        w.btnSlotScan();
        second = w.SearchResult().size();
    }
    Sh("losetup -d " + Quote(loop));
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(second, 0u);
}

#include "test_app_jobs.moc"
