// The fast NTFS engine on real volumes: made with mkntfs, written and
// deleted through ntfs-3g, then scanned, browsed, recovered and previewed;
// copies of the volume damaged on purpose must never hurt.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sys/stat.h>

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
    // Writes a file to be deleted later and notes its record and content.
    auto put = [&](const std::string& rel, std::vector<unsigned char> data, const std::string& key = "") {
        WriteFile(img.Mounted(rel), data);
        v.records[key.empty() ? rel.substr(rel.rfind('/') + 1) : key] = NtfsRecordOf(img.Mounted(rel));
        v.content[rel] = std::move(data);
    };
    auto mkdir = [&](const std::string& rel) {
        Sh("mkdir -p " + Quote(img.Mounted(rel)));
        v.records[rel] = NtfsRecordOf(img.Mounted(rel));
    };
    if (!img.Mount()) return;
    mkdir("lost");
    put("lost/x.dat", RandomBytes(3000, 11));
    for (int i = 1; i <= 10; ++i) WriteFile(img.Mounted("f" + std::to_string(i)), RandomBytes(8192, 100 + i));
    img.Unmount();

    if (!img.Mount()) return;
    // Fill the volume, then free every other filler: the only free space
    // left is four 2-cluster holes, so frag.bin must be split across them.
    Sh("dd if=/dev/zero of=" + Quote(img.Mounted("full")) + " bs=64k status=none");
    for (int i = 2; i <= 8; i += 2) Sh("rm " + Quote(img.Mounted("f" + std::to_string(i))));
    put("frag.bin", RandomBytes(24000, 12));
    Sh("rm " + Quote(img.Mounted("full")));
    WriteFile(img.Mounted("keep.txt"), RandomBytes(5000, 13));
    put("small.txt", RandomBytes(300, 14));
    put("big.bin", RandomBytes(200 * 1024 + 17, 15));
    mkdir("dir1/sub");
    v.records["dir1"] = NtfsRecordOf(img.Mounted("dir1"));
    v.records["sub"] = v.records["dir1/sub"];
    const std::string jpg = Sample("jpg");
    put("dir1/sub/nested.jpg", jpg.empty() ? RandomBytes(50000, 16) : ReadFile(jpg));
    mkdir("gone");
    put("gone/a.txt", RandomBytes(5000, 17), "gone/a.txt");
    put("gone/b.txt", RandomBytes(100, 18), "gone/b.txt");
    put("A Long Name.txt", RandomBytes(2000, 19));
    NtfsSetDosName(img.Mounted("A Long Name.txt"), "ALONGN~1.TXT");
    put("text10k.txt", RandomBytes(10000, 20));
    put("fake.jpg", RandomBytes(3000, 22));
    put("empty.txt", {});
    v.content["sparse.bin"] = NtfsWriteSparse(img.Mounted("sparse.bin"), 23);
    v.records["sparse.bin"] = NtfsRecordOf(img.Mounted("sparse.bin"));
    // Twelve long hard links push linked.bin's names into extension records:
    // its record gets a (non-resident) attribute list. It stays live: the
    // last unlink would drop the list again.
    v.linked = RandomBytes(60000, 24);
    WriteFile(img.Mounted("linked.bin"), v.linked);
    for (int i = 1; i <= 12; ++i)
        Sh("ln " + Quote(img.Mounted("linked.bin")) + " " +
           Quote(img.Mounted("a rather long hard link name, number " + std::to_string(i) + ".bin")));
    v.records["linked.bin"] = NtfsRecordOf(img.Mounted("linked.bin"));
    for (const char* rel : {"sparse.bin", "fake.jpg", "empty.txt", "frag.bin", "small.txt", "big.bin",
                            "dir1/sub/nested.jpg", "A Long Name.txt", "text10k.txt"})
        Sh("rm " + Quote(img.Mounted(rel)));
    Sh("rm -rf " + Quote(img.Mounted("gone")) + " " + Quote(img.Mounted("lost")));
    img.Unmount();

    if (!img.Mount()) return;
    WriteFile(img.Mounted("dir1/reuse.txt"), RandomBytes(50, 21));
    v.bLostReused = NtfsRecordOf(img.Mounted("dir1/reuse.txt")) == v.records["lost"];
    img.Unmount();
    // Listed without content: unhealthy or empty; the lost folder's file under its new place.
    v.content.erase("fake.jpg");
    v.content.erase("empty.txt");
    v.content["LostFolder" + std::to_string(v.records["lost"]) + "/x.dat"] = v.content["lost/x.dat"];
    v.content.erase("lost/x.dat");
    v.ok = true;
}

