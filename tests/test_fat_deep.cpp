// The deep FAT engine on real mkfs.vfat + mtools images, fed the way the
// deep scan feeds it: folders rebuilt from their directory sectors with and
// without a boot record, reformatted cards, long names across sectors, and
// files read back byte for byte (a folder whose entry was reused is in the
// deep scan's test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "fat/ProfessionalFatRecovery.h"
#include "support/FatDeepSweep.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

using Tree = ResultTree;  // "dir/sub/name" -> node

std::unique_ptr<CProfessionalFatRecovery> DeepScan(const std::string& image) {
    auto e = std::make_unique<CProfessionalFatRecovery>();
    std::wstring w = Utf8ToWide(image);
    EXPECT_EQ(e->Init(w.data(), L'C'), 0);
    SweepFatDirectories(*e, image);
    return e;
}

std::string SavedHash(IFileRecoveryParse& e, const _FILE_NODE_& node, const std::string& out) {
    EXPECT_EQ(SaveNode(e, node, out), 0) << out;
    return Sha256File(out);
}

std::vector<unsigned char> ReadAt(const std::string& image, uint64_t offset, size_t len) {
    const std::vector<unsigned char> all = ReadFile(image);
    offset = std::min<uint64_t>(offset, all.size());
    return {all.begin() + offset, all.begin() + std::min<uint64_t>(all.size(), offset + len)};
}

FatBootInfo Geometry(const std::string& image) {
    FatBootInfo info;
    EXPECT_TRUE(ParseFatBootRecord(ReadAt(image, 0, 512).data(), 512, info));
    return info;
}

bool HaveMtools() {
    return HaveTool("mkfs.vfat") && HaveTool("mcopy") && HaveTool("mdeltree") && !Sample("jpg").empty() &&
           !Sample("png").empty();
}

// A card: camera folders with live and deleted pictures, long names, a
// nested folder and a folder deleted whole.
struct Card {
    std::map<std::string, std::vector<unsigned char>> files;  // path in the image -> data
    FatImage img;
    Card(const TempDir& t, int bits, uint64_t kib, int spc) {
        img = FatImage::Create(t / "card.img", bits, kib, spc);
        img.Mkdir("DCIM");
        img.Mkdir("DCIM/100CANON");
        img.Mkdir("Holiday pictures");
        img.Mkdir("Holiday pictures/Day two");
        // Pictures hold real picture data: unhealthy pictures are not listed.
        const std::vector<unsigned char> jpg = ReadFile(Sample("jpg")), png = ReadFile(Sample("png"));
        Add("DCIM/100CANON/IMG_0001.JPG", jpg);
        Add("DCIM/100CANON/IMG_0002.JPG", jpg);
        Add("DCIM/100CANON/MVI_0003.MOV", RandomBytes(30000, 3));
        Add("Holiday pictures/Beach at sunset.jpg", jpg);
        Add("Holiday pictures/Day two/Mountain lake.png", png);
        Add("notes.txt", RandomBytes(3000, 6));
        img.Delete("DCIM/100CANON/IMG_0002.JPG");
        img.Delete("Holiday pictures/Beach at sunset.jpg");
        img.Delete("notes.txt");
    }
    void Add(const std::string& path, const std::vector<unsigned char>& data) {
        files[path] = data;
        img.PutBytes(data, path);
    }
};

class FatDeep : public ::testing::Test {
protected:
    TempDir data{"deepdata"};
    ScopedDataDir scope{data.path()};
};
class FatDeepBits : public FatDeep, public ::testing::WithParamInterface<int> {};

