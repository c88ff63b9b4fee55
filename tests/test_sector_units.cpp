// Nodes of every fast engine carry the volume start in 512-byte sectors,
// also on volumes whose own sectors are 4096 bytes, and their data is found
// there again.
#include <gtest/gtest.h>

#include <memory>

#include "carving/FileRecoveryFactory.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

constexpr u64 kStart = 2048;  // where the volume lies on the disk, in 512-byte sectors

// Builds a 4096-byte-sector volume holding one deleted file in image.
bool MakeVolume(const std::string& fs, const TempDir& t, const std::string& image,
                const std::vector<unsigned char>& data) {
    if (fs == "fat") {
        if (!HaveTool("mkfs.vfat") || !HaveTool("mcopy")) return false;
        FatImage img = FatImage::Create(image, 16, 32768, 1, "-S 4096");
        img.PutBytes(data, "gone.bin");
        img.Delete("gone.bin");
        return true;
    }
    if (!NtfsImage::Available()) return false;
    if (Sh("truncate -s 24M " + Quote(image) + " && mkntfs -q -F -Q -s 4096 -c 4096 " + Quote(image)) != 0)
        return false;
    NtfsImage img{image, ""};
    if (!img.Mount()) return false;
    WriteFile(img.Mounted("gone.bin"), data);
    Sh("sync; rm " + Quote(img.Mounted("gone.bin")));
    img.Unmount();
    (void)t;
    return true;
}

class SectorUnits : public ::testing::TestWithParam<std::string> {};

TEST_P(SectorUnits, NodeOn4096ByteSectorVolumeLocatesItsData) {
    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk needed");
    TempDir t("units");
    setenv("FOTORETTA_DATA_DIR", (t / "data").c_str(), 1);
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
    const auto data = RandomBytes(50000, 77);
    const std::string image = t / "v.img";
    if (!MakeVolume(GetParam(), t, image, data)) GTEST_SKIP() << "tools for " << GetParam() << " missing";
    const u64 sectors = ReadFile(image).size() / 512;
    MakePartitionedDisk(t / "disk0", kStart + sectors + 64, "dos", {{kStart, sectors, GetParam() == "fat" ? "e" : "7", ""}});
    PlaceVolume(t / "disk0", image, kStart);
    setenv("FOTORETTA_DISK_DIR", t.path().c_str(), 1);
    std::unique_ptr<IFileRecoveryParse> e(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        0, static_cast<long long>(kStart), static_cast<long long>(sectors), L'C', 0));
    unsetenv("FOTORETTA_DISK_DIR");
    ASSERT_TRUE(e);
    ASSERT_EQ(e->ScanDevice(nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pattern = L"*.bin|";
    e->SearchFileNode(pattern.data(), hits);
    ASSERT_EQ(hits.size(), 1u);
    _FILE_NODE_ node;
    static_assert(sizeof node == sizeof hits[0]);
    std::memcpy(&node, &hits[0], sizeof node);
    EXPECT_EQ(node.u64VolumeStartSector, kStart);
    std::wstring target = Utf8ToWide(t / "out.bin");
    ASSERT_EQ(e->SaveFileData(&node, target.data(), 0), 0);
    EXPECT_EQ(Sha256File(t / "out.bin"), Sha256(data));
    e.reset();
    CLogFileManager::ResetInstance();
    unsetenv("FOTORETTA_DATA_DIR");
    ResetDataDirCache();
}

INSTANTIATE_TEST_SUITE_P(FastEngines, SectorUnits, ::testing::Values("fat", "ntfs"),
                         [](const auto& info) { return info.param; });

}  // namespace
