// The deep NTFS engine on real volumes made with mkntfs and ntfs-3g: the
// sweep hands it every FILE record of the image; files come back with their
// names, folders and data, also without a boot sector, with the $MFT found
// late, and after a quick format. Also the fast engine's faults that the
// same volume shows.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "core/TextHelpers.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "results/LogFileManager.h"
#include "scan/FileRecoveryFactory.h"
#include "scan/ProfessionalRecovery.h"
#include "support/NtfsKit.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Volume {
    TempDir dir{"ntfsdeep"};
    std::string image;
    std::map<std::string, std::vector<unsigned char>> files;  // expected result path -> data
    std::map<std::string, uint64_t> rec;
    bool bReused = false;  // newdir took over the record of the deleted folder old/
    bool ok = false;
};
Volume* g_vol = nullptr;

void Put(NtfsImage& img, const std::string& rel, const std::vector<unsigned char>& data, Volume& v,
         const std::string& resultPath = "") {
    WriteFile(img.Mounted(rel), data);
    v.rec[rel] = NtfsRecordOf(img.Mounted(rel));
    v.files[resultPath.empty() ? rel : resultPath] = data;
}

void Build(Volume& v) {
    v.image = v.dir / "vol.img";
    NtfsImage img = NtfsImage::Create(v.image, 32, 4096);
    if (!img.Mount("compression")) return;
    Sh("mkdir -p " + Quote(img.Mounted("docs/sub")) + " " + Quote(img.Mounted("old")) + " " +
       Quote(img.Mounted("deep/l1/l2/l3/l4")));
    for (const char* dir : {"old", "docs", "deep/l1", "deep/l1/l2/l3"}) v.rec[dir] = NtfsRecordOf(img.Mounted(dir));
    Put(img, "old/x.dat", RandomBytes(7000, 1), v);
    Put(img, "docs/a.txt", RandomBytes(5000, 2), v);
    const std::string jpg = Sample("jpg");
    Put(img, "docs/sub/photo.jpg", jpg.empty() ? RandomBytes(40000, 3) : ReadFile(jpg), v);
    Put(img, "top.bin", RandomBytes(200 * 1024 + 17, 4), v);
    Put(img, "small.txt", RandomBytes(300, 5), v);
    Put(img, "live.bin", RandomBytes(30000, 6), v);
    for (int i = 0; i < 30; ++i) Put(img, "deep/l1/l2/l3/l4/d" + std::to_string(i) + ".bin", RandomBytes(2000, 50 + i), v);
    v.files["sparse.bin"] = NtfsWriteSparse(img.Mounted("sparse.bin"), 7);
    // A folder whose files ntfs-3g stores compressed (its attribute bit 0x800).
    Sh("mkdir " + Quote(img.Mounted("packed")));
    const unsigned char compressedBit[4] = {0, 0, 0x08, 0};
    if (setxattr(img.Mounted("packed").c_str(), "system.ntfs_attrib_be", compressedBit, 4, 0) != 0) return;
    Put(img, "packed/notes.txt", ReadFile("/usr/share/common-licenses/GPL-3"), v);
    Put(img, "packed/tone.wav", ReadFile(Sample("wav")), v);
    img.Unmount();
    if (!img.Mount()) return;
    for (const char* f : {"docs/a.txt", "docs/sub/photo.jpg", "top.bin", "small.txt", "sparse.bin", "packed/notes.txt",
                          "packed/tone.wav"})
        Sh("rm " + Quote(img.Mounted(f)));
    Sh("rm -rf " + Quote(img.Mounted("old")));
    img.Unmount();
    if (!img.Mount()) return;
    Sh("mkdir " + Quote(img.Mounted("newdir")));
    v.bReused = NtfsRecordOf(img.Mounted("newdir")) == v.rec["old"];
    img.Unmount();
    // The deleted folder's file now belongs to no folder of that name.
    v.files["LostFolder" + std::to_string(v.rec["old"]) + "/x.dat"] = v.files["old/x.dat"];
    v.files.erase("old/x.dat");
    v.ok = true;
}