// (a) intact FAT32 (and FAT16): live and deleted files under their folders,
// from the real boot record; (b) the same with the boot record and both
// FATs wiped: the geometry is learnt from directory starts and the files
// read back. On FAT16 the first folder lies in cluster 2, where FAT32 has its root.
TEST_P(FatDeepBits, RebuildsFoldersWithAndWithoutBootRecord) {
    FR_REQUIRE(HaveMtools(), "mkfs.vfat and mtools needed");
    TempDir t("deep");
    Card card(t, GetParam(), GetParam() == 32 ? 68000 : 20000, GetParam() == 32 ? 2 : 4);
    const FatBootInfo g = Geometry(card.img.path);
    const uint32_t spc = g.nSectorsPerCluster;
    const uint64_t dataStart = g.u64DataStartSector;
    int saved = 0;
    for (bool wiped : {false, true}) {
        SCOPED_TRACE(wiped ? "boot record and FATs wiped" : "intact");
        if (wiped) {
            const std::vector<unsigned char> zeros((g.u64FatStartSector + g.nNumFats * g.nSectorsPerFat) * 512, 0);
            PatchFile(card.img.path, 0, zeros.data(), zeros.size());
        }
        auto e = DeepScan(card.img.path);
        EXPECT_EQ(e->HasRealDbr(), !wiped);
        ASSERT_FALSE(e->GetVirtualDbrVec().empty());
        const __VIRTUAL_DBR_INFO__ d = e->GetVirtualDbrVec().front();
        EXPECT_EQ(d.nSectorsPerCluster, spc);
        EXPECT_EQ(d.nDataStartSector, dataStart);
        Tree tree = ListResultTree(*e);
        SCOPED_TRACE(Paths(tree));
        // Short names keep their stored case; a deleted one begins with '!'.
        for (const auto& [path, data] : card.files) {
            std::string key = path;
            if (key == "DCIM/100CANON/IMG_0002.JPG") key = "DCIM/100CANON/!MG_0002.JPG";
            if (key == "notes.txt") key = "!otes.txt";
            ASSERT_TRUE(tree.count(key)) << key;
            const _FILE_NODE_& n = tree[key];
            EXPECT_EQ(n.nEngineType, 3u);
            EXPECT_EQ(n.nBytesPerCluster, spc * 512);
            EXPECT_EQ(n.u64DataStartSector, dataStart);
            EXPECT_EQ(SavedHash(*e, n, t / ("out" + std::to_string(++saved))), Sha256(data)) << path;
        }
        EXPECT_TRUE(tree["DCIM"].bIsDir);
        EXPECT_EQ(e->GetLostFileCount(), static_cast<unsigned>(tree.size()));
        // A whole folder, and a picture previewed into its temporary file.
        const std::string out = t / ("holiday" + std::to_string(wiped));
        EXPECT_EQ(SaveNode(*e, tree["Holiday pictures"], out), 0);
        EXPECT_EQ(Sha256File(out + "/Day two/Mountain lake.png"), Sha256(card.files["Holiday pictures/Day two/Mountain lake.png"]));
        wchar_t tmp[512] = {};
        int len = 0;
        ASSERT_EQ(e->PreView(&tree["Holiday pictures/Beach at sunset.jpg"], tmp, nullptr, len, nullptr, nullptr), 0);
        EXPECT_EQ(Sha256File(WideToUtf8(tmp)), Sha256(card.files["Holiday pictures/Beach at sunset.jpg"]));
    }
    // (c) the card formatted again over its old content: the old folders
    // come back as lost folders holding their files.
    ASSERT_EQ(Sh("mkfs.vfat -F " + std::to_string(GetParam()) + " -s " + std::to_string(spc) + " -n NEWCARD " +
                 Quote(card.img.path) + " >/dev/null"),
              0);
    auto e = DeepScan(card.img.path);
    Tree tree = ListResultTree(*e);
    SCOPED_TRACE(Paths(tree));
    bool canon = false, lake = false;
    for (auto& [path, f] : tree) {
        if (path.rfind("LostFolder", 0) != 0) continue;
        canon |= path.find("/100CANON/IMG_0001.JPG") != std::string::npos;
        if (path.find("/Mountain lake.png") != std::string::npos) {
            lake = true;
            EXPECT_EQ(SavedHash(*e, f, t / "lake.png"), Sha256(card.files["Holiday pictures/Day two/Mountain lake.png"]));
        }
    }
    EXPECT_TRUE(canon);
    EXPECT_TRUE(lake);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatDeepBits, ::testing::Values(32, 16), ::testing::PrintToStringParamName());

