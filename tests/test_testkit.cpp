// The image toolkit itself: each kind of image and sample that later tests
// rely on can be made here, and holds what was written into it.
#include <gtest/gtest.h>

#include "support/TestKit.h"

using namespace testkit;

TEST(TestKit, FatImagesOfEachWidth) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "dosfstools/mtools missing");
    TempDir d("kit");
    const struct { int bits; uint64_t kib; } kinds[] = {{12, 1440}, {16, 16384}, {32, 34000}};
    for (auto k : kinds) {
        FatImage img = FatImage::Create(d / ("fat" + std::to_string(k.bits) + ".img"), k.bits, k.kib);
        img.Mkdir("DCIM");
        img.PutBytes(RandomBytes(5000, 1), "DCIM/a long file name.bin");
        img.PutBytes(RandomBytes(10, 2), "gone.txt");
        img.Delete("gone.txt");
        std::string root = img.List();
        EXPECT_NE(root.find("DCIM"), std::string::npos);
        EXPECT_EQ(root.find("gone"), std::string::npos);
        EXPECT_NE(img.List("DCIM").find("a long file name.bin"), std::string::npos);
        auto bytes = ReadFile(img.path);
        // The file-system type string sits where the boot record says.
        std::string type(reinterpret_cast<const char*>(&bytes[k.bits == 32 ? 82 : 54]), 5);
        EXPECT_EQ(type, "FAT" + std::to_string(k.bits)) << k.bits;
    }
}

TEST(TestKit, NtfsImageMountWriteDelete) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("kit");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 16);
    ASSERT_TRUE(img.Mount());
    WriteFile(img.Mounted("keep.bin"), RandomBytes(3000, 3));
    WriteFile(img.Mounted("gone.bin"), RandomBytes(3000, 4));
    EXPECT_EQ(Sh("rm " + Quote(img.Mounted("gone.bin"))), 0);
    img.Unmount();
    auto bytes = ReadFile(img.path);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[3]), 8), "NTFS    ");
    ASSERT_TRUE(img.Mount());
    EXPECT_EQ(Sha256File(img.Mounted("keep.bin")), Sha256(RandomBytes(3000, 3)));
    img.Unmount();
}

TEST(TestKit, SamplesCarryTheirSignatures) {
    const struct { const char* kind; std::vector<unsigned char> magic; size_t at; } kinds[] = {
        {"jpg", {0xFF, 0xD8, 0xFF}, 0},
        {"png", {0x89, 'P', 'N', 'G'}, 0},
        {"gif", {'G', 'I', 'F', '8'}, 0},
        {"bmp", {'B', 'M'}, 0},
        {"wav", {'R', 'I', 'F', 'F'}, 0},
        {"mp3", {'I', 'D', '3'}, 0},
        {"pdf", {'%', 'P', 'D', 'F'}, 0},
        {"zip", {'P', 'K', 3, 4}, 0},
        {"ttf", {0, 1, 0, 0}, 0},
        {"avi", {'A', 'V', 'I', ' '}, 8},
    };
    for (const auto& k : kinds) {
        std::string p = Sample(k.kind);
        if (p.empty()) {
            ADD_FAILURE() << "could not make a " << k.kind << " sample";
            continue;
        }
        auto b = ReadFile(p);
        ASSERT_GE(b.size(), k.at + k.magic.size()) << k.kind;
        EXPECT_TRUE(std::equal(k.magic.begin(), k.magic.end(), b.begin() + static_cast<long>(k.at))) << k.kind;
    }
}
