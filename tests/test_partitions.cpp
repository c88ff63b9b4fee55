// Partition enumeration over real sfdisk-made MBR and GPT images and
// hand-made Apple Partition Maps, through FOTORETTA_DISK_DIR.
#include <gtest/gtest.h>

#include <cstring>

#include "core/PartitionManager.h"
#include "core/Platform.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

using carvekit::Put;
using namespace testkit;

namespace {

class PartitionTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1);
        ClearRegisteredImageDisks();
    }
    void TearDown() override { unsetenv("FOTORETTA_DISK_DIR"); }
    std::string Disk(int n) const { return dir / ("disk" + std::to_string(n)); }
    std::map<int, std::vector<_PARTITION_ITEM_>> Enumerate() {
        std::map<int, std::vector<_PARTITION_ITEM_>> m;
        CPartitionManager pm;
        EXPECT_EQ(pm.GetPartitionItems(m), 1);
        return m;
    }
    TempDir dir{"parts"};
};

struct Entry {
    int slot;
    unsigned char type;
    uint32_t first, count;
};
// A partition table (MBR or EBR) at sector: its entries and 55 AA.
void PutTable(std::vector<unsigned char>& d, size_t sector, std::initializer_list<Entry> entries) {
    const size_t t = sector * 512;
    Put(d, t + 510, 0x55AA, 2, true);
    for (const Entry& e : entries) {
        d[t + 446 + 16 * e.slot + 4] = e.type;
        Put(d, t + 446 + 16 * e.slot + 8, e.first, 4);
        Put(d, t + 446 + 16 * e.slot + 12, e.count, 4);
    }
}

std::vector<unsigned char> ApmDisk(uint32_t count, size_t entries) {
    std::vector<unsigned char> d(512 * (1 + entries) + 4096, 0);
    d[0] = 'E';
    d[1] = 'R';
    for (size_t i = 0; i < entries; ++i) {
        size_t e = 512 * (1 + i);
        d[e] = 'P';
        d[e + 1] = 'M';
        Put(d, e + 4, count, 4, true);
        Put(d, e + 8, static_cast<uint32_t>(64 + 1000 * i), 4, true);  // physical first block
        std::string name = "Part" + std::to_string(i);
        memcpy(&d[e + 16], name.data(), name.size());
        Put(d, e + 80, 2, 4, true);    // data starts 2 blocks in
        Put(d, e + 84, 500, 4, true);  // 500 data blocks
    }
    return d;
}

}  // namespace

TEST_F(PartitionTest, MbrWithExtendedChainNumbersAcrossDisks) {
    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk missing");
    // Disk 0: two primaries and an extended partition with three logicals.
    MakePartitionedDisk(Disk(0), 40960, "dos",
                        {{2048, 4096, "c", ""}, {6144, 4096, "7", ""}, {10240, 30000, "5", ""}});
    Sh("printf '%s\\n' 'start=12288, size=2048, type=83' 'start=16384, size=2048, type=83' "
       "'start=20480, size=4096, type=c' | sfdisk --no-reread --no-tell-kernel -q -a " + Quote(Disk(0)));
    // Disk 2 (a gap at 1 must not stop the walk): one primary.
    MakePartitionedDisk(Disk(2), 8192, "dos", {{2048, 4096, "c", ""}});

    auto m = Enumerate();
    ASSERT_EQ(m.count(0), 1u);
    ASSERT_EQ(m.count(1), 0u);
    ASSERT_EQ(m.count(2), 1u);
    const auto& d0 = m[0];
    ASSERT_EQ(d0.size(), 5u);
    // Logicals follow their EBRs: sfdisk leaves 2048 sectors before each.
    const u64 starts[] = {2048, 6144, 12288, 16384, 20480}, sizes[] = {4096, 4096, 2048, 2048, 4096};
    for (size_t i = 0; i < d0.size(); ++i) {
        EXPECT_EQ(d0[i].u64StartSector, starts[i]);
        EXPECT_EQ(d0[i].u64EndSector, starts[i] + sizes[i] - 1);
        EXPECT_EQ(GetPartitionName(d0[i]), "Partition " + std::to_string(i + 1));
        EXPECT_EQ(d0[i].nDiskNumber, 0);
        EXPECT_STREQ(d0[i].szDiskName, Disk(0).c_str());
    }
    ASSERT_EQ(m[2].size(), 1u);
    EXPECT_EQ(GetPartitionName(m[2][0]), "Partition 6");  // numbering runs on across disks

    // A new enumeration starts counting from 1 again.
    auto again = Enumerate();
    EXPECT_EQ(GetPartitionName(again[0][0]), "Partition 1");
}