// Hand-made directory sectors on a partition without boot record.
struct Sectors {
    std::vector<unsigned char> img = std::vector<unsigned char>(12000 * 512, 0);
    unsigned char* At(uint64_t sector, int entry) { return img.data() + sector * 512 + entry * 32; }
    void Entry(uint64_t sector, int entry, const char* name11, u8 attr, u32 cluster, u32 size) {
        unsigned char* e = At(sector, entry);
        std::memcpy(e, name11, 11);
        e[11] = attr;
        const u16 date = (40 << 9) | (6 << 5) | 15;  // 2020-06-15
        for (int off : {16, 18, 24}) e[off] = date & 0xFF, e[off + 1] = date >> 8;
        e[20] = (cluster >> 16) & 0xFF, e[21] = cluster >> 24, e[26] = cluster & 0xFF, e[27] = (cluster >> 8) & 0xFF;
        for (int i = 0; i < 4; ++i) e[28 + i] = (size >> (8 * i)) & 0xFF;
    }
    void DirStart(uint64_t sector, u32 self, u32 parent) {
        Entry(sector, 0, ".          ", 0x10, self, 0);
        Entry(sector, 1, "..         ", 0x10, parent, 0);
    }
};

// Geometry from two directory starts ("." clusters 10 and 30 at sectors
// 10240 and 10400: 8 sectors per cluster, cluster 2 at 10176), files kept
// until a record fits, folders of a geometry never learnt and folders in a
// loop: every file found stays reachable from the top.
TEST_F(FatDeep, HandMadeSectorsWithoutBootRecord) {
    TempDir t("deephand");
    Sectors d;
    d.DirStart(10240, 10, 0);
    d.Entry(10240, 2, "A       TXT", 0x20, 50, 100);
    d.Entry(10240, 3, "bad     txt", 0x20, 51, 100);  // lower case: no entry
    d.DirStart(10400, 30, 10);
    d.Entry(10400, 2, "B       TXT", 0x20, 60, 100);
    // Two starts 5 clusters and 15 sectors apart: 3 sectors per cluster is no geometry.
    d.DirStart(10500, 40, 0);
    d.DirStart(10515, 45, 0);
    // A folder (cluster 7) of another geometry holding SUB (cluster 9), whose files are found too.
    d.DirStart(11001, 7, 0);
    d.Entry(11001, 2, "X       TXT", 0x20, 70, 100);
    d.Entry(11001, 3, "SUB        ", 0x10, 9, 0);
    d.DirStart(11101, 9, 7);
    d.Entry(11101, 2, "S       TXT", 0x20, 80, 100);
    // Two folders (clusters 90 and 100) whose ".." name each other.
    d.DirStart(10880, 90, 100);
    d.Entry(10880, 2, "L       TXT", 0x20, 95, 100);
    d.DirStart(10960, 100, 90);
    WriteFile(t / "hand.img", d.img);
    auto e = DeepScan(t / "hand.img");
    ASSERT_EQ(e->GetVirtualDbrVec().size(), 1u);
    EXPECT_EQ(e->GetVirtualDbrVec()[0].nSectorsPerCluster, 8u);
    EXPECT_EQ(e->GetVirtualDbrVec()[0].nDataStartSector, 10176u);
    Tree tree = ListResultTree(*e);
    SCOPED_TRACE(Paths(tree));
    EXPECT_TRUE(tree.count("LostFolder10/A.TXT"));
    EXPECT_EQ(Paths(tree).find("bad"), std::string::npos);
    EXPECT_TRUE(tree.count("LostFolder10/LostFolder30/B.TXT"));
    EXPECT_TRUE(tree.count("LostFolder7/X.TXT"));
    EXPECT_TRUE(tree.count("SUB/S.TXT"));
    EXPECT_EQ(e->GetLostFileCount(), static_cast<unsigned>(tree.size()));
    // The loop is cut above its lowest folder: each folder is listed once.
    EXPECT_TRUE(tree.count("LostFolder90/L.TXT"));
    std::map<u32, int> folders;
    for (auto& [path, f] : tree) folders[f.uClusterNO] += f.bIsDir;
    for (u32 c : {90u, 100u}) EXPECT_EQ(folders[c], 1) << c;
}