struct RecoveryLog {
    std::vector<std::pair<int, int>> reports;  // progress, error
    int stopAt = -1;                           // cancel on the first final report after this many
};
int LogRecovery(void* p, int progress, int, int error, wchar_t*) {
    auto* log = static_cast<RecoveryLog*>(p);
    log->reports.emplace_back(progress, error);
    return log->stopAt >= 0 && progress == 100 && static_cast<int>(log->reports.size()) > log->stopAt
               ? FR_RECOVERY_CANCELLED
               : 0;
}

class NtfsFast : public EngineTest {
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
    void SetUp() override { FR_REQUIRE(g_vol && g_vol->ok, "mkntfs/ntfs-3g/FUSE not usable"); }
    std::unique_ptr<CFastNtfsRecovery> Scan(const std::string& image = "") {
        auto e = OpenAndScan<CFastNtfsRecovery>(image.empty() ? g_vol->image : image);
        EXPECT_TRUE(e);
        return e;
    }
    // The sector of a record of the shared volume (the same in its copies).
    u64 SectorOf(const std::string& name) { return NtfsRecordSector(g_vol->image, g_vol->records[name]); }
    // A copy of the shared volume to damage.
    std::string Copy() {
        EXPECT_EQ(Sh("cp " + Quote(g_vol->image) + " " + Quote(out / "copy.img")), 0);
        return out / "copy.img";
    }
    TempDir out{"ntfsout"};
};

}  // namespace

TEST_F(NtfsFast, ListsDeletedFilesWithTheirFolders) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    SCOPED_TRACE(Paths(tree));
    for (const auto& [path, data] : g_vol->content) {
        if (path.rfind("LostFolder", 0) == 0 && !g_vol->bLostReused) continue;
        ASSERT_TRUE(tree.count(path)) << path;
        EXPECT_EQ(tree[path].bIsDir, 0u) << path;
        EXPECT_EQ(tree[path].u64FileSize, data.size()) << path;
        EXPECT_EQ(tree[path].nBytesPerCluster, 4096u);
    }
    // Live files never appear; live folders on a deleted file's path do.
    for (const char* live : {"keep.txt", "f1", "dir1/reuse.txt", "ALONGN~1.TXT"}) EXPECT_FALSE(tree.count(live)) << live;
    EXPECT_EQ(tree["dir1"].bIsDir, 1u);
    EXPECT_EQ(tree["gone"].bIsDir, 1u);
    EXPECT_EQ(tree["gone"].uClusterNO, g_vol->records["gone"]);
    for (const auto& [path, n] : tree) EXPECT_GE(n.uClusterNO, 12u) << path;  // never a system record
    // A folder whose record was reused is a lost folder under the root.
    if (g_vol->bLostReused) {
        const std::string lost = "LostFolder" + std::to_string(g_vol->records["lost"]);
        EXPECT_EQ(tree[lost].nBytesPerCluster, 0xFFFFFFFFu);
        EXPECT_EQ(tree[lost].uClusterNO, g_vol->records["lost"]);
    }
    // A picture whose data is no picture is stored unhealthy and not listed;
    // an empty file is listed, unhealthy.
    EXPECT_EQ(e->GetLostFileCount(), tree.size() + 1);
    EXPECT_FALSE(tree.count("fake.jpg"));
    EXPECT_EQ(tree["dir1/sub/nested.jpg"].bIsHealth, 1u);
    EXPECT_EQ(tree["empty.txt"].bIsHealth, 0u);
    _FILE_NODE_ n{};
    n.nBytesPerCluster = 4096;
    n.u64RecordSector = e->RecordSector(g_vol->records["fake.jpg"]);
    std::strcpy(n.szFileName, "fake.jpg");
    EXPECT_EQ(e->IsFileDataHealth(&n, 8), 0);
    std::strcpy(n.szFileName, "fake");
    EXPECT_EQ(e->IsFileDataHealth(&n, 8), 1);

    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pattern = L"*.bin|";
    e->SearchFileNode(pattern.data(), hits);
    std::set<std::string> names;
    for (auto& h : hits) names.insert(h.szFileName);
    EXPECT_EQ(names, (std::set<std::string>{"big.bin", "frag.bin", "sparse.bin"}));
    wchar_t path[512];
    ASSERT_EQ(e->GetFileNodeParentDirPath(&tree["dir1/sub/nested.jpg"], path, 512), 0);
    EXPECT_EQ(WideToUtf8(path), "dir1/sub/");
    unsigned count = 0;
    ASSERT_EQ(e->GetChildrenFileCount(&tree["gone"], 1, count), 0);
    EXPECT_EQ(count, 2u);
    std::vector<_FILE_NODE_> top;
    EXPECT_EQ(e->GetChildrenFileNode(nullptr, 1, top), FR_INVALID);
}

