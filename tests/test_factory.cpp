// The engine factory over real and hand-made partitions.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>

#include "core/FastExtRecovery.h"
#include "carving/FileRecoveryFactory.h"
#include "core/BootSector.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

std::unique_ptr<IFileRecoveryParse> ByPath(const std::string& path, RECOVERY_TYPE type) {
    std::wstring w = Utf8ToWide(path);
    return std::unique_ptr<IFileRecoveryParse>(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(w.data(), L'C', type));
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