// 16 MiB of crafted folder starts, each naming 14 subfolders: the folder
// entries kept are bounded (the peak memory of a scan in a child process).
TEST_F(FatDeep, FloodOfFolderEntriesIsBounded) {
    TempDir t("deepflood");
    Sectors d;
    d.img.assign(size_t{32768} * 512, 0);
    for (u32 s = 0; s < 32768; ++s) {
        d.DirStart(s, 2 + s, 0);
        for (int i = 2; i < 16; ++i) d.Entry(s, i, "FOLDER     ", 0x10, 100000 + s * 16 + i, 0);
    }
    WriteFile(t / "flood.img", d.img);
    long pages = 0, resident = 0;  // the test's own, before the scan
    ASSERT_TRUE(std::ifstream("/proc/self/statm") >> pages >> resident);
    const pid_t pid = fork();
    if (pid == 0) {
        DeepScan(t / "flood.img");
        _exit(0);
    }
    int status = 0;
    struct rusage ru {};
    ASSERT_EQ(wait4(pid, &status, 0, &ru), pid);
    EXPECT_EQ(status, 0);
    EXPECT_LT(ru.ru_maxrss * 1024L - resident * sysconf(_SC_PAGESIZE), 120L << 20);
}

// (d) a long name whose entries end one sector and whose short entry
// begins the next is joined, whichever sector the engine is given first.
TEST_F(FatDeep, LongNameAcrossSectors) {
    FR_REQUIRE(HaveMtools(), "mkfs.vfat and mtools needed");
    TempDir t("deeplfn");
    FatImage img = FatImage::Create(t / "v.img", 32, 68000, 2);
    img.Mkdir("album");
    // "." and ".." then four names of two long-name entries and a short
    // entry each: the fifth name's long entries end sector 0 of the folder.
    for (int i = 1; i <= 6; ++i) img.PutBytes(RandomBytes(600, 10 + i), "album/Summer photo " + std::to_string(i) + ".bin");
    img.Delete("album/Summer photo 5.bin");
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "short entry met first" : "in sector order");
        std::unique_ptr<CProfessionalFatRecovery> e;
        if (!reversed) {
            e = DeepScan(img.path);
        } else {
            e = std::make_unique<CProfessionalFatRecovery>();
            std::wstring w = Utf8ToWide(img.path);
            ASSERT_EQ(e->Init(w.data(), L'C'), 0);
            e->ClearProfessionalVec(nullptr);
            e->InitVirtualDbrInfo();
            // Find the folder's start and hand its second sector first.
            const uint64_t base = Geometry(img.path).u64DataStartSector;
            std::vector<unsigned char> area = ReadAt(img.path, base * 512, 1 << 20);
            for (size_t s = 0; s + 1024 <= area.size(); s += 512) {
                if (!IsFatFileRecord(area.data() + s)) continue;
                ASSERT_TRUE(IsFatFDTRecord(area.data() + s + 512, 512));
                e->ParseFDTFileRecord(area.data() + s + 512, base + s / 512 + 1);
                e->ParseFatFileRecord(area.data() + s, base + s / 512);
                break;
            }
            e->DealProfessionalRecordVec();
        }
        Tree tree = ListResultTree(*e);
        SCOPED_TRACE(Paths(tree));
        bool joined = false, six = false;
        const std::string five = "/Summer photo 5.bin";
        for (auto& [path, f] : tree) {
            joined |= path.size() > five.size() && path.ends_with(five);
            six |= path.find("Summer photo 6.bin") != std::string::npos;
        }
        EXPECT_TRUE(joined);
        EXPECT_TRUE(six);
    }
    // Undeleted under another short name, the entry no longer matches the tail's checksum: not joined.
    auto bytes = ReadFile(img.path);
    const std::string shortName = "UMMER~5BIN";  // after the deletion mark
    auto at = std::search(bytes.begin(), bytes.end(), shortName.begin(), shortName.end());
    ASSERT_NE(at, bytes.end());
    at[-1] = 'X';
    WriteFile(img.path, bytes);
    for (auto& [path, f] : ListResultTree(*DeepScan(img.path))) EXPECT_FALSE(path.ends_with("/Summer photo 5.bin"));
}

