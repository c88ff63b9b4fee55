// The engine factory over real and hand-made partitions.
#include <gtest/gtest.h>

#include <QtCore/QString>
#include <QtCore/QtGlobal>
#include <cstring>
#include <memory>

#include "core/FastExtRecovery.h"
#include "carving/FileRecoveryFactory.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

std::vector<std::string> g_log;
void Collect(QtMsgType, const QMessageLogContext&, const QString& msg) { g_log.push_back(msg.toStdString()); }

std::unique_ptr<IFileRecoveryParse> ByPath(const std::string& path, RECOVERY_TYPE type) {
    std::wstring w = Utf8ToWide(path);
    return std::unique_ptr<IFileRecoveryParse>(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(w.data(), L'C', type));
}

}  // namespace

TEST(Factory, SingletonAndEngineChoiceByPath) {
    EXPECT_EQ(CFileRecoveryFactory::GetInstance(), CFileRecoveryFactory::GetInstance());
    TempDir d("factory");
    FatImage::Create(d / "fat.img", 16, 16384);
    auto fat = ByPath(d / "fat.img", RECOVERY_FAST);
    EXPECT_NE(dynamic_cast<CFastFatRecovery*>(fat.get()), nullptr);
    if (HaveTool("mkntfs")) {
        NtfsImage::Create(d / "ntfs.img", 8);
        auto ntfs = ByPath(d / "ntfs.img", RECOVERY_FAST);
        EXPECT_NE(dynamic_cast<CFastNtfsRecovery*>(ntfs.get()), nullptr);
        // 128 sectors per cluster is not taken for NTFS.
        auto b = ReadFile(d / "ntfs.img");
        b[13] = 128;
        WriteFile(d / "ntfs128.img", b);
        EXPECT_EQ(ByPath(d / "ntfs128.img", RECOVERY_FAST), nullptr);
    }
    if (HaveTool("mkfs.ext4")) {
        Sh("truncate -s 8M " + Quote(d / "ext.img") + " && mkfs.ext4 -q -F " + Quote(d / "ext.img"));
        auto ext = ByPath(d / "ext.img", RECOVERY_FAST);
        ASSERT_NE(dynamic_cast<CFastExtRecovery*>(ext.get()), nullptr);
        // The Ext engine finds nothing and leaves its outputs alone.
        std::vector<__SEARCH_FILE_INFO__> hits(2);
        wchar_t pattern[] = L"*.jpg|";
        EXPECT_EQ(ext->SearchFileNode(pattern, hits), 0);
        EXPECT_EQ(hits.size(), 2u);
        EXPECT_EQ(ext->ScanDevice(nullptr), 0);
    }
    WriteFile(d / "blank.img", std::vector<unsigned char>(1 << 20, 0));
    EXPECT_EQ(ByPath(d / "blank.img", RECOVERY_FAST), nullptr);
    EXPECT_EQ(ByPath(d / "missing.img", RECOVERY_FAST), nullptr);
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

    g_log.clear();
    QtMessageHandler old = qInstallMessageHandler(Collect);
    EXPECT_EQ(f->CreateFileRecoveryInstance(5, 0, 100, L'C', RECOVERY_FAST), nullptr);
    WriteFile(d / "disk1", std::vector<unsigned char>(8192, 0));  // shorter than the probe
    EXPECT_EQ(f->CreateFileRecoveryInstance(1, 0, 16, L'C', RECOVERY_PROFESSIONAL), nullptr);
    qInstallMessageHandler(old);
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[0], "Open Failed\n");
    EXPECT_EQ(g_log[1], "read Failed\n");
    unsetenv("FOTORETTA_DISK_DIR");
}
