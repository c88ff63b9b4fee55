// The fast NTFS engine on real volumes: made with mkntfs, written and
// deleted through ntfs-3g, then scanned, browsed, recovered and previewed.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/TextHelpers.h"
#include "ntfs/FastNtfsRecovery.h"
#include "results/LogFileManager.h"
#include "support/NtfsKit.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Volume {
    std::unique_ptr<TempDir> dir;
    std::string image;
    std::map<std::string, std::vector<unsigned char>> content;  // deleted files by result path
    std::map<std::string, uint64_t> records;                    // record numbers by name
    std::vector<unsigned char> linked;  // linked.bin, listed under one of its names
    bool bLostReused = false;
    bool ok = false;
};

Volume* g_vol = nullptr;

void Write(NtfsImage& img, const std::string& rel, const std::vector<unsigned char>& data) {
    WriteFile(img.Mounted(rel), data);
}

// Builds the shared volume once:
//   mount 1: lost/x.dat, ten 8 KiB fillers
//   mount 2: the volume filled up, every other filler deleted, frag.bin
//            written into the holes; the other files written, then the
//            deletions
//   mount 3: one new file that takes over the record of lost/
void BuildVolume(Volume& v) {
    v.dir = std::make_unique<TempDir>("ntfsfast");
    v.image = *v.dir / "vol.img";
    NtfsImage img = NtfsImage::Create(v.image, 24, 4096);
    if (!img.Mount()) return;
    Sh("mkdir " + Quote(img.Mounted("lost")));
    auto lostData = RandomBytes(3000, 11);
    Write(img, "lost/x.dat", lostData);
    v.records["lost"] = NtfsRecordOf(img.Mounted("lost"));
    for (int i = 1; i <= 10; ++i) Write(img, "f" + std::to_string(i), RandomBytes(8192, 100 + i));
    img.Unmount();

    if (!img.Mount()) return;
    // Fill the volume, then free every other filler: the only free space
    // left is four 2-cluster holes, so frag.bin must be split across them.
    Sh("dd if=/dev/zero of=" + Quote(img.Mounted("full")) + " bs=64k status=none");
    for (int i = 2; i <= 8; i += 2) Sh("rm " + Quote(img.Mounted("f" + std::to_string(i))));
    auto frag = RandomBytes(24000, 12);
    Write(img, "frag.bin", frag);
    v.records["frag.bin"] = NtfsRecordOf(img.Mounted("frag.bin"));
    Sh("rm " + Quote(img.Mounted("full")));
    Write(img, "keep.txt", RandomBytes(5000, 13));
    auto small = RandomBytes(300, 14);
    Write(img, "small.txt", small);
    v.records["small.txt"] = NtfsRecordOf(img.Mounted("small.txt"));
    auto big = RandomBytes(200 * 1024 + 17, 15);
    Write(img, "big.bin", big);
    v.records["big.bin"] = NtfsRecordOf(img.Mounted("big.bin"));
    Sh("mkdir -p " + Quote(img.Mounted("dir1/sub")));
    std::vector<unsigned char> jpg;
    std::string jpgPath = Sample("jpg");
    jpg = jpgPath.empty() ? RandomBytes(50000, 16) : ReadFile(jpgPath);
    Write(img, "dir1/sub/nested.jpg", jpg);
    v.records["nested.jpg"] = NtfsRecordOf(img.Mounted("dir1/sub/nested.jpg"));
    v.records["dir1"] = NtfsRecordOf(img.Mounted("dir1"));
    v.records["sub"] = NtfsRecordOf(img.Mounted("dir1/sub"));
    Sh("mkdir " + Quote(img.Mounted("gone")));
    auto goneA = RandomBytes(5000, 17);
    auto goneB = RandomBytes(100, 18);
    Write(img, "gone/a.txt", goneA);
    Write(img, "gone/b.txt", goneB);
    auto longData = RandomBytes(2000, 19);
    Write(img, "A Long Name.txt", longData);
    NtfsSetDosName(img.Mounted("A Long Name.txt"), "ALONGN~1.TXT");
    Write(img, "fake.jpg", RandomBytes(3000, 22));
    v.records["fake.jpg"] = NtfsRecordOf(img.Mounted("fake.jpg"));
    Write(img, "empty.txt", {});
    v.records["empty.txt"] = NtfsRecordOf(img.Mounted("empty.txt"));
    // A sparse file: 8 KiB of data, a 64 KiB hole, 8 KiB of data.
    auto sparse = RandomBytes(8192, 23);
    {
        int fd = open(img.Mounted("sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            (void)!pwrite(fd, sparse.data(), 8192, 0);
            (void)!pwrite(fd, sparse.data(), 8192, 8192 + 65536);
            close(fd);
        }
        std::vector<unsigned char> whole(8192 + 65536 + 8192, 0);
        std::memcpy(whole.data(), sparse.data(), 8192);
        std::memcpy(whole.data() + 8192 + 65536, sparse.data(), 8192);
        sparse = whole;
    }
    v.records["sparse.bin"] = NtfsRecordOf(img.Mounted("sparse.bin"));
    // Twelve long hard links push linked.bin's names into extension records:
    // its record gets a (non-resident) attribute list. It stays live: the
    // last unlink would drop the list again.
    auto linked = RandomBytes(60000, 24);
    Write(img, "linked.bin", linked);
    for (int i = 1; i <= 12; ++i)
        Sh("ln " + Quote(img.Mounted("linked.bin")) + " " +
           Quote(img.Mounted("a rather long hard link name, number " + std::to_string(i) + ".bin")));
    v.records["linked.bin"] = NtfsRecordOf(img.Mounted("linked.bin"));
    auto text(RandomBytes(10000, 20));
    Write(img, "text10k.txt", text);
    v.records["text10k.txt"] = NtfsRecordOf(img.Mounted("text10k.txt"));
    v.records["gone"] = NtfsRecordOf(img.Mounted("gone"));
    v.records["gone/a.txt"] = NtfsRecordOf(img.Mounted("gone/a.txt"));
    v.records["gone/b.txt"] = NtfsRecordOf(img.Mounted("gone/b.txt"));

    for (const char* rel : {"sparse.bin", "fake.jpg", "empty.txt", "frag.bin", "small.txt", "big.bin", "dir1/sub/nested.jpg", "A Long Name.txt",
                            "text10k.txt"})
        Sh("rm " + Quote(img.Mounted(rel)));
    Sh("rm -rf " + Quote(img.Mounted("gone")) + " " + Quote(img.Mounted("lost")));
    img.Unmount();

    if (!img.Mount()) return;
    Write(img, "dir1/reuse.txt", RandomBytes(50, 21));
    v.bLostReused = NtfsRecordOf(img.Mounted("dir1/reuse.txt")) == v.records["lost"];
    img.Unmount();

    v.content["frag.bin"] = frag;
    v.content["small.txt"] = small;
    v.content["big.bin"] = big;
    v.content["dir1/sub/nested.jpg"] = jpg;
    v.content["gone/a.txt"] = goneA;
    v.content["gone/b.txt"] = goneB;
    v.content["A Long Name.txt"] = longData;
    v.content["text10k.txt"] = text;
    v.content["sparse.bin"] = sparse;
    v.linked = linked;
    v.content["LostFolder" + std::to_string(v.records["lost"]) + "/x.dat"] = lostData;
    v.ok = true;
}

class NtfsFast : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!NtfsImage::Available() || !IsRoot()) return;
        g_vol = new Volume;
        BuildVolume(*g_vol);
    }
    static void TearDownTestSuite() {
        delete g_vol;
        g_vol = nullptr;
    }
    void SetUp() override {
        FR_REQUIRE(g_vol && g_vol->ok, "mkntfs/ntfs-3g/FUSE not usable");
        m_data = std::make_unique<TempDir>("ntfsdata");
        m_dataDir = std::make_unique<ScopedDataDir>(m_data->path());
    }
    // A scanned engine on the shared image.
    std::unique_ptr<CFastNtfsRecovery> Scan(const std::string& image = "") {
        auto e = std::make_unique<CFastNtfsRecovery>();
        std::wstring w = Utf8ToWide(image.empty() ? g_vol->image : image);
        EXPECT_EQ(e->Init(w.data(), L'C'), 0);
        EXPECT_EQ(e->ScanDevice(nullptr), 0);
        return e;
    }
    std::unique_ptr<TempDir> m_data;
    std::unique_ptr<ScopedDataDir> m_dataDir;
};