// Every file byte for byte (fragmented, sparse, resident, in a lost folder),
// never over an existing file; folders with subfolders; cancelling; previews.
TEST_F(NtfsFast, RecoversByteForByte) {
    auto e = Scan();
    auto tree = ListResultTree(*e);
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    int i = 0;
    for (const auto& [path, data] : g_vol->content) {
        if (!tree.count(path)) continue;
        const std::string target = out / ("r" + std::to_string(i++));
        ASSERT_EQ(SaveNode(*e, tree[path], target), 0) << path;
        EXPECT_EQ(Sha256File(target), Sha256(data)) << path;
        EXPECT_EQ(log.reports.back(), std::make_pair(100, 0)) << path;
        EXPECT_EQ(SaveNode(*e, tree[path], target), EEXIST) << path;
        EXPECT_EQ(Sha256File(target), Sha256(data)) << path;
    }
    EXPECT_GE(i, 8);
    EXPECT_EQ(SaveNode(*e, tree["empty.txt"], out / "empty.txt"), 0);
    EXPECT_EQ(ReadFile(out / "empty.txt").size(), 0u);
    // The runs really are fragmented and sparse.
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(e->GetRunListInfo(e->RecordSector(g_vol->records["frag.bin"]), NTFS_ATTR_DATA, runs), 0);
    EXPECT_GE(runs.size(), 3u);
    runs.clear();
    ASSERT_EQ(e->GetRunListInfo(e->RecordSector(g_vol->records["sparse.bin"]), NTFS_ATTR_DATA, runs), 0);
    EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [](auto& r) { return r.i64ClusterOffset == 0; }));
    // Resident data: never more than the value, nor into a short buffer.
    unsigned char buf[1024];
    unsigned len = sizeof buf;
    const long long smallAt = static_cast<long long>(e->RecordSector(g_vol->records["small.txt"]));
    ASSERT_EQ(e->GetAttr0x80Data(smallAt, buf, len), 0);
    EXPECT_EQ(len, 300u);
    len = 100;
    EXPECT_EQ(e->GetAttr0x80Data(smallAt, buf, len), 87);
    len = sizeof buf;
    EXPECT_EQ(e->GetAttr0x80Data(static_cast<long long>(e->RecordSector(g_vol->records["big.bin"])), buf, len), -101);
    // A record that claims more than its resident value holds: the value, reported short.
    _FILE_NODE_ claims = tree["small.txt"];
    claims.u64FileSize = 5000;
    EXPECT_EQ(SaveNode(*e, claims, out / "claims.txt"), FR_SHORT_READ);
    EXPECT_EQ(ReadFile(out / "claims.txt"), g_vol->content["small.txt"]);

    // A deleted folder, and a live one with a nested subfolder.
    ASSERT_EQ(SaveNode(*e, tree["gone"], out / "gone"), 0);
    EXPECT_EQ(Sha256File(out / "gone/a.txt"), Sha256(g_vol->content["gone/a.txt"]));
    EXPECT_EQ(Sha256File(out / "gone/b.txt"), Sha256(g_vol->content["gone/b.txt"]));
    struct stat st;
    ASSERT_EQ(stat((out / "gone").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(SaveNode(*e, tree["dir1"], out / "dir1"), 0);
    EXPECT_EQ(Sha256File(out / "dir1/sub/nested.jpg"), Sha256(g_vol->content["dir1/sub/nested.jpg"]));
    // A callback that cancels on the first file stops the whole extraction.
    RecoveryLog stop;
    stop.stopAt = 0;
    e->InitCallBack(nullptr, LogRecovery, &stop, 100);
    EXPECT_EQ(SaveNode(*e, tree["gone"], out / "again"), FR_RECOVERY_CANCELLED);
    e->InitCallBack(nullptr, nullptr, nullptr, 100);

    // The data of a live file with an attribute list is reachable through it.
    const u64 rec = g_vol->records["linked.bin"];
    std::vector<unsigned char> raw(1024);
    ASSERT_EQ(e->GetFileRecordBuf(static_cast<u32>(rec), raw.data()), 0);
    CNtfsParse parser;
    NtfsRecordInfo info;
    ASSERT_TRUE(NtfsParseRecord(parser, raw.data(), info));
    ASSERT_NE(info.pAttrList, nullptr) << "linked.bin has no attribute list";
    EXPECT_NE(info.pAttrList[8], 0) << "the attribute list is resident";
    for (auto& [path, n] : tree) EXPECT_NE(n.uClusterNO, rec) << path;
    _FILE_NODE_ n{};
    n.uClusterNO = static_cast<u32>(rec);
    n.nBytesPerCluster = 4096;
    n.u64FileSize = g_vol->linked.size();
    n.u64RecordSector = e->RecordSector(rec);
    ASSERT_EQ(SaveNode(*e, n, out / "linked.bin"), 0);
    EXPECT_EQ(Sha256File(out / "linked.bin"), Sha256(g_vol->linked));

    // Previews: pictures into a temporary file, text into the buffer.
    wchar_t tmp[512] = {0};
    std::vector<unsigned char> view(4096);
    int viewLen = 4096;
    ASSERT_EQ(e->PreView(&tree["dir1/sub/nested.jpg"], tmp, view.data(), viewLen, nullptr, nullptr), 0);
    EXPECT_EQ(viewLen, 0);
    EXPECT_NE(WideToUtf8(tmp).find("tmp.jpg"), std::string::npos);
    EXPECT_EQ(Sha256File(WideToUtf8(tmp)), Sha256(g_vol->content["dir1/sub/nested.jpg"]));
    const std::pair<const char*, int> texts[] = {{"text10k.txt", 4096}, {"small.txt", 300}};
    for (auto [name, want] : texts) {
        viewLen = 4096;
        ASSERT_EQ(e->PreView(&tree[name], tmp, view.data(), viewLen, nullptr, nullptr), 0) << name;
        EXPECT_EQ(viewLen, want) << name;
        EXPECT_EQ(std::memcmp(view.data(), g_vol->content[name].data(), want), 0) << name;
    }
    EXPECT_EQ(e->PreView(nullptr, tmp, view.data(), viewLen, nullptr, nullptr), 87);
    EXPECT_EQ(viewLen, 0);
}

// Progress, a rescan, reopening the earlier log, and the free space.
TEST_F(NtfsFast, ProgressRescansAndFreeSpace) {
    CFastNtfsRecovery e;
    std::wstring w = Utf8ToWide(g_vol->image);
    ASSERT_EQ(e.Init(w.data(), L'C'), 0);
    std::vector<std::pair<int, int>> reports;
    e.InitCallBack(
        [](void* p, int progress, int percent, int, u64, u64, u64, wchar_t*) {
            static_cast<std::vector<std::pair<int, int>>*>(p)->emplace_back(progress, percent);
            return 0;
        },
        nullptr, &reports, 9);
    ASSERT_EQ(e.ScanDevice(nullptr), 0);
    EXPECT_EQ(reports.back(), std::make_pair(100, 9));
    for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_LT(reports[i].first, 100);
    // A rescan in the same minute starts its log afresh.
    const auto first = ListResultTree(e);
    const unsigned count = e.GetLostFileCount();
    e.InitCallBack(nullptr, nullptr, nullptr, 100);
    ASSERT_EQ(e.ScanDevice(nullptr), 0);
    EXPECT_EQ(e.GetLostFileCount(), count);
    auto again = ListResultTree(e);
    for (const auto& [path, n] : first) EXPECT_EQ(again[path].nFileIndex, n.nFileIndex) << path;
    // The log reopened by name, without scanning.
    std::string name = Capture("ls " + Quote(CLogFileManager::GetInstance().GetLogFileDirPath()) +
                               " | grep '^Fast_' | grep -v '_Relation$' | grep -v '_DirInfo$' | head -1");
    ASSERT_FALSE(name.empty());
    name.pop_back();
    CFastNtfsRecovery reopened;
    ASSERT_EQ(reopened.Init(w.data(), L'C'), 0);
    std::wstring log = Utf8ToWide(name);
    ASSERT_EQ(reopened.ScanDevice(log.data()), 0);
    EXPECT_EQ(ListResultTree(reopened).size(), first.size());
    // A stop answer ends the scan with that code.
    e.InitCallBack([](void*, int, int, int, u64, u64, u64, wchar_t*) { return 7; }, nullptr, nullptr, 100);
    EXPECT_EQ(e.ScanDevice(nullptr), 7);

    // Free stretches: cluster-aligned, the free space ntfs-3g reports, and
    // the deleted big.bin's clusters among them.
    ASSERT_EQ(e.BuildBitMapInfo(), 0);
    const u64 total = e.GetVolumeSectorCount();
    NtfsImage img{g_vol->image, ""};
    ASSERT_TRUE(img.Mount());
    unsigned long long bfree = 0, bsize = 0;
    sscanf(Capture("stat -f -c '%f %S' " + Quote(img.mountPoint)).c_str(), "%llu %llu", &bfree, &bsize);
    img.Unmount();
    EXPECT_EQ(SumFreeSectors(e, total, 8), bfree * bsize / 512);
    std::vector<__RUNLIST__> runs;
    ASSERT_EQ(e.GetRunListInfo(e.RecordSector(g_vol->records["big.bin"]), NTFS_ATTR_DATA, runs), 0);
    u64 s = static_cast<u64>(runs.at(0).i64ClusterOffset) * 8, c = 0;
    ASSERT_EQ(e.GetUnUsedSectorCount(s, c), 1);
    EXPECT_EQ(s, static_cast<u64>(runs[0].i64ClusterOffset) * 8);
    EXPECT_GT(c, 0u);
    s = 0;  // the boot sector's cluster is in use
    e.GetUnUsedSectorCount(s, c);
    EXPECT_GT(s, 0u);
    s = total + 5;
    e.GetUnUsedSectorCount(s, c);
    EXPECT_EQ(s, total);
    EXPECT_EQ(c, 0u);
}

// Damaged records: a torn record (update sequence mismatch) is skipped, a
// parent without "FILE" becomes a lost folder, a parent chain that loops
// ends, a run list shorter than the size fails short.
TEST_F(NtfsFast, DamagedRecordsAreSkippedOrReportedAndTheScanGoesOn) {
    const std::string copy = Copy();
    const unsigned char junk[2] = {0x5A, 0xA5};
    PatchFile(copy, SectorOf("text10k.txt") * 512 + 1022, junk, 2);
    PatchFile(copy, SectorOf("gone") * 512, "BAAD", 4);
    const u64 sub = g_vol->records["sub"];  // dir1's parent becomes dir1/sub
    PatchFile(copy, NtfsFileNameValueAt(copy, SectorOf("dir1")), &sub, 8);
    const size_t dataAt = NtfsAttrAt(copy, SectorOf("big.bin"), NTFS_ATTR_DATA);
    ASSERT_NE(dataAt, 0u);
    const u64 claimed = g_vol->content["big.bin"].size() + (10u << 20);
    PatchFile(copy, dataAt + 48, &claimed, 8);

    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    SCOPED_TRACE(Paths(tree));
    EXPECT_FALSE(tree.count("text10k.txt"));
    EXPECT_TRUE(tree.count("small.txt"));
    const std::string lost = "LostFolder" + std::to_string(g_vol->records["gone"]);
    EXPECT_FALSE(tree.count("gone"));
    ASSERT_TRUE(tree.count(lost + "/b.txt"));
    ASSERT_EQ(SaveNode(*e, tree[lost], out / "lost"), 0);
    EXPECT_EQ(Sha256File(out / "lost/a.txt"), Sha256(g_vol->content["gone/a.txt"]));
    // Saving a folder caught in the loop ends too.
    _FILE_NODE_ loop{};
    loop.bIsDir = 1;
    loop.uClusterNO = static_cast<u32>(sub);
    loop.nBytesPerCluster = 4096;
    loop.u64RecordSector = e->RecordSector(sub);
    EXPECT_EQ(SaveNode(*e, loop, out / "sub"), 0);
    // What the short runs hold is still written, and the file fails short.
    ASSERT_EQ(tree["big.bin"].u64FileSize, claimed);
    RecoveryLog log;
    e->InitCallBack(nullptr, LogRecovery, &log, 100);
    EXPECT_EQ(SaveNode(*e, tree["big.bin"], out / "big.bin"), FR_SHORT_READ);
    EXPECT_EQ(log.reports.back().second, FR_SHORT_READ);
    auto got = ReadFile(out / "big.bin");
    const auto& big = g_vol->content["big.bin"];
    ASSERT_GE(got.size(), big.size());
    EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin()));
}