// --- Deleted files and folders whose clusters lie around live ones (both engines)

// Makes mtools look for free clusters from the start of the FAT32 volume
// again, so that new files fill the holes left by deleted ones.
void ForgetNextFreeHint(const std::string& image) { PatchFile(image, 512 + 492, "\xFF\xFF\xFF\xFF", 4); }

// Files (by the name each engine lists) recovered byte for byte.
int CountExact(IFileRecoveryParse& e, const std::map<std::string, std::vector<unsigned char>>& want,
               const std::string& outDir) {
    Tree tree = ListResultTree(e);
    int exact = 0, n = 0;
    for (auto& [path, f] : tree) {
        const std::string name = path.substr(path.rfind('/') + 1);
        auto it = want.find(name);
        if (it == want.end() || f.bIsDir) continue;
        const std::string out = outDir + "/" + std::to_string(++n);
        exact += SaveNode(e, f, out) == 0 && Sha256File(out) == Sha256(it->second);
    }
    return exact;
}

// (e) nine deleted files each written in two to four pieces around live
// files: both engines read them from the free clusters that follow, skipping
// those in use. One lost its archive bit before deletion: still a file to
// list. A rescan within the same minute gives each file once.
TEST_F(FatDeep, FragmentedDeletedFilesSkipClustersInUse) {
    FR_REQUIRE(HaveMtools() && HaveTool("mattrib"), "mkfs.vfat and mtools needed");
    TempDir t("deepfrag");
    FatImage img = FatImage::Create(t / "v.img", 32, 68000, 2);
    for (int i = 0; i < 40; ++i) img.PutBytes(RandomBytes(3000, 100 + i), "gap" + std::to_string(i) + ".bin");
    for (int i = 1; i < 40; i += 2) img.Delete("gap" + std::to_string(i) + ".bin");
    std::map<std::string, std::vector<unsigned char>> want;
    for (int k = 1; k <= 9; ++k) {
        const std::string name = "Fragmented file " + std::to_string(k) + ".dat";
        want[name] = RandomBytes(4000 + 1500 * (k % 4), 200 + k);  // 2 to 4 pieces of 3 clusters
        ForgetNextFreeHint(img.path);
        img.PutBytes(want[name], name);
    }
    ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mattrib -a -i " + Quote(img.path) + " '::/Fragmented file 3.dat'"), 0);
    for (auto& [name, data] : want) img.Delete(name);
    auto fast = OpenAndScan<CFastFatRecovery>(img.path);
    EXPECT_EQ(CountExact(*fast, want, t.path()), 9);
    EXPECT_EQ(OpenAndScan<CFastFatRecovery>(img.path)->GetLostFileCount(), fast->GetLostFileCount());
    auto deep = DeepScan(img.path);
    TempDir t2("deepfrag2");
    EXPECT_EQ(CountExact(*deep, want, t2.path()), 9);
    EXPECT_EQ(DeepScan(img.path)->GetLostFileCount(), deep->GetLostFileCount());
}

