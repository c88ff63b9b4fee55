// The main window: category boxes, navigation, the device tree and the
// image button, on the offscreen platform.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QtGui/QKeyEvent>
#include <QtGui/QPixmap>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedLayout>
#include <QtWidgets/QTreeWidget>

#include "DRUI.h"
#include "Styles.h"
#include "core/MetaTypes.h"
#include "core/Platform.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

// A disk directory with two partitioned disks: disk0 holds partitions of
// 2048 and 4096 sectors, disk1 one of 2048.
struct DiskDir {
    TempDir dir{"ui"};
    DiskDir() {
        MakePartitionedDisk(dir.path() + "/disk0", 16384, "dos", {{2048, 2048, "c", ""}, {4096, 4096, "7", ""}});
        MakePartitionedDisk(dir.path() + "/disk1", 8192, "dos", {{2048, 2048, "c", ""}});
        setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1);
    }
    ~DiskDir() {
        unsetenv("FOTORETTA_DISK_DIR");
        ClearRegisteredImageDisks();
    }
};

struct EmptyDiskDir {
    TempDir dir{"ui"};
    EmptyDiskDir() { setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1); }
    ~EmptyDiskDir() {
        unsetenv("FOTORETTA_DISK_DIR");
        ClearRegisteredImageDisks();
    }
};

bool StartEnabled(DRUI& w) {
    const bool on = w.StartButton()->isEnabled();
    EXPECT_EQ(QString(on ? main_button_style : main_button_style_no_file), w.StartButton()->styleSheet());
    return on;
}

bool ScanEnabled(DRUI& w) {
    const bool on = w.ScanButton()->isEnabled();
    EXPECT_EQ(QString(on ? main_button_style : main_button_style_no_file), w.ScanButton()->styleSheet());
    return on;
}

_PARTITION_ITEM_ PartitionOf(QTreeWidgetItem* item) { return item->data(0, Qt::UserRole).value<_PARTITION_ITEM_>(); }

}  // namespace

TEST(MainWindow, FramelessFixedSizeOnPageOne) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(QSize(1000, 660), w.minimumSize());
    EXPECT_EQ(QSize(1000, 660), w.maximumSize());
    EXPECT_EQ("Fotoretta", w.windowTitle());
    EXPECT_EQ(w.Page1(), w.StackedLayout()->currentWidget());
    // Visible categories start checked; the others exist, hidden and unchecked.
    for (QCheckBox* b : {w.PhotoBox(), w.MusicBox(), w.VideoBox()}) EXPECT_TRUE(b->isChecked());
    for (QCheckBox* b : {w.OfficeBox(), w.ArchiveBox(), w.OtherBox()}) {
        EXPECT_FALSE(b->isChecked());
        EXPECT_TRUE(b->isHidden());
    }
    EXPECT_EQ(Qt::Checked, w.RecoverAllBox()->checkState());
    EXPECT_TRUE(StartEnabled(w));
}

TEST(MainWindow, RecoverAllFollowsTheCategories) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    w.PhotoBox()->click();  // Photo off, Music and Video on
    EXPECT_EQ(Qt::PartiallyChecked, w.RecoverAllBox()->checkState());
    EXPECT_TRUE(StartEnabled(w));
    EXPECT_TRUE(w.MusicBox()->isChecked());
    EXPECT_TRUE(w.VideoBox()->isChecked());
    w.MusicBox()->click();
    EXPECT_EQ(Qt::PartiallyChecked, w.RecoverAllBox()->checkState());
    EXPECT_TRUE(StartEnabled(w));
    w.VideoBox()->click();  // all off
    EXPECT_EQ(Qt::Unchecked, w.RecoverAllBox()->checkState());
    EXPECT_FALSE(StartEnabled(w));

    // A click on the unchecked master box checks it and every category.
    w.RecoverAllBox()->click();
    EXPECT_EQ(Qt::Checked, w.RecoverAllBox()->checkState());
    for (QCheckBox* b : {w.PhotoBox(), w.MusicBox(), w.VideoBox()}) EXPECT_TRUE(b->isChecked());
    EXPECT_TRUE(StartEnabled(w));

    // Unchecking the master box clears every category and disables Start.
    w.RecoverAllBox()->click();
    EXPECT_EQ(Qt::Unchecked, w.RecoverAllBox()->checkState());
    for (QCheckBox* b : {w.PhotoBox(), w.MusicBox(), w.VideoBox()}) EXPECT_FALSE(b->isChecked());
    EXPECT_FALSE(StartEnabled(w));

    // One category back on: partial, Start enabled; a click on the partial
    // master box then takes every category.
    w.VideoBox()->click();
    EXPECT_EQ(Qt::PartiallyChecked, w.RecoverAllBox()->checkState());
    EXPECT_TRUE(StartEnabled(w));
    EXPECT_FALSE(w.PhotoBox()->isChecked());
    w.RecoverAllBox()->click();
    EXPECT_EQ(Qt::Checked, w.RecoverAllBox()->checkState());
    for (QCheckBox* b : {w.PhotoBox(), w.MusicBox(), w.VideoBox()}) EXPECT_TRUE(b->isChecked());
    // The hidden categories never change.
    for (QCheckBox* b : {w.OfficeBox(), w.ArchiveBox(), w.OtherBox()}) EXPECT_FALSE(b->isChecked());
}