// Scribbled record bodies (sector ends kept, so the fix-up passes): the scan,
// recovery and preview of everything found stay inside the destination.
TEST_F(NtfsFast, SurvivesCorruptedRecords) {
    const auto all = ReadFile(g_vol->image);
    const u64 first = NtfsRecordSector(g_vol->image, 12), last = NtfsRecordSector(g_vol->image, 120);
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        WriteFile(out / "bad.img", NtfsScribble(all, first * 512, (last - first) * 512, seed, 1024));
        auto e = Scan(out / "bad.img");
        ASSERT_TRUE(e);
        TempDir dest("ntfsdest");
        SaveAndPreviewAll(*e, dest.path());
    }
}

TEST_F(NtfsFast, HostileNamesStayInsideTheTarget) {
    const std::string copy = Copy();
    const size_t aAt = NtfsFileNameValueAt(copy, SectorOf("gone/a.txt")), bAt = NtfsFileNameValueAt(copy, SectorOf("gone/b.txt"));
    ASSERT_TRUE(aAt && bAt);
    const unsigned char a[10] = {'.', 0, '.', 0, '/', 0, 'z', 0, 'z', 0};  // "a.txt" -> "../zz"
    PatchFile(copy, aAt + 66, a, 10);
    const unsigned char b[8] = {2, 1, '.', 0, '.', 0, 0, 0};  // "b.txt" -> ".."
    PatchFile(copy, bAt + 64, b, 8);
    auto e = Scan(copy);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("gone/../zz")) << Paths(tree);
    const std::string dest = out / "dest";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    ASSERT_EQ(SaveNode(*e, tree["gone"], dest + "/gone"), 0);
    // Both files land inside dest/gone under safe names, nothing beside it.
    EXPECT_EQ(Capture("find " + Quote(out.path()) + " -type f | wc -l"), "3\n");  // with copy.img
    EXPECT_EQ(Capture("find " + Quote(dest + "/gone") + " -type f | wc -l"), "2\n");
    EXPECT_EQ(Capture("ls " + Quote(dest)), "gone\n");
}