int CountReports(void* p, int nProgress, int nPercent, int, u64, u64, u64, wchar_t*) {
    auto* v = static_cast<std::vector<std::pair<int, int>>*>(p);
    v->push_back({nProgress, nPercent});
    return 0;
}

struct RecoveryLog {
    std::vector<std::tuple<int, int, int>> reports;  // progress, percent, error
    int stopAt = -1;  // return -9527 on this final report
};
int LogRecovery(void* p, int nProgress, int nPercent, int nErr, wchar_t*) {
    auto* log = static_cast<RecoveryLog*>(p);
    log->reports.emplace_back(nProgress, nPercent, nErr);
    if (log->stopAt >= 0 && nProgress == 100 && static_cast<int>(log->reports.size()) > log->stopAt)
        return FR_RECOVERY_CANCELLED;
    return 0;
}

}  // namespace

TEST_F(NtfsFast, FindsDeletedFilesWithTheirFolders) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    for (const auto& [path, data] : g_vol->content) {
        if (path.rfind("LostFolder", 0) == 0 && !g_vol->bLostReused) continue;
        ASSERT_TRUE(tree.count(path)) << path;
        const auto& n = tree[path];
        EXPECT_EQ(n.bIsDir, 0u) << path;
        EXPECT_EQ(n.u64FileSize, data.size()) << path;
        EXPECT_EQ(n.nEngineType, 0u);
        EXPECT_EQ(n.nBytesPerCluster, 4096u);
    }
    // Live files never appear; live folders on a deleted file's path do.
    EXPECT_FALSE(tree.count("keep.txt"));
    EXPECT_FALSE(tree.count("f1"));
    EXPECT_FALSE(tree.count("dir1/reuse.txt"));
    ASSERT_TRUE(tree.count("dir1"));
    EXPECT_EQ(tree["dir1"].bIsDir, 1u);
    ASSERT_TRUE(tree.count("dir1/sub"));
    // The deleted folder is listed with its name.
    ASSERT_TRUE(tree.count("gone"));
    EXPECT_EQ(tree["gone"].bIsDir, 1u);
    EXPECT_EQ(tree["gone"].uClusterNO, g_vol->records["gone"]);
    // The Win32 name wins over the DOS name.
    EXPECT_FALSE(tree.count("ALONGN~1.TXT"));
    // System records never produce nodes.
    for (const auto& [path, n] : tree) EXPECT_GE(n.uClusterNO, 12u) << path;
    // Every stored node is listed except the unhealthy picture (fake.jpg).
    EXPECT_EQ(e->GetLostFileCount(), tree.size() + 1);
}