TEST(MainWindow, StartAndBackNavigate) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    w.show();
    QTest::mouseClick(w.StartButton(), Qt::LeftButton);
    EXPECT_EQ(w.Page2(), w.StackedLayout()->currentWidget());
    QTest::mouseClick(w.BackButton(), Qt::LeftButton);
    EXPECT_EQ(w.Page1(), w.StackedLayout()->currentWidget());
}

TEST(DeviceTree, DisksAndPartitionsFromTheEnumerator) {
    DiskDir disks;
    DRUI w;
    w.Init();
    QTreeWidget* tree = w.DiskTree();
    EXPECT_EQ(2, tree->columnCount());
    EXPECT_EQ("Name", tree->headerItem()->text(0));
    EXPECT_EQ("Size", tree->headerItem()->text(1));
    ASSERT_EQ(2, tree->topLevelItemCount());
    QTreeWidgetItem* d0 = tree->topLevelItem(0);
    QTreeWidgetItem* d1 = tree->topLevelItem(1);
    EXPECT_EQ("Physical Drive 1", d0->text(0));
    EXPECT_EQ("Physical Drive 2", d1->text(0));
    EXPECT_TRUE(d0->isExpanded());
    EXPECT_TRUE(d1->isExpanded());
    EXPECT_FALSE(d0->data(0, Qt::UserRole).isValid());  // disks carry no partition record
    ASSERT_EQ(2, d0->childCount());
    ASSERT_EQ(1, d1->childCount());
    EXPECT_EQ("Partition 1", d0->child(0)->text(0));
    EXPECT_EQ("1.00 MB", d0->child(0)->text(1));  // sectors 2048..4095
    EXPECT_EQ("2.00 MB", d0->child(1)->text(1));
    _PARTITION_ITEM_ p = PartitionOf(d0->child(0));
    EXPECT_EQ(2048u, p.u64StartSector);
    EXPECT_EQ(4095u, p.u64EndSector);
    EXPECT_EQ(0, p.nDiskNumber);
    EXPECT_EQ(disks.dir.path() + "/disk0", std::string(p.szDiskName));
    EXPECT_EQ(1, PartitionOf(d1->child(0)).nDiskNumber);
    // The last partition of the last disk is current, so Scan starts enabled.
    EXPECT_EQ(d1->child(0), tree->currentItem());
    EXPECT_TRUE(ScanEnabled(w));
}

TEST(DeviceTree, ScanOnlyOnPartitions) {
    DiskDir disks;
    DRUI w;
    w.Init();
    QSignalSpy scans(&w, &DRUI::ScanRequested);
    QTreeWidget* tree = w.DiskTree();
    QTreeWidgetItem* d0 = tree->topLevelItem(0);
    w.diskItemClick(d0, 0);
    EXPECT_FALSE(ScanEnabled(w));
    w.diskItemDoubleClick(d0, 0);
    EXPECT_EQ(0, scans.count());
    w.diskItemClick(d0->child(1), 0);
    EXPECT_TRUE(ScanEnabled(w));
    w.diskItemDoubleClick(d0->child(1), 0);
    ASSERT_EQ(1, scans.count());
    EXPECT_EQ(4096u, w.PartitionItem().u64StartSector);
    EXPECT_EQ(8191u, w.PartitionItem().u64EndSector);
    w.diskItemClick(nullptr, 0);  // nothing happens
    EXPECT_TRUE(ScanEnabled(w));
}

TEST(DeviceTree, NoDisksLeavesScanDisabled) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    EXPECT_EQ(0, w.DiskTree()->topLevelItemCount());
    EXPECT_EQ(nullptr, w.DiskTree()->currentItem());
    EXPECT_FALSE(ScanEnabled(w));
}