TEST_F(NtfsFast, AbsurdBootSectorsAreRefused) {
    auto boot = ReadFile(g_vol->image);
    boot.resize(1 << 20);
    struct Bad {
        const char* name;
        size_t at;
        std::vector<unsigned char> bytes;
    };
    const Bad bad[] = {{"zero sectors per cluster", 13, {0}},
                       {"MFT beyond the volume", 48, std::vector<unsigned char>(8, 0x7F)},
                       {"3 bytes per sector", 11, {3, 0}}};
    for (const auto& b : bad) {
        auto img = boot;
        std::copy(b.bytes.begin(), b.bytes.end(), img.begin() + b.at);
        WriteFile(out / "boot.img", img);
        CFastNtfsRecovery e;
        std::wstring w = Utf8ToWide(out / "boot.img");
        EXPECT_EQ(e.Init(w.data(), L'C'), FR_INVALID) << b.name;
        EXPECT_EQ(e.ScanDevice(nullptr), FR_INVALID) << b.name;
        EXPECT_EQ(e.BuildBitMapInfo(), FR_INVALID) << b.name;
    }
    CFastNtfsRecovery none;
    std::wstring missing = Utf8ToWide(out / "nope.img");
    EXPECT_NE(none.Init(missing.data(), L'C'), 0);
}