TEST_F(NtfsFast, ReusedParentBecomesLostFolder) {
    FR_REQUIRE(g_vol->bLostReused, "ntfs-3g did not reuse the folder's record");
    auto e = Scan();
    auto tree = ListResultTree(*e);
    const std::string lost = "LostFolder" + std::to_string(g_vol->records["lost"]);
    ASSERT_TRUE(tree.count(lost));
    EXPECT_EQ(tree[lost].bIsDir, 1u);
    EXPECT_EQ(tree[lost].nBytesPerCluster, 0xFFFFFFFFu);
    EXPECT_EQ(tree[lost].uClusterNO, g_vol->records["lost"]);
    EXPECT_TRUE(tree.count(lost + "/x.dat"));
}

TEST_F(NtfsFast, RecoversEveryFileByteForByte) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    TempDir out("ntfsout");
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    int i = 0;
    for (const auto& [path, data] : g_vol->content) {
        if (!tree.count(path)) continue;
        auto node = tree[path];
        std::wstring target = Utf8ToWide(out / ("r" + std::to_string(i++)));
        ASSERT_EQ(e->SaveFileData(&node, target.data(), 0), 0) << path;
        EXPECT_EQ(Sha256File(WideToUtf8(target)), Sha256(data)) << path;
        ASSERT_FALSE(log.reports.empty());
        EXPECT_EQ(std::get<0>(log.reports.back()), 100) << path;
        EXPECT_EQ(std::get<2>(log.reports.back()), 0) << path;
        // An existing file is never overwritten.
        EXPECT_EQ(e->SaveFileData(&node, target.data(), 0), EEXIST) << path;
        EXPECT_EQ(Sha256File(WideToUtf8(target)), Sha256(data)) << path;
    }
    EXPECT_GE(i, 8);
}

TEST_F(NtfsFast, FragmentedFileFollowsItsRuns) {
    auto e = Scan();
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(e->GetRunListInfo(e->RecordSector(g_vol->records["frag.bin"]), 0x80, runs), 0);
    EXPECT_GE(runs.size(), 3u) << "frag.bin is not fragmented";
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("frag.bin"));
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "frag.bin");
    ASSERT_EQ(e->SaveFileData(&tree["frag.bin"], target.data(), 0), 0);
    EXPECT_EQ(Sha256File(out / "frag.bin"), Sha256(g_vol->content["frag.bin"]));
}

TEST_F(NtfsFast, ResidentDataIsCutToTheFileSize) {
    auto e = Scan();
    unsigned char buf[1024];
    unsigned len = sizeof buf;
    ASSERT_EQ(e->GetAttr0x80Data(static_cast<long long>(e->RecordSector(g_vol->records["small.txt"])), buf, len), 0);
    EXPECT_EQ(len, 300u);
    EXPECT_EQ(std::memcmp(buf, g_vol->content["small.txt"].data(), 300), 0);
    // A buffer too small for the value is refused.
    len = 100;
    EXPECT_EQ(e->GetAttr0x80Data(static_cast<long long>(e->RecordSector(g_vol->records["small.txt"])), buf, len), 87);
    // Non-resident data is not resident.
    len = sizeof buf;
    EXPECT_EQ(e->GetAttr0x80Data(static_cast<long long>(e->RecordSector(g_vol->records["big.bin"])), buf, len), -101);
}