TEST_F(PartitionTest, GptNamesAndBounds) {
    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk missing");
    MakePartitionedDisk(Disk(0), 65536, "gpt",
                        {{2048, 8192, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Photos"},
                         {10240, 8192, "0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux data"},
                         {18432, 4096, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Карта"}});
    auto m = Enumerate();
    ASSERT_EQ(m.count(0), 1u);
    ASSERT_EQ(m[0].size(), 3u);
    EXPECT_EQ(GetPartitionName(m[0][0]), "Photos");
    EXPECT_EQ(GetPartitionName(m[0][1]), "Linux data");
    EXPECT_EQ(GetPartitionName(m[0][2]), "Карта");
    EXPECT_EQ(m[0][1].u64StartSector, 10240u);
    EXPECT_EQ(m[0][1].u64EndSector, 10240u + 8192 - 1);

    // Clearing the third entry's first sector ends the list there.
    auto disk = ReadFile(Disk(0));
    memset(&disk[1024 + 2 * 128 + 32], 0, 8);
    // A 36-character name fills its field without terminator and is still cut safely.
    for (int i = 0; i < 36; ++i) {
        disk[1024 + 56 + 2 * i] = 'A';
        disk[1024 + 57 + 2 * i] = 0;
    }
    // An entry whose last sector lies below its first is skipped.
    Put(disk, 1024 + 128 + 40, 100, 4);
    Put(disk, 1024 + 128 + 44, 0, 4);
    WriteFile(Disk(0), disk);
    m = Enumerate();
    ASSERT_EQ(m[0].size(), 1u);
    EXPECT_EQ(GetPartitionName(m[0][0]), std::string(35, 'A'));
}

TEST_F(PartitionTest, ApplePartitionMap) {
    auto apm = ApmDisk(3, 3);
    apm.resize(4096 * 512);  // the disk holds every partition: none is cut at its end
    WriteFile(Disk(0), apm);
    auto m = Enumerate();
    ASSERT_EQ(m[0].size(), 3u);
    EXPECT_EQ(m[0][1].u64StartSector, 1064u + 2);
    EXPECT_EQ(m[0][1].u64EndSector, 1066u + 500 - 1);
    EXPECT_EQ(GetPartitionName(m[0][2]), "Part2");

    WriteFile(Disk(0), ApmDisk(129, 1));  // absurd entry count
    EXPECT_EQ(Enumerate().count(0), 0u);
}

// Unrecognised, empty, odd and looping tables.
TEST_F(PartitionTest, UnusualTables) {
    WriteFile(Disk(0), std::vector<unsigned char>(8192, 0));
    std::vector<unsigned char> mbr(8192, 0);
    PutTable(mbr, 0, {});
    WriteFile(Disk(1), mbr);
    // Second entry empty: only the first is listed even though the third is filled.
    PutTable(mbr, 0, {{0, 0x0c, 2048, 100}, {2, 0x0c, 4096, 100}});
    WriteFile(Disk(2), mbr);
    // Type 0 with a non-zero first sector still counts as a partition.
    std::vector<unsigned char> type0(8192, 0);
    PutTable(type0, 0, {{0, 0, 63, 1000}});
    WriteFile(Disk(3), type0);
    WriteFile(Disk(4), std::vector<unsigned char>(100, 0));  // shorter than a sector
    // An extended partition whose EBR links back to itself.
    std::vector<unsigned char> d(1 << 20, 0);
    PutTable(d, 0, {{0, 0x05, 100, 1000}});
    PutTable(d, 100, {{0, 0x83, 1, 10}, {1, 0x05, 0, 10}});  // the link: back to itself
    WriteFile(Disk(5), d);

    auto m = Enumerate();
    EXPECT_EQ(m.count(0), 0u);
    EXPECT_EQ(m.count(1), 0u);
    ASSERT_EQ(m[2].size(), 1u);
    EXPECT_EQ(m[2][0].u64StartSector, 2048u);
    ASSERT_EQ(m[3].size(), 1u);
    EXPECT_EQ(m[3][0].u64StartSector, 63u);
    EXPECT_EQ(m.count(4), 0u);
    ASSERT_EQ(m[5].size(), 1u);
    EXPECT_EQ(m[5][0].u64StartSector, 101u);
}

