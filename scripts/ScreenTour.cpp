// A scripted session for screenshots: the window on the first disk of
// FOTORETTA_DISK_DIR, a scan (with the cancel question answered No), the
// results, a photo preview, two files chosen and recovered, the detail
// list, then the thumbnails of all the photos found. Each page and dialog is saved as a PNG in OUTPUT_DIR; the files
// land in OUTPUT_DIR/recovered.
// Usage: fotoretta-tour OUTPUT_DIR   (run on a real display or Xvfb)
#include <cstdio>

#include <QtCore/QDir>
#include <QtGui/QScreen>
#include <QtTest/QTest>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QTreeWidget>

#include "DRUI.h"
#include "SCANUI.h"
#include "TestDialogs.h"

namespace {

QString g_outDir;

void Shot(const char* szName) {
    QTest::qWait(400);  // let every window paint
    const QPixmap pix = QGuiApplication::primaryScreen()->grabWindow(0);
    const QString path = QDir(g_outDir).filePath(szName);
    if (!pix.save(path)) fprintf(stderr, "fotoretta-tour: cannot save %s\n", qPrintable(path));
    else printf("%s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: fotoretta-tour OUTPUT_DIR\n");
        return 2;
    }
    g_outDir = QString::fromLocal8Bit(argv[1]);
    const QString recovered = QDir(g_outDir).filePath("recovered");
    QDir().mkpath(recovered);

    DRUI w;
    w.Init();
    w.show();
    Shot("01-categories.png");
    w.btnSlot();
    Shot("02-devices.png");

    GatedEngine* gate = nullptr;
    w.SetEngineMaker([&](const _PARTITION_ITEM_& p) -> IFileRecoveryParse* { return gate = MakeGatedEngine(p, &w); });
    w.SetDialogHook([&](SCANUI* d) {
        auto* t = new QTimer(d);
        if (d->OprType() == 1) {
            // Mid-scan: the progress, then the cancel question, answered No.
            QObject::connect(t, &QTimer::timeout, [&, d, t] {
                if (!gate || !gate->gated) return;
                t->stop();
                Shot("03-scan-progress.png");
                ModalAnswer answer([d](QWidget* m) {
                    if (!d->Question() || m != d->Question()) return false;
                    Shot("04-cancel-question.png");
                    d->Question()->btnSlotNO();
                    return true;
                });
                d->close();
                gate->release = true;
            });
        } else if (d->OprType() == 4) {
            QObject::connect(t, &QTimer::timeout, [d, t] {
                if (!d->IsFinished()) return;
                t->stop();
                Shot("08-recovery-finished.png");
                ModalAnswer answer([d](QWidget* m) {
                    if (m != d->Detail()) return false;
                    Shot("09-recovery-detail.png");
                    d->Detail()->btnSlot();
                    return true;
                });
                d->btnDetail();
                d->CancelButton()->click();
            });
        } else {
            return;
        }
        t->start(20);
    });
    w.btnSlotScan();
    if (!w.ResultTree()) return 1;
    Shot("05-results.png");

    // The first extension item of the photos: its files, the first previewed.
    QTreeWidgetItem* photos = w.ResultTree()->topLevelItemCount() ? w.ResultTree()->topLevelItem(0) : nullptr;
    if (!photos || photos->childCount() == 0) {
        fprintf(stderr, "fotoretta-tour: nothing found\n");
        return 1;
    }
    QTreeWidgetItem* ext = photos->child(0);
    for (int i = 0; i < photos->childCount(); ++i)
        if (photos->child(i)->text(0).startsWith("jpg")) ext = photos->child(i);
    w.ResultTree()->setCurrentItem(ext);
    w.FileTable()->sortItems(3, Qt::AscendingOrder);  // by original folder
    Shot("06-preview.png");
    QTableWidget* table = w.FileTable();
    for (int row = 0; row < std::min(2, table->rowCount()); ++row) table->item(row, 0)->setCheckState(Qt::Checked);
    Shot("07-two-files-chosen.png");

    ModalAnswer destination([&](QWidget* m) {
        auto* fd = qobject_cast<QFileDialog*>(m);
        if (!fd) return false;
        fd->setDirectory(recovered);
        Shot("07b-destination.png");
        QMetaObject::invokeMethod(fd, "accept");
        return true;
    });
    w.btnRecovery();
    Shot("10-results-after-recovery.png");

    // Every photo found, as thumbnails, once they are decoded.
    w.ThumbnailButton()->click();
    w.ResultTree()->setCurrentItem(photos);
    QTest::qWait(2000);
    Shot("11-thumbnails.png");
    return 0;
}