TEST_F(NtfsFast, RecoversADeletedFolderTree) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    TempDir out("ntfsout");
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    ASSERT_TRUE(tree.count("gone"));
    std::wstring target = Utf8ToWide(out / "gone");
    int base = 0;
    std::wstring wout = Utf8ToWide(out.path());
    GetPathDirIndex(wout.c_str(), base);
    ASSERT_EQ(e->SaveFileData(&tree["gone"], target.data(), base), 0);
    EXPECT_EQ(Sha256File(out / "gone/a.txt"), Sha256(g_vol->content["gone/a.txt"]));
    EXPECT_EQ(Sha256File(out / "gone/b.txt"), Sha256(g_vol->content["gone/b.txt"]));
    struct stat st;
    ASSERT_EQ(stat((out / "gone").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // A live folder with a nested subfolder: dir1/sub/nested.jpg.
    target = Utf8ToWide(out / "dir1");
    ASSERT_EQ(e->SaveFileData(&tree["dir1"], target.data(), base), 0);
    EXPECT_EQ(Sha256File(out / "dir1/sub/nested.jpg"), Sha256(g_vol->content["dir1/sub/nested.jpg"]));

    // A callback that cancels on the first file stops the whole extraction.
    RecoveryLog stop;
    stop.stopAt = 0;
    e->InitCallBack(nullptr, LogRecovery, &stop, 100);
    target = Utf8ToWide(out / "again");
    EXPECT_EQ(e->SaveFileData(&tree["gone"], target.data(), base), FR_RECOVERY_CANCELLED);
}

TEST_F(NtfsFast, PreviewsPicturesIntoATempFileAndTextIntoTheBuffer) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("dir1/sub/nested.jpg"));
    wchar_t tmp[512] = {0};
    std::vector<unsigned char> buf(4096);
    int len = 4096;
    ASSERT_EQ(e->PreView(&tree["dir1/sub/nested.jpg"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 0);
    std::string tmpPath = WideToUtf8(tmp);
    EXPECT_NE(tmpPath.find("tmp.jpg"), std::string::npos);
    EXPECT_EQ(Sha256File(tmpPath), Sha256(g_vol->content["dir1/sub/nested.jpg"]));

    len = 4096;
    ASSERT_TRUE(tree.count("text10k.txt"));
    ASSERT_EQ(e->PreView(&tree["text10k.txt"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 4096);
    EXPECT_EQ(std::memcmp(buf.data(), g_vol->content["text10k.txt"].data(), 4096), 0);

    len = 4096;
    ASSERT_EQ(e->PreView(&tree["small.txt"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 300);

    len = 4096;
    EXPECT_EQ(e->PreView(nullptr, tmp, buf.data(), len, nullptr, nullptr), 87);
    EXPECT_EQ(len, 0);
}

TEST_F(NtfsFast, ProgressEndsWithCompleteAndStopsOnRequest) {
    auto e = std::make_unique<CFastNtfsRecovery>();
    std::wstring w = Utf8ToWide(g_vol->image);
    ASSERT_EQ(e->Init(w.data(), L'C'), 0);
    std::vector<std::pair<int, int>> reports;
    e->InitCallBack(CountReports, nullptr, &reports, 9);
    ASSERT_EQ(e->ScanDevice(nullptr), 0);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(100, 9));
    for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_LT(reports[i].first, 100);

    auto stopper = [](void*, int, int, int, u64, u64, u64, wchar_t*) -> int { return 7; };
    e->InitCallBack(stopper, nullptr, nullptr, 100);
    EXPECT_EQ(e->ScanDevice(nullptr), 7);
}

TEST_F(NtfsFast, BitmapFreeStretchesMatchTheVolume) {
    auto e = std::make_unique<CFastNtfsRecovery>();
    std::wstring w = Utf8ToWide(g_vol->image);
    ASSERT_EQ(e->Init(w.data(), L'C'), 0);
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    const u64 total = e->GetVolumeSectorCount();
    u64 sector = 0, count = 0, free = 0, last = 0;
    std::vector<std::pair<u64, u64>> stretches;
    for (int guard = 0; guard < 100000; ++guard) {
        EXPECT_EQ(e->GetUnUsedSectorCount(sector, count), 1);
        if (count == 0) break;
        EXPECT_GE(sector, last);
        EXPECT_LE(sector + count, total);
        EXPECT_EQ(sector % 8, 0u);
        stretches.push_back({sector, count});
        free += count;
        sector += count;
        last = sector;
    }
    ASSERT_FALSE(stretches.empty());
    // Same free space as the file system reports (ntfs-3g counts the bitmap).
    NtfsImage img{g_vol->image, ""};
    ASSERT_TRUE(img.Mount());
    std::string df = Capture("stat -f -c '%f %S' " + Quote(img.mountPoint));
    img.Unmount();
    unsigned long long bfree = 0, bsize = 0;
    ASSERT_EQ(sscanf(df.c_str(), "%llu %llu", &bfree, &bsize), 2);
    EXPECT_EQ(free, bfree * bsize / 512);
    // The deleted big.bin's clusters are free space.
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(e->GetRunListInfo(e->RecordSector(g_vol->records["big.bin"]), 0x80, runs), 0);
    ASSERT_FALSE(runs.empty());
    const u64 first = static_cast<u64>(runs[0].i64ClusterOffset) * 8;
    bool inFree = false;
    for (auto& s : stretches)
        if (first >= s.first && first < s.first + s.second) inFree = true;
    EXPECT_TRUE(inFree);
    // The boot sector's cluster is in use; beyond the volume nothing is free.
    sector = 0;
    e->GetUnUsedSectorCount(sector, count);
    EXPECT_GT(sector, 0u);
    sector = total + 5;
    e->GetUnUsedSectorCount(sector, count);
    EXPECT_EQ(sector, total);
    EXPECT_EQ(count, 0u);
}

TEST_F(NtfsFast, TornRecordIsSkippedAndTheScanGoesOn) {
    TempDir d("ntfstorn");
    const std::string copy = d / "torn.img";
    ASSERT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(copy)), 0);
    u64 sector;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        sector = probe.RecordSector(g_vol->records["text10k.txt"]);
    }
    // Overwrite the end of the record's second sector: the update sequence
    // number no longer matches.
    {
        int fd = open(copy.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        unsigned char junk[2] = {0x5A, 0xA5};
        ASSERT_EQ(pwrite(fd, junk, 2, static_cast<off_t>(sector * 512 + 1022)), 2);
        close(fd);
    }
    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    EXPECT_FALSE(tree.count("text10k.txt"));
    EXPECT_TRUE(tree.count("big.bin"));
    EXPECT_TRUE(tree.count("small.txt"));
}

TEST_F(NtfsFast, AbsurdBootSectorIsRefused) {
    TempDir d("ntfsboot");
    auto boot = ReadFile(g_vol->image);
    boot.resize(1 << 20);
    auto spc0 = boot;
    spc0[13] = 0;
    WriteFile(d / "spc0.img", spc0);
    auto mftFar = boot;
    for (int i = 0; i < 8; ++i) mftFar[48 + i] = 0x7F;
    WriteFile(d / "mft.img", mftFar);
    auto bps = boot;
    bps[11] = 0x03;
    bps[12] = 0x00;
    WriteFile(d / "bps.img", bps);
    for (const char* n : {"spc0.img", "mft.img", "bps.img"}) {
        CFastNtfsRecovery e;
        std::wstring w = Utf8ToWide(d / n);
        EXPECT_EQ(e.Init(w.data(), L'C'), FR_INVALID) << n;
        EXPECT_EQ(e.ScanDevice(nullptr), FR_INVALID) << n;
        EXPECT_EQ(e.BuildBitMapInfo(), FR_INVALID) << n;
    }
    CFastNtfsRecovery none;
    std::wstring missing = Utf8ToWide(d / "nope.img");
    EXPECT_NE(none.Init(missing.data(), L'C'), 0);
    std::vector<_FILE_NODE_> out;
    EXPECT_EQ(none.GetChildrenFileNode(nullptr, 5, out), FR_INVALID);
}

TEST_F(NtfsFast, DataHealth) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    // A picture whose data does not look like one is unhealthy and hidden.
    EXPECT_FALSE(tree.count("fake.jpg"));
    _FILE_NODE_ n{};
    n.nBytesPerCluster = 4096;
    n.u64RecordSector = e->RecordSector(g_vol->records["fake.jpg"]);
    std::strcpy(n.szFileName, "fake.jpg");
    EXPECT_EQ(e->IsFileDataHealth(&n, 8), 0);
    // Real picture data is healthy; so is anything without an extension.
    EXPECT_EQ(tree["dir1/sub/nested.jpg"].bIsHealth, 1u);
    std::strcpy(n.szFileName, "fake");
    EXPECT_EQ(e->IsFileDataHealth(&n, 8), 1);
    // Empty resident data is unhealthy, but the file is still listed.
    ASSERT_TRUE(tree.count("empty.txt"));
    EXPECT_EQ(tree["empty.txt"].bIsHealth, 0u);
    EXPECT_EQ(tree["empty.txt"].u64FileSize, 0u);
    TempDir out("ntfsout");
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    std::wstring target = Utf8ToWide(out / "empty.txt");
    EXPECT_EQ(e->SaveFileData(&tree["empty.txt"], target.data(), 0), 0);
    EXPECT_EQ(ReadFile(out / "empty.txt").size(), 0u);
}

TEST_F(NtfsFast, SparseRunsAreZeros) {
    auto e = Scan();
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(e->GetRunListInfo(e->RecordSector(g_vol->records["sparse.bin"]), 0x80, runs), 0);
    bool hasSparse = false;
    for (auto& r : runs) hasSparse |= r.i64ClusterOffset == 0;
    EXPECT_TRUE(hasSparse) << "sparse.bin has no sparse run";
    // Recovered byte for byte in RecoversEveryFileByteForByte; here the hole.
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("sparse.bin"));
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "s.bin");
    ASSERT_EQ(e->SaveFileData(&tree["sparse.bin"], target.data(), 0), 0);
    auto got = ReadFile(out / "s.bin");
    ASSERT_EQ(got.size(), 8192u + 65536 + 8192);
    EXPECT_EQ(std::vector<unsigned char>(got.begin() + 8192, got.begin() + 8192 + 65536),
              std::vector<unsigned char>(65536, 0));
}