class NtfsDeep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!NtfsImage::Available() || !IsRoot()) return;
        g_vol = new Volume;
        Build(*g_vol);
    }
    static void TearDownTestSuite() {
        delete g_vol;
        g_vol = nullptr;
    }
    void SetUp() override {
        FR_REQUIRE(g_vol && g_vol->ok, "mkntfs/ntfs-3g/FUSE not usable");
        m_data = std::make_unique<TempDir>("ntfsdeepdata");
        m_dataDir = std::make_unique<ScopedDataDir>(m_data->path());
    }
    std::unique_ptr<CProfessionalNtfsRecovery> Sweep(const std::string& image, bool bDescending = false) {
        auto e = std::make_unique<CProfessionalNtfsRecovery>();
        std::wstring w = Utf8ToWide(image);
        EXPECT_EQ(e->Init(w.data(), L'C'), 0);
        EXPECT_GT(NtfsDeepSweep(*e, image, bDescending), 0);
        return e;
    }
    // Every expected file is listed at its path and recovers byte for byte.
    void ExpectAllRecovered(IFileRecoveryParse& e, u64 volumeStart) {
        auto tree = ListResultTree(e);
        TempDir out("ntfsdeepout");
        int i = 0;
        for (const auto& [path, data] : g_vol->files) {
            if (path.rfind("LostFolder", 0) == 0 && !g_vol->bReused) continue;
            ASSERT_TRUE(tree.count(path)) << path;
            auto& n = tree[path];
            EXPECT_EQ(n.nBytesPerCluster, 4096u) << path;
            EXPECT_EQ(n.u64VolumeStartSector, volumeStart) << path;
            const std::string target = out / ("f" + std::to_string(i++));
            ASSERT_EQ(SaveNode(e, n, target), 0) << path;
            EXPECT_EQ(Sha256File(target), Sha256(data)) << path;
        }
    }
    std::unique_ptr<TempDir> m_data;
    std::unique_ptr<ScopedDataDir> m_dataDir;
};

// A device on which one sector cannot be read.
class FlakyFastNtfs : public CFastNtfsRecovery {
public:
    u64 u64Bad = 0;

protected:
    int ReadVolumeSectors(unsigned char* pBuf, int nSectors, u64 u64Sector, unsigned* pRead) override {
        if (u64Bad >= u64Sector && u64Bad < u64Sector + static_cast<u64>(nSectors)) {
            if (pRead) *pRead = 0;
            return EIO;
        }
        return CFastNtfsRecovery::ReadVolumeSectors(pBuf, nSectors, u64Sector, pRead);
    }
};

// A copy of the image with its boot sector and the backup at its end zeroed.
std::string WithoutBootSectors(const std::string& image, const std::string& copy) {
    Sh("cp " + Quote(image) + " " + Quote(copy));
    const std::vector<unsigned char> zero(512, 0);
    PatchFile(copy, 0, zero.data(), 512);
    PatchFile(copy, std::filesystem::file_size(copy) - 512, zero.data(), 512);
    return copy;
}

}  // namespace