// (f) a deleted folder of 300 files whose entries fill ten clusters, with a
// live file's cluster between its fifth and sixth: the fast engine alone
// reads the folder over its free clusters past the one in use.
TEST_F(FatDeep, DeletedFolderOfManyClusters) {
    FR_REQUIRE(HaveMtools(), "mkfs.vfat and mtools needed");
    TempDir t("deepmany");
    FatImage img = FatImage::Create(t / "v.img", 16, 30000, 8);
    for (int half = 0; half < 2; ++half) {
        TempDir src("many");
        ASSERT_EQ(Sh("mkdir " + Quote(src / "DCIM")), 0);
        for (int i = 1; i <= 150; ++i) {
            char name[64];
            snprintf(name, sizeof name, "DCIM/Photo from the trip %03d.bin", half * 150 + i);
            WriteFile(src / name, nullptr, 0);
        }
        ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(img.path) + " " + Quote(src / "DCIM") + " ::/"), 0);
        if (half == 0) img.PutBytes(RandomBytes(3000, 70), "live.bin");
    }
    img.DeleteTree("DCIM");
    Tree tree = ListResultTree(*OpenAndScan<CFastFatRecovery>(img.path));
    int found = 0;
    for (auto& [path, f] : tree) found += path.find("Photo from the trip") != std::string::npos;
    EXPECT_EQ(found, 300);
}

// A deleted FAT32 entry whose high cluster word was cleared, for a type the
// judge cannot check: the free candidate cluster is taken, not the one in use.
TEST_F(FatDeep, HighWordGuessPrefersFreeClusters) {
    FR_REQUIRE(HaveMtools(), "mkfs.vfat and mtools needed");
    TempDir t("deephigh");
    FatImage img = FatImage::Create(t / "v.img", 32, 48000, 1);
    img.PutBytes(std::vector<unsigned char>(34 << 20, 0x5A), "filler.bin");
    const std::vector<unsigned char> data = RandomBytes(10000, 50);
    img.PutBytes(data, "LATE.THM");
    img.Delete("LATE.THM");
    // Clear the high word as Windows does on deletion.
    const uint64_t root = Geometry(img.path).u64DataStartSector * 512;
    const std::vector<unsigned char> dir = ReadAt(img.path, root, 512);
    const std::string entry = "\xE5" "ATE    THM";
    const size_t pos = std::string(dir.begin(), dir.end()).find(entry);
    ASSERT_NE(pos, std::string::npos);
    ASSERT_NE(dir[pos + 20] | dir[pos + 21], 0) << "the file must lie beyond cluster 65535";
    const unsigned char zero[2] = {0, 0};
    PatchFile(img.path, root + pos + 20, zero, 2);
    auto fast = OpenAndScan<CFastFatRecovery>(img.path);
    Tree tree = ListResultTree(*fast);
    ASSERT_TRUE(tree.count("!ATE.THM")) << Paths(tree);
    EXPECT_GE(tree["!ATE.THM"].uClusterNO, 65536u);
    EXPECT_EQ(SavedHash(*fast, tree["!ATE.THM"], t / "late.thm"), Sha256(data));
    EXPECT_EQ(tree["!ATE.THM"].bIsHealth, 1u);
    // With the filler gone both candidates are free: the choice is not sure,
    // and the picture is still listed (not hidden as damaged).
    img.Delete("filler.bin");
    tree = ListResultTree(*OpenAndScan<CFastFatRecovery>(img.path));
    ASSERT_TRUE(tree.count("!ATE.THM")) << Paths(tree);
    EXPECT_EQ(tree["!ATE.THM"].bIsHealth, FR_HEALTH_UNCONFIRMED);
}

}  // namespace