TEST_F(NtfsFast, RunsShorterThanTheSizeFail) {
    TempDir d("ntfsshort");
    const std::string copy = d / "short.img";
    ASSERT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(copy)), 0);
    u64 sector;
    size_t sizeAt = 0;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        sector = probe.RecordSector(g_vol->records["big.bin"]);
        auto all = ReadFile(copy);
        std::vector<unsigned char> rec(all.begin() + sector * 512, all.begin() + sector * 512 + 1024);
        CNtfsParse p;
        ASSERT_EQ(p.FileRecordFixUp(rec.data()), 0);
        NtfsRecordHeader h;
        ASSERT_TRUE(NtfsReadRecordHeader(rec.data(), 1024, h));
        CNtfsAttrWalk w2(rec.data(), h, h.nBytesInUse);
        NtfsAttr a;
        while (w2.Next(a))
            if (a.nType == 0x80) sizeAt = static_cast<size_t>(a.p - rec.data()) + 48;
        ASSERT_NE(sizeAt, 0u);
    }
    // Claim 10 MiB more data than the runs hold.
    {
        int fd = open(copy.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        u64 size = g_vol->content["big.bin"].size() + (10u << 20);
        ASSERT_EQ(pwrite(fd, &size, 8, static_cast<off_t>(sector * 512 + sizeAt)), 8);
        close(fd);
    }
    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("big.bin"));
    EXPECT_EQ(tree["big.bin"].u64FileSize, g_vol->content["big.bin"].size() + (10u << 20));
    TempDir out("ntfsout");
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    std::wstring target = Utf8ToWide(out / "big.bin");
    EXPECT_EQ(e->SaveFileData(&tree["big.bin"], target.data(), 0), FR_SHORT_READ);
    ASSERT_FALSE(log.reports.empty());
    EXPECT_EQ(std::get<2>(log.reports.back()), FR_SHORT_READ);
    // What the runs hold is still written.
    auto got = ReadFile(out / "big.bin");
    ASSERT_GE(got.size(), g_vol->content["big.bin"].size());
    EXPECT_TRUE(std::equal(g_vol->content["big.bin"].begin(), g_vol->content["big.bin"].end(), got.begin()));
}