TEST_F(NtfsDeep, IntactVolumeListsLiveAndDeletedFilesInTheirFolders) {
    auto e = Sweep(g_vol->image);
    ASSERT_EQ(e->GetKnownMfts().size(), 1u);  // from the boot sector; the mirror's copy adds none
    ExpectAllRecovered(*e, 0);
    auto tree = ListResultTree(*e);
    for (const char* dir : {"docs", "docs/sub", "deep/l1/l2/l3/l4"}) {
        ASSERT_TRUE(tree.count(dir)) << dir;
        EXPECT_EQ(tree[dir].bIsDir, 1u) << dir;
        EXPECT_EQ(tree[dir].nEngineType, 2u) << dir;
    }
    // The deleted folder's old file is not shown inside the folder that took its record.
    EXPECT_FALSE(tree.count("newdir/x.dat"));
    // Never a file of the file system's own ($Quota, $ObjId ... below $Extend).
    for (const auto& [path, n] : tree) EXPECT_TRUE(n.uClusterNO >= 12 && path.find('$') == path.npos) << path;
    // Each folder is read once per scan, not once per file below it.
    EXPECT_LE(e->GetFolderRecordReads(), 17u);
    // Files stored compressed come back as written from the fast engine too.
    auto fast = OpenAndScan<CFastNtfsRecovery>(g_vol->image);
    TempDir packed("ntfspacked");
    SaveAndPreviewAll(*fast, packed.path(), {{"notes.txt", g_vol->files["packed/notes.txt"]},
                                             {"tone.wav", g_vol->files["packed/tone.wav"]}});

    // A folder comes back whole, with 0755 folders, and nothing is overwritten.
    TempDir out("ntfsdeepdir");
    ASSERT_EQ(SaveNode(*e, tree["docs"], out / "docs"), 0);
    EXPECT_EQ(Sha256File(out / "docs/a.txt"), Sha256(g_vol->files["docs/a.txt"]));
    EXPECT_EQ(Sha256File(out / "docs/sub/photo.jpg"), Sha256(g_vol->files["docs/sub/photo.jpg"]));
    struct stat st;
    ASSERT_EQ(stat((out / "docs/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(SaveNode(*e, tree["docs/a.txt"], out / "docs/a.txt"), EEXIST);

    // Previews: a picture into the temporary file, other files into the buffer.
    wchar_t tmp[512] = {0};
    std::vector<unsigned char> buf(4096);
    int len = 4096;
    ASSERT_EQ(e->PreView(&tree["docs/sub/photo.jpg"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(Sha256File(WideToUtf8(tmp)), Sha256(g_vol->files["docs/sub/photo.jpg"]));
    len = 4096;
    ASSERT_EQ(e->PreView(&tree["top.bin"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 4096);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), g_vol->files["top.bin"].begin()));
    EXPECT_EQ(tree["docs/sub/photo.jpg"].bIsHealth, 1u);

    // The result log, reopened by a later engine without a sweep.
    std::string log = Capture("ls " + Quote(CLogFileManager::GetInstance().GetLogFileDirPath()) + " | grep '^Pro_Ntfs_0_' | grep -v -e _Relation -e _DirInfo | head -1");
    ASSERT_FALSE(log.empty());
    log.pop_back();
    CProfessionalNtfsRecovery again;
    std::wstring w = Utf8ToWide(g_vol->image), name = Utf8ToWide(log);
    ASSERT_EQ(again.Init(w.data(), L'C'), 0);
    ASSERT_EQ(again.InitProfessionalScan(name.data()), 0);
    EXPECT_EQ(ListResultTree(again).size(), tree.size());
}

// The volume at sector 2048 of a disk: the disk form of Init learns the MFT
// from the boot sector. Without usable boot sectors and swept downwards,
// every file record comes before $MFT: only the MFT tells where the volume
// starts, and its mirror copy adds no second MFT; names and the cluster
// size are learnt from the records.
TEST_F(NtfsDeep, VolumeOnADiskAndMftFoundAfterItsFiles) {
    TempDir d("ntfsdeepdisk");
    const u64 sectors = std::filesystem::file_size(g_vol->image) / 512;
    MakePartitionedDisk(d / "disk3", 2048 + sectors + 64, "dos", {{2048, sectors, "7", ""}});
    PlaceVolume(d / "disk3", g_vol->image, 2048);
    setenv("FOTORETTA_DISK_DIR", d.path().c_str(), 1);
    CProfessionalNtfsRecovery e;
    ASSERT_EQ(e.Init(3, 2048, static_cast<long long>(sectors), L'C'), 0);
    unsetenv("FOTORETTA_DISK_DIR");
    ASSERT_EQ(e.GetKnownMfts().size(), 1u);
    EXPECT_EQ(e.GetKnownMfts()[0].u64VolumeStartSector, 2048u);
    ASSERT_GT(NtfsDeepSweep(e, d / "disk3"), 0);
    ExpectAllRecovered(e, 2048);

    PlaceVolume(d / "disk3", WithoutBootSectors(g_vol->image, d / "vol.img"), 2048);
    auto swept = Sweep(d / "disk3", true);
    ASSERT_EQ(swept->GetKnownMfts().size(), 1u);
    EXPECT_EQ(swept->GetKnownMfts()[0].u64VolumeStartSector, 2048u);
    EXPECT_EQ(swept->GetKnownMfts()[0].nSectorsPerCluster, 8u);
    EXPECT_EQ(swept->GetSectorsPerCluster(), 8);  // the default for 32 MiB would be 1
    ExpectAllRecovered(*swept, 2048);

    // A bare image swept upwards meets $MFT, then its mirror: one MFT, at 0.
    auto bare = Sweep(WithoutBootSectors(g_vol->image, d / "bare.img"));
    ASSERT_EQ(bare->GetKnownMfts().size(), 1u);
    EXPECT_EQ(bare->GetKnownMfts()[0].u64VolumeStartSector, 0u);
    ExpectAllRecovered(*bare, 0);
}

TEST_F(NtfsDeep, QuickFormattedVolumeKeepsOldFilesInLostFolders) {
    TempDir d("ntfsquick");
    NtfsImage img = NtfsImage::Create(d / "q.img", 24, 4096);
    ASSERT_TRUE(img.Mount());
    Sh("mkdir " + Quote(img.Mounted("olddir")));
    const u64 oldDir = NtfsRecordOf(img.Mounted("olddir"));
    std::map<std::string, std::vector<unsigned char>> root, inDir;
    for (int i = 0; i < 6; ++i) root["r" + std::to_string(i) + ".bin"] = RandomBytes(9000, 200 + i);
    for (int i = 0; i < 3; ++i) inDir["f" + std::to_string(i) + ".bin"] = RandomBytes(20000, 300 + i);
    for (auto& [n, data] : root) WriteFile(img.Mounted(n), data);
    for (auto& [n, data] : inDir) WriteFile(img.Mounted("olddir/" + n), data);
    img.Unmount();
    ASSERT_EQ(Sh("mkntfs -q -F -Q -c 4096 " + Quote(img.path) + " >/dev/null 2>&1"), 0);
    // The new volume's first file takes over the old folder's record.
    ASSERT_TRUE(img.Mount());
    WriteFile(img.Mounted("new.txt"), RandomBytes(10, 9));
    const bool bTaken = NtfsRecordOf(img.Mounted("new.txt")) == oldDir;
    img.Unmount();

    auto e = Sweep(img.path);
    auto tree = ListResultTree(*e);
    TempDir out("ntfsquickout");
    auto check = [&](const std::string& path, const std::vector<unsigned char>& data) {
        ASSERT_TRUE(tree.count(path)) << path;
        const std::string target = out / std::to_string(tree[path].uClusterNO);
        ASSERT_EQ(SaveNode(*e, tree[path], target), 0) << path;
        EXPECT_EQ(Sha256File(target), Sha256(data)) << path;
    };
    // Growing the new MFT for new.txt formats a few records after it: the
    // first root files are gone for good, the later ones survive.
    int survivors = 0;
    for (auto& [n, data] : root)
        if (tree.count(n)) ++survivors, check(n, data);
    EXPECT_GE(survivors, 3);
    const std::string folder = bTaken ? "LostFolder" + std::to_string(oldDir) : "olddir";
    for (auto& [n, data] : inDir) check(folder + "/" + n, data);
    EXPECT_TRUE(tree.count("new.txt"));
}

TEST_F(NtfsDeep, LoopingFoldersAndTornRecordsEndCleanly) {
    TempDir d("ntfsdeeploop");
    const std::string copy = d / "loop.img";
    Sh("cp " + Quote(g_vol->image) + " " + Quote(copy));
    Volume& v = *g_vol;
    // deep/l1 now claims deep/l1/l2/l3 as its parent: l1 -> l3 -> l2 -> l1.
    const size_t parentAt = NtfsFileNameValueAt(copy, NtfsRecordSector(copy, v.rec["deep/l1"]));
    ASSERT_NE(parentAt, 0u);
    const u64 parent = v.rec["deep/l1/l2/l3"] | (1ull << 48);
    PatchFile(copy, parentAt, &parent, 8);
    // docs/a.txt is torn: its second sector ends in another update number.
    const unsigned char junk[2] = {0x5A, 0xA5};
    PatchFile(copy, NtfsRecordSector(copy, v.rec["docs/a.txt"]) * 512 + 1022, junk, 2);
    auto e = Sweep(copy);
    auto tree = ListResultTree(*e);
    EXPECT_FALSE(tree.count("docs/a.txt"));
    EXPECT_TRUE(tree.count("docs/sub/photo.jpg"));
    const std::string loop = "LostFolder" + std::to_string(v.rec["deep/l1"]) + "/l2/l3/l4/d7.bin";
    ASSERT_TRUE(tree.count(loop));
    TempDir out("ntfsdeeploopout");
    ASSERT_EQ(SaveNode(*e, tree[loop], out / "d7.bin"), 0);
    EXPECT_EQ(Sha256File(out / "d7.bin"), Sha256(v.files["deep/l1/l2/l3/l4/d7.bin"]));
}

// The fast engine on a damaged MFT: an unreadable MFT sector is skipped and
// the folders are still named. A zeroed first MFT record: the MFT's runs come
// from the mirror. With the mirror's gone too it reports failure, and the
// deep engine takes over.
TEST_F(NtfsDeep, FastEngineOnADamagedMftThenTheDeepEngine) {
    FlakyFastNtfs flaky;
    std::wstring w = Utf8ToWide(g_vol->image);
    ASSERT_EQ(flaky.Init(w.data(), L'C'), 0);
    flaky.u64Bad = flaky.RecordSector(g_vol->rec["docs/a.txt"]) + 1;
    ASSERT_EQ(flaky.ScanDevice(nullptr), 0);
    auto tree = ListResultTree(flaky);
    EXPECT_FALSE(tree.count("docs/a.txt"));
    EXPECT_TRUE(tree.count("docs/sub/photo.jpg"));
    EXPECT_TRUE(tree.count("top.bin"));

    TempDir d("ntfsnomft");
    const std::string copy = d / "nomft.img";
    auto img = ReadFile(g_vol->image);
    w = Utf8ToWide(copy);
    for (size_t field : {48, 56}) {  // $MFT, then $MFTMirr
        u64 lcn = 0;
        for (int i = 0; i < 8; ++i) lcn |= static_cast<u64>(img[field + i]) << (8 * i);
        std::fill(img.begin() + lcn * 4096, img.begin() + lcn * 4096 + 1024, 0);
        WriteFile(copy, img);
        CFastNtfsRecovery fast;
        ASSERT_EQ(fast.Init(w.data(), L'C'), 0);
        if (field == 56) {
            EXPECT_NE(fast.ScanDevice(nullptr), 0);
            break;
        }
        ASSERT_EQ(fast.ScanDevice(nullptr), 0);
        EXPECT_FALSE(fast.GetMftRunList().empty());
        EXPECT_TRUE(ListResultTree(fast).count("top.bin"));
    }
    ScopedDataDir data(d.path());
    CProfessionalRecovery full(CFileRecoveryFactory::FastEngines());  // the full scan, as the front ends run it
    ASSERT_EQ(full.Init(w.data(), L'C'), 0);
    full.SetNotLoadLogFile();
    ASSERT_EQ(full.ScanDevice(nullptr), 0);
    EXPECT_TRUE(ListResultTree(full).count("docs/sub/photo.jpg"));
}

// More than 65,536 records: the folders made last lie above record 65,535,
// one live, one deleted with its file. Both engines list each deleted file
// in its folder and bring it back.
TEST_F(NtfsDeep, FoldersAboveRecord65535) {
    TempDir d("ntfsmany");
    NtfsImage img = NtfsImage::Create(d / "many.img", 160, 4096);
    ASSERT_TRUE(img.Mount());
    // Empty files by 16 threads at once: each create waits for a round trip to ntfs-3g.
    std::vector<std::thread> makers;
    for (int t = 0; t < 16; ++t)
        makers.emplace_back([&img, t] {
            const std::string dir = img.Mounted("fill" + std::to_string(t));
            mkdir(dir.c_str(), 0755);
            for (int i = 0; i < 4100; ++i) close(open((dir + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
        });
    for (auto& m : makers) m.join();
    Sh("mkdir " + Quote(img.Mounted("High")) + " " + Quote(img.Mounted("Gone")));
    const auto a = RandomBytes(9000, 91), b = RandomBytes(7000, 92);
    WriteFile(img.Mounted("High/a.bin"), a);
    WriteFile(img.Mounted("Gone/b.bin"), b);
    const uint64_t high = NtfsRecordOf(img.Mounted("High"));
    Sh("rm " + Quote(img.Mounted("High/a.bin")) + " && rm -r " + Quote(img.Mounted("Gone")));
    img.Unmount();
    ASSERT_GT(high, 65536u);
    auto fast = OpenAndScan<CFastNtfsRecovery>(img.path);
    ASSERT_TRUE(fast);
    auto deep = Sweep(img.path);
    for (IFileRecoveryParse* e : {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
        auto tree = ListResultTree(*e);
        for (auto [path, data] : {std::pair{"High/a.bin", &a}, {"Gone/b.bin", &b}}) {
            ASSERT_TRUE(tree.count(path)) << path;
            ASSERT_EQ(SaveNode(*e, tree[path], d / "out"), 0) << path;
            EXPECT_EQ(Sha256File(d / "out"), Sha256(*data)) << path;
            unlink((d / "out").c_str());
        }
    }
}

TEST_F(NtfsDeep, SurvivesScribbledRecords) {
    TempDir d("ntfsdeepbad");
    const auto all = ReadFile(g_vol->image);
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        // Bytes inside the first 200 records change.
        WriteFile(d / "bad.img", NtfsScribble(all, 4 * 4096 * 4, 200 * 1024, seed, 2048));
        TempDir out("ntfsdeepbadout");
        SaveAndPreviewAll(*Sweep(d / "bad.img"), out.path());
    }
}

TEST_F(NtfsDeep, TwoVolumesOfOneDiskKeepTheirFoldersApart) {
    // A second volume whose folder has the same record number as docs/.
    TempDir d("ntfsdeeptwo");
    NtfsImage img = NtfsImage::Create(d / "b.img", 24, 4096);
    ASSERT_TRUE(img.Mount());
    Sh("mkdir " + Quote(img.Mounted("other")));
    const bool bSameNumber = NtfsRecordOf(img.Mounted("other")) == g_vol->rec["docs"];
    const auto b = RandomBytes(6000, 77);
    WriteFile(img.Mounted("other/b.txt"), b);
    Sh("rm " + Quote(img.Mounted("other/b.txt")));
    img.Unmount();
    const u64 s1 = ReadFile(g_vol->image).size() / 512, s2 = ReadFile(img.path).size() / 512;
    MakePartitionedDisk(d / "disk.img", 2048 + s1 + s2 + 64, "dos", {{2048, s1, "7", ""}, {2048 + s1, s2, "7", ""}});
    PlaceVolume(d / "disk.img", g_vol->image, 2048);
    PlaceVolume(d / "disk.img", img.path, 2048 + s1);
    auto e = Sweep(d / "disk.img");
    EXPECT_EQ(e->GetKnownMfts().size(), 2u);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("docs/a.txt"));
    ASSERT_TRUE(tree.count("other/b.txt"));
    EXPECT_FALSE(tree.count("docs/b.txt"));
    EXPECT_FALSE(tree.count("other/a.txt"));
    EXPECT_EQ(tree["other/b.txt"].u64VolumeStartSector, 2048 + s1);
    TempDir out("ntfsdeeptwoout");
    ASSERT_EQ(SaveNode(*e, tree["other/b.txt"], out / "b.txt"), 0);
    EXPECT_EQ(Sha256File(out / "b.txt"), Sha256(b));
    EXPECT_TRUE(bSameNumber) << "the folders' record numbers differ; the test proves less";
}