TEST(DeviceTree, OpenDiskImageAddsADisk) {
    DiskDir disks;
    TempDir images("img");
    DRUI w;
    w.Init();
    QTreeWidget* tree = w.DiskTree();
    w.diskItemClick(tree->topLevelItem(0), 0);
    ASSERT_FALSE(ScanEnabled(w));

    // A partitioned image: its own disk with its partitions.
    const std::string parted = images.path() + "/card.img";
    MakePartitionedDisk(parted, 8192, "gpt", {{2048, 4096, "linux", "Photos"}});
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(parted)));
    ASSERT_EQ(3, tree->topLevelItemCount());
    QTreeWidgetItem* img = tree->topLevelItem(2);
    EXPECT_EQ("Disk Image card.img", img->text(0));
    ASSERT_EQ(1, img->childCount());
    EXPECT_EQ("Photos", img->child(0)->text(0));
    EXPECT_EQ("2.00 MB", img->child(0)->text(1));
    _PARTITION_ITEM_ p = PartitionOf(img->child(0));
    EXPECT_GE(p.nDiskNumber, FR_FIRST_IMAGE_DISK);
    EXPECT_EQ(2048u, p.u64StartSector);
    EXPECT_EQ(parted, GetDiskDevicePath(p.nDiskNumber));
    EXPECT_EQ(img->child(0), tree->currentItem());
    EXPECT_TRUE(ScanEnabled(w));

    // The same image again adds nothing.
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(parted)));
    EXPECT_EQ(3, tree->topLevelItemCount());

    // An image without a table is one volume over the whole file.
    const std::string bare = images.path() + "/sd.dd";
    std::vector<unsigned char> zeros(3 * 1024 * 1024, 0);
    WriteFile(bare, zeros);
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(bare)));
    ASSERT_EQ(4, tree->topLevelItemCount());
    QTreeWidgetItem* whole = tree->topLevelItem(3);
    ASSERT_EQ(1, whole->childCount());
    EXPECT_EQ("sd.dd", whole->child(0)->text(0));
    EXPECT_EQ("3.00 MB", whole->child(0)->text(1));
    p = PartitionOf(whole->child(0));
    EXPECT_EQ(0u, p.u64StartSector);
    EXPECT_EQ(6143u, p.u64EndSector);
    EXPECT_EQ(bare, std::string(p.szDiskName));

    // What cannot be an image is refused.
    EXPECT_FALSE(w.AddImageDisk(QString::fromStdString(images.path() + "/missing.img")));
    EXPECT_FALSE(w.AddImageDisk(QString::fromStdString(images.path())));
    WriteFile(images.path() + "/tiny.img", std::vector<unsigned char>(100, 0));
    EXPECT_FALSE(w.AddImageDisk(QString::fromStdString(images.path() + "/tiny.img")));
    EXPECT_EQ(4, tree->topLevelItemCount());
}

TEST(MainWindow, EscapeIsSwallowedAndRightClickCloses) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&w, &esc);
    EXPECT_TRUE(esc.isAccepted());
    EXPECT_TRUE(w.isVisible());
    QTest::mouseClick(&w, Qt::RightButton, Qt::NoModifier, QPoint(500, 400));
    EXPECT_FALSE(w.isVisible());
}

TEST(MainWindow, LeftDragMovesTheWindow) {
    EmptyDiskDir disks;
    DRUI w;
    w.Init();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();
    const QPoint grab = w.frameGeometry().topLeft() + QPoint(500, 400);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(500, 400), QPointF(grab), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(530, 420), QPointF(grab + QPoint(30, 20)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &move);
    EXPECT_EQ(start + QPoint(30, 20), w.pos());
}

TEST(Icons, EveryResourceNameIsAPicture) {
    for (const char* name : {"close", "minimize", "about", "support", "help", "photo", "music", "video",
                             "scan_files", "physical_drive", "drive", "recover_file", "question"}) {
        QPixmap pix(QString(":/image/%1.png").arg(name));
        EXPECT_FALSE(pix.isNull()) << name;
        EXPECT_GE(pix.width(), 24) << name;
    }
    for (const char* name : {"image", "audio_default", "office_default", "video_default", "zip", "other", "jpg",
                             "tif", "mp3", "pdf", "7z", "default", "photo_default"}) {
        EXPECT_FALSE(QPixmap(QString(":/image/FileIcon/%1.png").arg(name)).isNull()) << name;
    }
}