TEST_F(NtfsFast, DataFoundThroughAnAttributeList) {
    auto e = Scan();
    const u64 rec = g_vol->records["linked.bin"];
    std::vector<unsigned char> raw(1024);
    ASSERT_EQ(e->GetFileRecordBuf(static_cast<u32>(rec), raw.data()), 0);
    CNtfsParse parser;
    NtfsRecordInfo info;
    ASSERT_TRUE(NtfsParseRecord(parser, raw.data(), info));
    ASSERT_NE(info.pAttrList, nullptr) << "linked.bin has no attribute list";
    EXPECT_NE(info.pAttrList[8], 0) << "the attribute list is resident";
    // A live file is never listed, but its data is reachable through the list.
    for (auto& [path, n] : ListResultTree(*e)) EXPECT_NE(n.uClusterNO, rec) << path;
    _FILE_NODE_ n{};
    n.uClusterNO = static_cast<u32>(rec);
    n.nBytesPerCluster = 4096;
    n.u64FileSize = g_vol->linked.size();
    n.u64RecordSector = e->RecordSector(rec);
    std::strcpy(n.szFileName, "linked.bin");
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "linked.bin");
    ASSERT_EQ(e->SaveFileData(&n, target.data(), 0), 0);
    EXPECT_EQ(Sha256File(out / "linked.bin"), Sha256(g_vol->linked));
}

TEST_F(NtfsFast, VolumeInsideAPartitionedDisk) {
    TempDir d("ntfsdisk");
    const u64 volSectors = ReadFile(g_vol->image).size() / 512;
    const u64 start = 2048;
    MakePartitionedDisk(d / "disk3", start + volSectors + 64, "dos", {{start, volSectors, "7", ""}});
    PlaceVolume(d / "disk3", g_vol->image, start);
    setenv("FOTORETTA_DISK_DIR", d.path().c_str(), 1);
    CFastNtfsRecovery e;
    ASSERT_EQ(e.Init(3, static_cast<long long>(start), static_cast<long long>(volSectors), L'C'), 0);
    ASSERT_EQ(e.ScanDevice(nullptr), 0);
    auto tree = ListResultTree(e);
    ASSERT_TRUE(tree.count("big.bin"));
    EXPECT_EQ(tree["big.bin"].u64VolumeStartSector, start);
    EXPECT_GE(tree["big.bin"].u64RecordSector, start);
    TempDir out("ntfsout");
    for (const char* name : {"big.bin", "small.txt", "frag.bin"}) {
        std::wstring target = Utf8ToWide(out / name);
        ASSERT_EQ(e.SaveFileData(&tree[name], target.data(), 0), 0) << name;
        EXPECT_EQ(Sha256File(out / name), Sha256(g_vol->content[name])) << name;
    }
    // Free stretches are relative to the volume start.
    ASSERT_EQ(e.BuildBitMapInfo(), 0);
    u64 sector = 0, count = 0;
    e.GetUnUsedSectorCount(sector, count);
    EXPECT_GT(count, 0u);
    EXPECT_LE(sector + count, volSectors);
    unsetenv("FOTORETTA_DISK_DIR");
}

TEST_F(NtfsFast, SearchCountAndParentPath) {
    auto e = Scan();
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pattern = L"*.bin|";
    e->SearchFileNode(pattern.data(), hits);
    std::set<std::string> names;
    for (auto& h : hits) names.insert(h.szFileName);
    for (const char* n : {"big.bin", "frag.bin", "sparse.bin"}) EXPECT_TRUE(names.count(n)) << n;
    EXPECT_FALSE(names.count("small.txt"));
    EXPECT_FALSE(names.count("linked.bin"));  // live

    auto tree = ListResultTree(*e);
    wchar_t path[512];
    ASSERT_EQ(e->GetFileNodeParentDirPath(&tree["dir1/sub/nested.jpg"], path, 512), 0);
    EXPECT_EQ(WideToUtf8(path), "dir1/sub/");
    unsigned count = 0;
    ASSERT_EQ(e->GetChildrenFileCount(&tree["gone"], 1, count), 0);
    EXPECT_EQ(count, 2u);
    std::vector<_FILE_NODE_> top;
    EXPECT_EQ(e->GetChildrenFileNode(nullptr, 1, top), FR_INVALID);
    EXPECT_TRUE(top.empty());
}

namespace {
// Byte offset in the image of the first file-name value of a record.
size_t FileNameValueAt(const std::string& image, u64 sector) {
    auto all = ReadFile(image);
    std::vector<unsigned char> rec(all.begin() + sector * 512, all.begin() + sector * 512 + 1024);
    CNtfsParse p;
    if (p.FileRecordFixUp(rec.data()) != 0) return 0;
    NtfsRecordHeader h;
    if (!NtfsReadRecordHeader(rec.data(), 1024, h)) return 0;
    CNtfsAttrWalk w(rec.data(), h, h.nBytesInUse);
    NtfsAttr a;
    while (w.Next(a))
        if (a.nType == 0x30) return sector * 512 + static_cast<size_t>(a.p - rec.data()) + GetLe16(a.p + 20);
    return 0;
}
}  // namespace

