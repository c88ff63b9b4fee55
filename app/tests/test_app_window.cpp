// The main window on the offscreen platform: the category boxes, navigation,
// the device tree and "Open Disk Image…".
#include <gtest/gtest.h>

#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStackedLayout>
#include <QtWidgets/QTreeWidget>

#include "DRUI.h"
#include "TestDialogs.h"
#include "core/MetaTypes.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

// A disk directory; with disks, disk0 holds partitions of 2048 and 4096
// sectors and disk1 one of 2048.
struct Window {
    TempDir dir{"ui"};
    ScopedDiskDir disks{dir.path()};
    DRUI w;
    explicit Window(bool withDisks) {
        if (withDisks) {
            MakePartitionedDisk(dir / "disk0", 16384, "dos", {{2048, 2048, "c", ""}, {4096, 4096, "7", ""}});
            MakePartitionedDisk(dir / "disk1", 8192, "dos", {{2048, 2048, "c", ""}});
        }
        w.Init();
    }
};

_PARTITION_ITEM_ PartitionOf(QTreeWidgetItem* item) { return item->data(0, Qt::UserRole).value<_PARTITION_ITEM_>(); }

}  // namespace

// The master box follows the three visible categories, and Start needs one;
// it leads to an empty device list here.
TEST(MainWindow, CategoriesLeadToTheDeviceList) {
    Window win(false);
    DRUI& w = win.w;
    auto visible = {w.PhotoBox(), w.MusicBox(), w.VideoBox()};
    auto expect = [&](Qt::CheckState all, bool start) {
        EXPECT_EQ(all, w.RecoverAllBox()->checkState());
        EXPECT_EQ(start, w.StartButton()->isEnabled());
    };
    expect(Qt::Checked, true);
    w.PhotoBox()->click();
    expect(Qt::PartiallyChecked, true);
    w.MusicBox()->click();
    w.VideoBox()->click();
    expect(Qt::Unchecked, false);
    w.RecoverAllBox()->click();  // unchecked -> every category
    expect(Qt::Checked, true);
    for (QCheckBox* b : visible) EXPECT_TRUE(b->isChecked());
    w.RecoverAllBox()->click();  // checked -> none
    expect(Qt::Unchecked, false);
    for (QCheckBox* b : visible) EXPECT_FALSE(b->isChecked());
    w.VideoBox()->click();
    w.RecoverAllBox()->click();  // partial -> every category
    expect(Qt::Checked, true);
    // The hidden categories never change.
    for (QCheckBox* b : {w.OfficeBox(), w.ArchiveBox(), w.OtherBox()}) EXPECT_FALSE(b->isChecked());

    w.show();
    QTest::mouseClick(w.StartButton(), Qt::LeftButton);
    EXPECT_EQ(w.Page2(), w.StackedLayout()->currentWidget());
    // No disks: nothing to scan.
    EXPECT_EQ(0, w.DiskTree()->topLevelItemCount());
    EXPECT_FALSE(w.ScanButton()->isEnabled());
    QTest::mouseClick(w.BackButton(), Qt::LeftButton);
    EXPECT_EQ(w.Page1(), w.StackedLayout()->currentWidget());
}

// The enumerator's disks and partitions, where only partitions scan; then
// "Open Disk Image…" adds a disk.
TEST(DeviceTree, DisksPartitionsAndOpenedImages) {
    Window win(true);
    DRUI& w = win.w;
    QTreeWidget* tree = w.DiskTree();
    ASSERT_EQ(2, tree->topLevelItemCount());
    QTreeWidgetItem* d0 = tree->topLevelItem(0);
    EXPECT_EQ("Physical Drive 1", d0->text(0));
    EXPECT_FALSE(d0->data(0, Qt::UserRole).isValid());  // disks carry no partition record
    ASSERT_EQ(2, d0->childCount());
    ASSERT_EQ(1, tree->topLevelItem(1)->childCount());
    EXPECT_EQ("Partition 1", d0->child(0)->text(0));
    EXPECT_EQ("1.00 MB", d0->child(0)->text(1));  // sectors 2048..4095
    EXPECT_EQ(win.dir / "disk0", std::string(PartitionOf(d0->child(0)).szDiskName));
    EXPECT_EQ(1, PartitionOf(tree->topLevelItem(1)->child(0)).nDiskNumber);
    // The last partition of the last disk is current, so Scan starts enabled.
    EXPECT_EQ(tree->topLevelItem(1)->child(0), tree->currentItem());
    EXPECT_TRUE(w.ScanButton()->isEnabled());

    // Scan is enabled, and a double click scans, only on items with a
    // partition record.
    QSignalSpy scans(&w, &DRUI::ScanRequested);
    w.diskItemClick(d0, 0);
    EXPECT_FALSE(w.ScanButton()->isEnabled());
    w.diskItemDoubleClick(d0, 0);
    EXPECT_EQ(0, scans.count());
    w.diskItemClick(d0->child(1), 0);
    EXPECT_TRUE(w.ScanButton()->isEnabled());
    w.diskItemDoubleClick(d0->child(1), 0);
    ASSERT_EQ(1, scans.count());
    EXPECT_EQ(4096u, w.PartitionItem().u64StartSector);
    EXPECT_EQ(8191u, w.PartitionItem().u64EndSector);

    // An opened image is a disk of its own, current at once.
    const std::string parted = win.dir / "card.img";
    MakePartitionedDisk(parted, 8192, "gpt", {{2048, 4096, "linux", "Photos"}});
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(parted)));
    ASSERT_EQ(3, tree->topLevelItemCount());
    QTreeWidgetItem* img = tree->topLevelItem(2);
    EXPECT_EQ("Disk Image card.img", img->text(0));
    ASSERT_EQ(1, img->childCount());
    EXPECT_EQ("Photos", img->child(0)->text(0));
    _PARTITION_ITEM_ p = PartitionOf(img->child(0));
    EXPECT_GE(p.nDiskNumber, FR_FIRST_IMAGE_DISK);
    EXPECT_EQ(parted, GetDiskDevicePath(p.nDiskNumber));
    EXPECT_EQ(img->child(0), tree->currentItem());
    // The same image again adds nothing.
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(parted)));
    EXPECT_EQ(3, tree->topLevelItemCount());

    // An image without a table is one volume over the whole file.
    const std::string bare = win.dir / "sd.dd";
    WriteFile(bare, std::vector<unsigned char>(3 << 20, 0));
    ASSERT_TRUE(w.AddImageDisk(QString::fromStdString(bare)));
    ASSERT_EQ(4, tree->topLevelItemCount());
    p = PartitionOf(tree->topLevelItem(3)->child(0));
    EXPECT_EQ(0u, p.u64StartSector);
    EXPECT_EQ(6143u, p.u64EndSector);

    // What cannot be an image is refused.
    WriteFile(win.dir / "tiny.img", std::vector<unsigned char>(100, 0));
    for (const char* bad : {"missing.img", "", "tiny.img"})
        EXPECT_FALSE(w.AddImageDisk(QString::fromStdString(win.dir / bad))) << bad;
    EXPECT_EQ(4, tree->topLevelItemCount());
}