TEST_F(NtfsFast, VolumeWith4096ByteSectorsOnADisk) {
    const std::string image = out / "v4k.img";
    ASSERT_EQ(Sh("truncate -s 24M " + Quote(image) + " && mkntfs -q -F -Q -s 4096 -c 4096 " + Quote(image)), 0);
    NtfsImage img{image, ""};
    ASSERT_TRUE(img.Mount());
    auto big = RandomBytes(70000, 31), small = RandomBytes(500, 32);
    Sh("mkdir " + Quote(img.Mounted("pics")));
    WriteFile(img.Mounted("pics/big.bin"), big);
    WriteFile(img.Mounted("small.txt"), small);
    Sh("rm -rf " + Quote(img.Mounted("pics")) + " " + Quote(img.Mounted("small.txt")));
    img.Unmount();
    ASSERT_TRUE(img.Mount());
    unsigned long long bfree = 0, bsize = 0;
    sscanf(Capture("stat -f -c '%f %S' " + Quote(img.mountPoint)).c_str(), "%llu %llu", &bfree, &bsize);
    img.Unmount();

    // On a disk: nodes carry the volume start in 512-byte sectors.
    auto e = ScanOnDisk<CFastNtfsRecovery>(out, 4, image, 2048, "7");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetBytesPerSector(), 4096);
    auto tree = ListResultTree(*e);
    EXPECT_EQ(tree["small.txt"].u64VolumeStartSector, 2048u);
    ASSERT_EQ(SaveNode(*e, tree["pics"], out / "pics"), 0);
    EXPECT_EQ(Sha256File(out / "pics/big.bin"), Sha256(big));
    ASSERT_EQ(SaveNode(*e, tree["small.txt"], out / "small.txt"), 0);
    EXPECT_EQ(Sha256File(out / "small.txt"), Sha256(small));
    // Free stretches come in 512-byte sectors and add up to the free space.
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    EXPECT_EQ(SumFreeSectors(*e, e->GetVolumeSectorCount() * 8), bfree * bsize / 512);
}