TEST_F(NtfsFast, ParentChainThatLoopsEnds) {
    TempDir d("ntfsloop");
    const std::string copy = d / "loop.img";
    ASSERT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(copy)), 0);
    u64 dir1Sector;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        dir1Sector = probe.RecordSector(g_vol->records["dir1"]);
    }
    // dir1's parent becomes dir1/sub: dir1 -> sub -> dir1 -> ...
    const size_t at = FileNameValueAt(copy, dir1Sector);
    ASSERT_NE(at, 0u);
    {
        int fd = open(copy.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        u64 ref = g_vol->records["sub"];
        ASSERT_EQ(pwrite(fd, &ref, 8, static_cast<off_t>(at)), 8);
        close(fd);
    }
    auto e = Scan(copy);
    EXPECT_GT(e->GetLostFileCount(), 5u);
    // The rest of the tree is unaffected and the nested file still recovers.
    auto tree = ListResultTree(*e);
    EXPECT_TRUE(tree.count("big.bin"));
    // Saving a folder caught in the loop ends too.
    _FILE_NODE_ sub{};
    sub.bIsDir = 1;
    sub.uClusterNO = static_cast<u32>(g_vol->records["sub"]);
    sub.nBytesPerCluster = 4096;
    sub.u64RecordSector = e->RecordSector(g_vol->records["sub"]);
    std::strcpy(sub.szFileName, "sub");
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "sub");
    EXPECT_EQ(e->SaveFileData(&sub, target.data(), 0), 0);
}

TEST_F(NtfsFast, SurvivesCorruptedRecords) {
    TempDir d("ntfscorrupt");
    const std::string copy = d / "bad.img";
    auto all = ReadFile(g_vol->image);
    u64 first, last;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(g_vol->image);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        first = probe.RecordSector(12);
        last = probe.RecordSector(120);
    }
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        auto img = all;
        auto noise = RandomBytes(4096, seed);
        // Scribble over record bodies but keep the sector ends, so that the
        // fix-up passes and the parser meets the damage.
        for (size_t i = 0; i < noise.size(); i += 4) {
            const u64 off = first * 512 + (noise[i] | (noise[i + 1] << 8) | (noise[i + 2] << 16)) %
                                              ((last - first) * 512);
            if (off % 512 >= 510) continue;
            img[off] = noise[i + 3];
        }
        WriteFile(copy, img);
        CFastNtfsRecovery e;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(e.Init(w.data(), L'C'), 0);
        ASSERT_EQ(e.ScanDevice(nullptr), 0) << seed;
        auto tree = ListResultTree(e);
        TempDir out("ntfsout");
        int i = 0;
        for (auto& [path, n] : tree) {
            if (n.bIsDir) continue;
            std::wstring target = Utf8ToWide(out / ("f" + std::to_string(i++)));
            e.SaveFileData(&n, target.data(), 0);
            wchar_t tmp[512];
            unsigned char buf[4096];
            int len = sizeof buf;
            e.PreView(&n, tmp, buf, len, nullptr, nullptr);
            EXPECT_LE(len, 4096);
        }
        // Nothing was written outside the destination.
        EXPECT_EQ(Capture("find " + Quote(out.path()) + " -mindepth 1 -maxdepth 1 ! -name 'f*' | wc -l"), "0\n");
    }
}

TEST_F(NtfsFast, HostileNamesStayInsideTheTarget) {
    TempDir d("ntfsnames");
    const std::string copy = d / "names.img";
    ASSERT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(copy)), 0);
    u64 aSector, bSector;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        aSector = probe.RecordSector(g_vol->records["gone/a.txt"]);
        bSector = probe.RecordSector(g_vol->records["gone/b.txt"]);
    }
    const size_t aAt = FileNameValueAt(copy, aSector), bAt = FileNameValueAt(copy, bSector);
    ASSERT_NE(aAt, 0u);
    ASSERT_NE(bAt, 0u);
    {
        int fd = open(copy.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        // "a.txt" becomes "../zz"; "b.txt" becomes "..".
        const unsigned char a[10] = {'.', 0, '.', 0, '/', 0, 'z', 0, 'z', 0};
        ASSERT_EQ(pwrite(fd, a, 10, static_cast<off_t>(aAt + 66)), 10);
        const unsigned char b[5] = {2, 1, '.', 0, '.'};
        ASSERT_EQ(pwrite(fd, b, 5, static_cast<off_t>(bAt + 64)), 5);
        const unsigned char zero = 0;
        ASSERT_EQ(pwrite(fd, &zero, 1, static_cast<off_t>(bAt + 69)), 1);
        close(fd);
    }
    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("gone"));
    ASSERT_TRUE(tree.count("gone/../zz"));
    TempDir out("ntfsout");
    const std::string dest = out / "dest";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    std::wstring target = Utf8ToWide(dest + "/gone");
    ASSERT_EQ(e->SaveFileData(&tree["gone"], target.data(), 0), 0);
    // Both files land inside dest/gone under safe names, nothing beside it.
    EXPECT_EQ(Capture("find " + Quote(out.path()) + " -type f | wc -l"), "2\n");
    EXPECT_EQ(Capture("find " + Quote(dest + "/gone") + " -type f | wc -l"), "2\n");
    EXPECT_EQ(Capture("ls " + Quote(out.path())), "dest\n");
    EXPECT_EQ(Capture("ls " + Quote(dest)), "gone\n");
}

TEST_F(NtfsFast, DamagedMftRecordFallsBackOnTheMirror) {
    TempDir d("ntfsmirror");
    const std::string copy = d / "mirror.img";
    auto img = ReadFile(g_vol->image);
    u64 mft = 0;
    for (int i = 0; i < 8; ++i) mft |= static_cast<u64>(img[48 + i]) << (8 * i);
    std::fill(img.begin() + mft * 8 * 512, img.begin() + mft * 8 * 512 + 1024, 0);
    WriteFile(copy, img);
    auto e = Scan(copy);
    EXPECT_FALSE(e->GetMftRunList().empty());
    auto tree = ListResultTree(*e);
    EXPECT_TRUE(tree.count("big.bin"));
}

