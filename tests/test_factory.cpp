// File-system detection and the engine factory: real volumes made by their
// own tools, real and hand-made partitions, and hand-built boot sectors
// for the cases that guard against misdetection.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>

#include "ext/FastExtRecovery.h"
#include "scan/FileRecoveryFactory.h"
#include "core/BootSector.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

using carvekit::Put;
using namespace testkit;

namespace {

std::unique_ptr<IFileRecoveryParse> ByPath(const std::string& path, RECOVERY_TYPE type) {
    std::wstring w = Utf8ToWide(path);
    return std::unique_ptr<IFileRecoveryParse>(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(w.data(), L'C', type));
}

std::vector<unsigned char> ExtSuper(uint32_t logBlock, uint32_t firstDataBlock) {
    std::vector<unsigned char> b(16384, 0);
    auto put = [&](size_t off, uint32_t v) { Put(b, 1024 + off, v, 4); };  // the superblock
    put(0, 2048);  // inodes
    put(4, logBlock == 0 ? 8192 : 2048);
    put(20, firstDataBlock);
    put(24, logBlock);
    put(32, logBlock == 0 ? 8192 : 32768);
    put(40, 2048);
    put(84, 11);
    Put(b, 1024 + 56, 0xEF53, 2);  // the magic
    return b;
}

}  // namespace

// Real volumes made by their own tools: the boot sector tests name the file
// system and the factory picks its engine; anything else gets none.
TEST(Factory, EngineChosenByTheFileSystemFound) {
    EXPECT_EQ(CFileRecoveryFactory::GetInstance(), CFileRecoveryFactory::GetInstance());
    TempDir d("factory");
    const std::string ntfs = "truncate -s 8M @ && mkntfs -q -F -Q @";
    std::vector<std::pair<std::string, std::string>> cases = {  // command ("@" the image), file system
        {"mkfs.vfat -C -F 12 @ 1440", "fat"}, {"mkfs.vfat -C -F 16 @ 16384", "fat"},
        {"mkfs.vfat -C -F 32 @ 40000", "fat"}, {"truncate -s 1M @", ""}, {"true", ""}};
    if (HaveTool("mkntfs")) {
        cases.push_back({ntfs, "ntfs"});
        // 128 sectors per cluster is not taken for NTFS.
        cases.push_back({ntfs + " && printf '\\200' | dd of=@ bs=1 seek=13 conv=notrunc status=none", ""});
    }
    if (HaveTool("mkfs.ext4")) cases.push_back({"truncate -s 8M @ && mkfs.ext4 -q -F @", "ext"});
    int n = 0;
    for (const auto& [cmd, fs] : cases) {
        const std::string image = d / std::to_string(n++);
        ASSERT_EQ(Sh(std::regex_replace(cmd, std::regex("@"), Quote(image))), 0) << cmd;
        auto b = ReadFile(image);
        b.resize(std::max<size_t>(b.size(), 16384), 0);
        EXPECT_EQ(IsFat(b.data()), fs == "fat") << cmd;
        EXPECT_EQ(IsNtfs(b.data()), fs == "ntfs") << cmd;
        EXPECT_EQ(IsExt(b.data()), fs == "ext") << cmd;
        auto e = ByPath(image, RECOVERY_FAST);
        EXPECT_EQ(e != nullptr, !fs.empty()) << cmd;
        EXPECT_EQ(dynamic_cast<CFastFatRecovery*>(e.get()) != nullptr, fs == "fat") << cmd;
        EXPECT_EQ(dynamic_cast<CFastNtfsRecovery*>(e.get()) != nullptr, fs == "ntfs") << cmd;
        if (fs != "ext") continue;
        ASSERT_NE(dynamic_cast<CFastExtRecovery*>(e.get()), nullptr);
        // The Ext engine finds nothing and leaves its outputs alone.
        std::vector<__SEARCH_FILE_INFO__> hits(2);
        wchar_t pattern[] = L"*.jpg|";
        EXPECT_EQ(e->SearchFileNode(pattern, hits), 0);
        EXPECT_EQ(hits.size(), 2u);
        EXPECT_EQ(e->ScanDevice(nullptr), 0);
    }
}

