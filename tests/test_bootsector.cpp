// File-system detection from hand-built boot sectors: the cases that guard
// against misdetection (real volumes are in the factory's test).
#include <gtest/gtest.h>

#include <cstring>

#include "core/BootSector.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

using carvekit::Put;
using namespace testkit;

namespace {

std::vector<unsigned char> NtfsBoot(unsigned char spc = 8) {
    std::vector<unsigned char> b(16384, 0);
    memcpy(&b[3], "NTFS    ", 8);
    Put(b, 11, 512, 2);
    b[13] = spc;
    b[21] = 0xF8;
    Put(b, 40, 2000000, 4);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

std::vector<unsigned char> Fat32Boot() {
    std::vector<unsigned char> b(16384, 0);
    memcpy(&b[3], "mkfs.fat", 8);
    Put(b, 11, 512, 2);
    b[13] = 1;
    Put(b, 14, 32, 2);
    b[16] = 2;
    Put(b, 32, 200000, 4);
    Put(b, 36, 1550, 4);
    memcpy(&b[82], "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

std::vector<unsigned char> Fat16Boot() {
    std::vector<unsigned char> b(16384, 0);
    Put(b, 11, 512, 2);
    b[13] = 4;
    Put(b, 14, 4, 2);
    b[16] = 2;
    Put(b, 17, 512, 2);
    Put(b, 19, 40000, 2);
    Put(b, 22, 40, 2);
    memcpy(&b[54], "FAT16   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
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
    b[1024 + 56] = 0x53;
    b[1024 + 57] = 0xEF;
    return b;
}

}  // namespace

// Hand-built boot sectors: each change guards against a misdetection.
TEST(BootSector, HandBuiltSectors) {
    using Change = void (*)(std::vector<unsigned char>&);
    struct Case {
        const char* what;
        std::vector<unsigned char> (*make)();
        Change change;
        bool fat, ntfs, bitlocker;
    };
    auto ntfs = [] { return NtfsBoot(); };
    const Case cases[] = {
        {"NTFS", ntfs, [](auto&) {}, false, true, false},
        {"NTFS with 128 sectors per cluster", ntfs, [](auto& b) { b[13] = 128; }, false, false, false},
        {"NTFS with 0 bytes per sector", ntfs, [](auto& b) { Put(b, 11, 0, 2); }, false, true, false},
        {"NTFS with a FAT count", ntfs, [](auto& b) { b[16] = 2; }, false, false, false},
        {"NTFS without 55 AA", ntfs, [](auto& b) { b[511] = 0; }, false, false, false},
        {"FAT32", Fat32Boot, [](auto&) {}, true, false, false},
        {"FAT16", Fat16Boot, [](auto&) {}, true, false, false},
        {"FAT32 type string overwritten", Fat32Boot, [](auto& b) { memset(&b[82], 'x', 8); }, false, false, false},
        {"... with a 16-bit FAT size", Fat32Boot, [](auto& b) { memset(&b[82], 'x', 8), Put(b, 22, 10, 2); }, true, false,
         false},
        {"BitLocker name", Fat32Boot, [](auto& b) { memcpy(&b[3], "-FVE-FS-", 8); }, false, false, true},
        {"BitLocker tail", Fat32Boot,
         [](auto& b) {
             memset(&b[480], 0x78, 8), memset(&b[488], 0xFF, 19);
             b[507] = 0x00, b[508] = 0x1F, b[509] = 0x2C;
         },
         false, false, true},
        {"1000 bytes per sector", Fat32Boot, [](auto& b) { Put(b, 11, 1000, 2); }, false, false, false},
        {"FAT bigger than the volume", Fat32Boot, [](auto& b) { Put(b, 36, 200000, 4); }, false, false, false},
        {"zeros", Fat32Boot, [](auto& b) { std::fill(b.begin(), b.end(), 0); }, false, false, false},
    };
    for (const auto& c : cases) {
        auto b = c.make();
        c.change(b);
        EXPECT_EQ(IsFat(b.data()), c.fat) << c.what;
        EXPECT_EQ(IsNtfs(b.data()), c.ntfs) << c.what;
        EXPECT_EQ(IsBitlockerDBR(b.data()), c.bitlocker) << c.what;
    }
    EXPECT_TRUE(IsFullValidFAT32DBR(Fat32Boot().data()));
    EXPECT_TRUE(IsFullValidFAT16DBR(Fat16Boot().data()));
    EXPECT_FALSE(IsNtfs(nullptr));
    EXPECT_TRUE(IsExt(ExtSuper(2, 0).data()));   // 4 KiB blocks
    EXPECT_TRUE(IsExt(ExtSuper(0, 1).data()));   // 1 KiB blocks
    EXPECT_FALSE(IsExt(ExtSuper(2, 1).data()));  // 4 KiB blocks with first data block 1
    EXPECT_FALSE(IsExt(ExtSuper(0, 0).data()));
}