TEST_F(NtfsFast, SecondScanStartsAFreshLog) {
    auto e = Scan();
    const unsigned first = e->GetLostFileCount();
    const auto tree1 = ListResultTree(*e);
    ASSERT_EQ(e->ScanDevice(nullptr), 0);
    EXPECT_EQ(e->GetLostFileCount(), first);
    const auto tree2 = ListResultTree(*e);
    ASSERT_EQ(tree1.size(), tree2.size());
    for (const auto& [path, n] : tree1) {
        ASSERT_TRUE(tree2.count(path)) << path;
        EXPECT_EQ(tree2.at(path).nFileIndex, n.nFileIndex) << path;
        EXPECT_EQ(tree2.at(path).u64FileSize, n.u64FileSize) << path;
    }
}

TEST_F(NtfsFast, VolumeWith4096ByteSectors) {
    TempDir d("ntfs4k");
    const std::string image = d / "v4k.img";
    ASSERT_EQ(Sh("truncate -s 24M " + Quote(image) + " && mkntfs -q -F -Q -s 4096 -c 4096 " + Quote(image)), 0);
    NtfsImage img{image, ""};
    ASSERT_TRUE(img.Mount());
    auto big = RandomBytes(70000, 31);
    auto small = RandomBytes(500, 32);
    Sh("mkdir " + Quote(img.Mounted("pics")));
    WriteFile(img.Mounted("pics/big.bin"), big);
    WriteFile(img.Mounted("small.txt"), small);
    Sh("rm -rf " + Quote(img.Mounted("pics")) + " " + Quote(img.Mounted("small.txt")));
    img.Unmount();
    ASSERT_TRUE(img.Mount());
    std::string df = Capture("stat -f -c '%f %S' " + Quote(img.mountPoint));
    img.Unmount();

    auto e = Scan(image);
    EXPECT_EQ(e->GetBytesPerSector(), 4096);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("pics/big.bin"));
    ASSERT_TRUE(tree.count("small.txt"));
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "pics");
    ASSERT_EQ(e->SaveFileData(&tree["pics"], target.data(), 0), 0);
    EXPECT_EQ(Sha256File(out / "pics/big.bin"), Sha256(big));
    target = Utf8ToWide(out / "small.txt");
    ASSERT_EQ(e->SaveFileData(&tree["small.txt"], target.data(), 0), 0);
    EXPECT_EQ(Sha256File(out / "small.txt"), Sha256(small));

    // Free stretches come in 512-byte sectors and add up to the free space.
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    u64 sector = 0, count = 0, free = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        e->GetUnUsedSectorCount(sector, count);
        if (count == 0) break;
        EXPECT_LE(sector + count, e->GetVolumeSectorCount() * 8);
        free += count;
        sector += count;
    }
    unsigned long long bfree = 0, bsize = 0;
    ASSERT_EQ(sscanf(df.c_str(), "%llu %llu", &bfree, &bsize), 2);
    EXPECT_EQ(free, bfree * bsize / 512);
}

TEST_F(NtfsFast, ParentWithoutFileSignatureBecomesLostFolder) {
    TempDir d("ntfsnofile");
    const std::string copy = d / "nofile.img";
    ASSERT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(copy)), 0);
    u64 sector;
    {
        CFastNtfsRecovery probe;
        std::wstring w = Utf8ToWide(copy);
        ASSERT_EQ(probe.Init(w.data(), L'C'), 0);
        sector = probe.RecordSector(g_vol->records["gone"]);
    }
    {
        int fd = open(copy.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "BAAD", 4, static_cast<off_t>(sector * 512)), 4);
        close(fd);
    }
    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    const std::string lost = "LostFolder" + std::to_string(g_vol->records["gone"]);
    EXPECT_FALSE(tree.count("gone"));
    ASSERT_TRUE(tree.count(lost));
    EXPECT_TRUE(tree.count(lost + "/a.txt"));
    EXPECT_TRUE(tree.count(lost + "/b.txt"));
    TempDir out("ntfsout");
    std::wstring target = Utf8ToWide(out / "lost");
    ASSERT_EQ(e->SaveFileData(&tree[lost], target.data(), 0), 0);
    EXPECT_EQ(Sha256File(out / "lost/a.txt"), Sha256(g_vol->content["gone/a.txt"]));
}

TEST_F(NtfsFast, EarlierLogIsReopenedWithoutScanning) {
    std::map<std::string, _FILE_NODE_> first;
    {
        auto e = Scan();
        first = ListResultTree(*e);
    }
    const std::string dir = CLogFileManager::GetInstance().GetLogFileDirPath();
    std::string name =
        Capture("ls " + Quote(dir) + " | grep '^Fast_' | grep -v '_Relation$' | grep -v '_DirInfo$' | head -1");
    ASSERT_FALSE(name.empty());
    name.pop_back();  // the line break
    CFastNtfsRecovery e;
    std::wstring w = Utf8ToWide(g_vol->image);
    ASSERT_EQ(e.Init(w.data(), L'C'), 0);
    std::wstring log = Utf8ToWide(name);
    ASSERT_EQ(e.ScanDevice(log.data()), 0);
    auto again = ListResultTree(e);
    ASSERT_EQ(again.size(), first.size());
    for (const auto& [path, n] : first) EXPECT_TRUE(again.count(path)) << path;
}