TEST(Factory, DiskFormReadsThePartitionAndLogsFailures) {
    TempDir d("factory");
    setenv("FOTORETTA_DISK_DIR", d.path().c_str(), 1);
    FatImage vol = FatImage::Create(d / "vol.img", 32, 40000);
    MakePartitionedDisk(d / "disk0", 2048 + 80000 + 64, "dos", {{2048, 80000, "c", ""}});
    PlaceVolume(d / "disk0", vol.path, 2048);
    auto* f = CFileRecoveryFactory::GetInstance();
    std::unique_ptr<IFileRecoveryParse> e(f->CreateFileRecoveryInstance(0, 2048, 80000, L'C', RECOVERY_FAST));
    EXPECT_NE(dynamic_cast<CFastFatRecovery*>(e.get()), nullptr);
    // Sector 0 of the disk is the MBR, not a file system.
    EXPECT_EQ(f->CreateFileRecoveryInstance(0, 0, 80000, L'C', RECOVERY_FAST), nullptr);

    WriteFile(d / "disk1", std::vector<unsigned char>(8192, 0));  // shorter than the probe
    {
        LogCapture log;
        EXPECT_EQ(f->CreateFileRecoveryInstance(5, 0, 100, L'C', RECOVERY_FAST), nullptr);
        EXPECT_EQ(f->CreateFileRecoveryInstance(1, 0, 16, L'C', RECOVERY_PROFESSIONAL), nullptr);
        EXPECT_EQ(log.lines, (std::vector<std::string>{"Open Failed\n", "read Failed\n"}));
    }
    unsetenv("FOTORETTA_DISK_DIR");
}

// Boot sectors of real volumes, each changed to guard against a misdetection.
TEST(BootSector, ChangedSectors) {
    FR_REQUIRE(HaveTool("mkntfs"), "mkntfs missing");
    TempDir d("boot");
    auto made = [&](const std::string& cmd) {
        EXPECT_EQ(Sh("cd " + Quote(d.path()) + " && rm -f v && " + cmd), 0) << cmd;
        auto b = ReadFile(d / "v");
        b.resize(16384, 0);
        return b;
    };
    const auto ntfs = made("truncate -s 8M v && mkntfs -q -F -Q v"), fat32 = made("mkfs.vfat -C -F 32 v 40000"),
               fat16 = made("mkfs.vfat -C -F 16 v 16384");
    using Change = void (*)(std::vector<unsigned char>&);
    struct Case {
        const char* what;
        const std::vector<unsigned char>& boot;
        Change change;
        bool fat, ntfs, bitlocker;
    };
    const Case cases[] = {
        {"NTFS", ntfs, [](auto&) {}, false, true, false},
        {"NTFS with 128 sectors per cluster", ntfs, [](auto& b) { b[13] = 128; }, false, false, false},
        {"NTFS with 0 bytes per sector", ntfs, [](auto& b) { Put(b, 11, 0, 2); }, false, true, false},
        {"NTFS with a FAT count", ntfs, [](auto& b) { b[16] = 2; }, false, false, false},
        {"NTFS without 55 AA", ntfs, [](auto& b) { b[511] = 0; }, false, false, false},
        {"FAT32", fat32, [](auto&) {}, true, false, false},
        {"FAT16", fat16, [](auto&) {}, true, false, false},
        {"FAT32 type string overwritten", fat32, [](auto& b) { memset(&b[82], 'x', 8); }, false, false, false},
        {"... with a 16-bit FAT size", fat32, [](auto& b) { memset(&b[82], 'x', 8), Put(b, 22, 10, 2); }, true, false,
         false},
        {"BitLocker name", fat32, [](auto& b) { memcpy(&b[3], "-FVE-FS-", 8); }, false, false, true},
        {"BitLocker tail", fat32,
         [](auto& b) {
             memset(&b[480], 0x78, 8), memset(&b[488], 0xFF, 19);
             b[507] = 0x00, b[508] = 0x1F, b[509] = 0x2C;
         },
         false, false, true},
        {"1000 bytes per sector", fat32, [](auto& b) { Put(b, 11, 1000, 2); }, false, false, false},
        {"FAT bigger than the volume", fat32, [](auto& b) { Put(b, 36, 200000, 4); }, false, false, false},
        {"zeros", fat32, [](auto& b) { std::fill(b.begin(), b.end(), 0); }, false, false, false},
    };
    for (const auto& c : cases) {
        auto b = c.boot;
        c.change(b);
        EXPECT_EQ(IsFat(b.data()), c.fat) << c.what;
        EXPECT_EQ(IsNtfs(b.data()), c.ntfs) << c.what;
        EXPECT_EQ(IsBitlockerDBR(b.data()), c.bitlocker) << c.what;
    }
    EXPECT_TRUE(IsFullValidFAT32DBR(fat32.data()));
    EXPECT_TRUE(IsFullValidFAT16DBR(fat16.data()));
    EXPECT_FALSE(IsNtfs(nullptr));
    EXPECT_TRUE(IsExt(ExtSuper(2, 0).data()));   // 4 KiB blocks
    EXPECT_TRUE(IsExt(ExtSuper(0, 1).data()));   // 1 KiB blocks
    EXPECT_FALSE(IsExt(ExtSuper(2, 1).data()));  // 4 KiB blocks with first data block 1
    EXPECT_FALSE(IsExt(ExtSuper(0, 0).data()));
}
