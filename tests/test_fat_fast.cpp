// The fast FAT engine on real FAT12, FAT16 and FAT32 images made with
// mkfs.vfat and mtools: deleted files and folders are found and read back
// byte for byte, live files are not reported; previews, folder extraction,
// free space, damaged and hostile volumes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "fat/FatPictureJoin.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

bool HaveMtools() { return HaveTool("mkfs.vfat") && HaveTool("mcopy") && HaveTool("mshowfat"); }

FatImage MakeImage(const TempDir& t, int bits, const std::string& extra = "") {
    if (bits == 12) return FatImage::Create(t / "v.img", 12, 1440, 0, extra);
    if (bits == 16) return FatImage::Create(t / "v.img", 16, 8192, 2, extra + " -r 128");  // a small root area
    return FatImage::Create(t / "v.img", 32, 34000, 1, extra);
}

// Free bytes as mdir reports them.
u64 MtoolsFreeBytes(const FatImage& img) {
    std::string flat = Capture("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(img.path) + " ::");
    flat = std::regex_replace(flat, std::regex("[  ]"), "");
    std::smatch sm;
    EXPECT_TRUE(std::regex_search(flat, sm, std::regex("([0-9]+)bytesfree"))) << flat;
    return sm.empty() ? 0 : std::stoull(sm[1]);
}

// The first and the last cluster of a chain, from mshowfat ("<2-5> <9-12>").
std::vector<unsigned> Chain(const FatImage& img, const std::string& path) {
    const std::string text = Capture("MTOOLS_SKIP_CHECK=1 mshowfat -i " + Quote(img.path) + " ::" + path);
    std::vector<unsigned> ends;
    const std::regex run("<([0-9]+)(-([0-9]+))?>");
    for (std::sregex_iterator it(text.begin(), text.end(), run), end; it != end; ++it) {
        if (ends.empty()) ends.push_back(std::stoul((*it)[1]));
        ends.resize(1);
        ends.push_back(std::stoul((*it)[(*it)[3].matched ? 3 : 1]));
    }
    return ends;
}

struct Reports {
    std::vector<std::pair<int, int>> scan;
    std::vector<int> recoveryErrors;
    int stopAt = -1;  // answer "cancel" at this recovery report
};
int OnScan(void* p, int progress, int percent, int, u64, u64, u64, wchar_t*) {
    static_cast<Reports*>(p)->scan.emplace_back(progress, percent);
    return 0;
}
int OnRecovery(void* p, int, int, int error, wchar_t*) {
    auto* r = static_cast<Reports*>(p);
    r->recoveryErrors.push_back(error);
    return static_cast<int>(r->recoveryErrors.size()) - 1 == r->stopAt ? FR_RECOVERY_CANCELLED : 0;
}

// The standard volume. Names that fit 8.3 get no long name, so once
// deleted they read "!ero.bin".
struct Layout {
    std::vector<unsigned char> small = RandomBytes(700, 1), big = RandomBytes(40000, 2), deep = RandomBytes(5000, 3),
                               treeA = RandomBytes(3000, 4), treeB = RandomBytes(1500, 5), live = RandomBytes(900, 6),
                               text;
    std::string jpg = Sample("jpg");
    Layout() {
        for (int i = 0; text.size() < 10000; ++i) {
            std::string line = "line " + std::to_string(i) + " of a plain text file\n";
            text.insert(text.end(), line.begin(), line.end());
        }
        text.resize(10000);
    }
    FatImage Make(const TempDir& t, int bits) const {
        FatImage img = MakeImage(t, bits);
        img.PutBytes(small, "DELROOT.TXT");
        img.PutBytes(big, "A long file name.bin");
        img.PutBytes({}, "zero.bin");
        img.PutBytes(live, "live.txt");
        img.PutBytes(text, "notes.txt");
        if (!jpg.empty()) img.Put(jpg, "Holiday Photo.JPG");
        img.Mkdir("dir1");
        img.Mkdir("dir1/dir2");
        img.PutBytes(deep, "dir1/dir2/deep.dat");
        img.PutBytes(live, "dir1/alive.txt");
        img.Mkdir("tree");
        img.PutBytes(treeA, "tree/a.txt");
        img.Mkdir("tree/sub");
        img.PutBytes(treeB, "tree/sub/b.bin");
        for (const char* f : {"DELROOT.TXT", "A long file name.bin", "zero.bin", "notes.txt", "dir1/dir2/deep.dat"})
            img.Delete(f);
        if (!jpg.empty()) img.Delete("Holiday Photo.JPG");
        img.DeleteTree("tree");
        return img;
    }
};

class FatFastVolume : public EngineTest {
protected:
    void SetUp() override { FR_REQUIRE(HaveMtools(), "mkfs.vfat and mtools needed"); }
    TempDir t{"fatfast"};
};
class FatFast : public FatFastVolume, public ::testing::WithParamInterface<int> {};

// The whole path a user takes on one volume: scan, browse, search, recover,
// extract a folder, preview, and the free space for the deep sweep.
TEST_P(FatFast, ScanRecoverPreviewAndFreeSpace) {
    const int bits = GetParam();
    Layout L;
    FatImage img = L.Make(t, bits);
    CFastFatRecovery e;
    std::wstring w = Utf8ToWide(img.path);
    ASSERT_EQ(e.Init(w.data(), L'C'), 0);
    Reports rep;
    e.InitCallBack(OnScan, OnRecovery, &rep, 100);
    ASSERT_EQ(e.ScanDevice(nullptr), 0);
    const FatBootInfo& boot = e.GetBootInfo();
    EXPECT_EQ(boot.nFatBits, bits);
    auto m = ListResultTree(e);
    SCOPED_TRACE(Paths(m));
    for (const char* p : {"!ELROOT.TXT", "A long file name.bin", "!ero.bin", "dir1/dir2/!eep.dat", "!ree/!.txt",
                          "!ree/!ub/!.bin"})
        EXPECT_TRUE(m.count(p)) << p;
    EXPECT_TRUE(m["dir1"].bIsDir);
    EXPECT_FALSE(m.count("live.txt") || m.count("dir1/alive.txt"));
    EXPECT_EQ(e.GetLostFileCount(), static_cast<unsigned>(m.size()));
    const _FILE_NODE_& n = m["A long file name.bin"];
    EXPECT_EQ(n.wcDriveLetter, static_cast<u32>(L'C'));
    EXPECT_EQ(n.u64FileSize, L.big.size());
    EXPECT_EQ(n.u64DataStartSector, boot.u64DataStartSector);
    EXPECT_EQ(n.nBytesPerCluster, boot.nBytesPerSector * boot.nSectorsPerCluster);
    // Progress is complete only at the very end.
    ASSERT_FALSE(rep.scan.empty());
    EXPECT_EQ(rep.scan.back(), std::make_pair(100, 100));
    for (size_t i = 0; i + 1 < rep.scan.size(); ++i) EXPECT_FALSE(IsScanComplete(rep.scan[i].first, 100));
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pat = L"*.bin|";
    e.SearchFileNode(pat.data(), hits);
    std::set<std::string> found;
    for (auto& h : hits) found.insert(h.szFileName);
    EXPECT_TRUE(found.count("A long file name.bin") && found.count("!.bin") && !found.count("!otes.txt"));

    // Byte for byte, an empty file as an empty file, never over an existing one.
    const std::pair<const char*, const std::vector<unsigned char>*> files[] = {
        {"A long file name.bin", &L.big}, {"!ELROOT.TXT", &L.small}, {"dir1/dir2/!eep.dat", &L.deep}};
    for (auto [path, data] : files) {
        EXPECT_EQ(SaveNode(e, m[path], t / "out.bin"), 0) << path;
        EXPECT_EQ(Sha256File(t / "out.bin"), Sha256(*data)) << path;
        EXPECT_EQ(SaveNode(e, m[path], t / "out.bin"), EEXIST) << path;
        unlink((t / "out.bin").c_str());
    }
    EXPECT_EQ(rep.recoveryErrors.back(), EEXIST);
    EXPECT_EQ(SaveNode(e, m["!ero.bin"], t / "zero.bin"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(t / "zero.bin"));
    if (!L.jpg.empty()) {
        ASSERT_TRUE(m.count("Holiday Photo.JPG"));
        EXPECT_EQ(m["Holiday Photo.JPG"].bIsHealth, 1u);
        EXPECT_EQ(SaveNode(e, m["Holiday Photo.JPG"], t / "p.jpg"), 0);
        EXPECT_EQ(Sha256File(t / "p.jpg"), Sha256File(L.jpg));
    }
    // A deleted folder with a subfolder; folders are created 0755.
    ASSERT_EQ(SaveNode(e, m["!ree"], t / "tree"), 0);
    EXPECT_EQ(Sha256File(t / "tree/!.txt"), Sha256(L.treeA));
    EXPECT_EQ(Sha256File(t / "tree/!ub/!.bin"), Sha256(L.treeB));
    struct stat st;
    ASSERT_EQ(stat((t / "tree/!ub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // Cancelling on the first report stops the whole folder extraction.
    rep.recoveryErrors.clear();
    rep.stopAt = 0;
    EXPECT_EQ(SaveNode(e, m["!ree"], t / "again"), FR_RECOVERY_CANCELLED);
    EXPECT_EQ(rep.recoveryErrors.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(t / "again/!ub/!.bin"));

    // Text previews into the buffer, pictures into a temporary file.
    std::vector<unsigned char> buf(4096);
    int len = 4096;
    wchar_t tmp[512] = {0};
    ASSERT_EQ(e.PreView(&m["!otes.txt"], tmp, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 4096);
    EXPECT_EQ(std::memcmp(buf.data(), L.text.data(), 4096), 0);
    if (!L.jpg.empty()) {
        len = 16;
        ASSERT_EQ(e.PreView(&m["Holiday Photo.JPG"], tmp, buf.data(), len, nullptr, nullptr), 0);
        EXPECT_EQ(len, 0);
        EXPECT_NE(WideToUtf8(tmp).find("tmp.jpg"), std::string::npos);
        EXPECT_EQ(Sha256File(WideToUtf8(tmp)), Sha256File(L.jpg));
    }
    EXPECT_EQ(e.PreView(nullptr, tmp, buf.data(), len, nullptr, nullptr), FR_INVALID);

    // Free stretches start on clusters and add up to what mtools calls free.
    ASSERT_EQ(e.BuildBitMapInfo(), 0);
    const u64 sectors = ReadFile(img.path).size() / 512;
    EXPECT_EQ(SumFreeSectors(e, sectors) * 512, MtoolsFreeBytes(img));
    u64 s = 1ULL << 40, c = 5;
    e.GetUnUsedSectorCount(s, c);
    EXPECT_EQ(c, 0u);
    s = 1;  // before the data area (but not 0): nothing
    e.GetUnUsedSectorCount(s, c);
    EXPECT_EQ(c, 0u);
}

// A live file read along a fragmented chain (FAT12 entries straddle bytes);
// a file longer than its chain fails short, a cluster outside is refused.
TEST_P(FatFast, FragmentedChainShortChainAndBadCluster) {
    FatImage img = MakeImage(t, GetParam());
    auto a = RandomBytes(3000, 11), b = RandomBytes(2000, 12), c = RandomBytes(9000, 13);
    img.PutBytes(a, "A.BIN");
    img.PutBytes(b, "B.BIN");
    img.Delete("A.BIN");
    img.PutBytes(c, "C.BIN");  // fills A's clusters, then continues after B
    auto chain = Chain(img, "C.BIN");
    ASSERT_FALSE(chain.empty());
    const std::string runs = Capture("MTOOLS_SKIP_CHECK=1 mshowfat -i " + Quote(img.path) + " ::C.BIN");
    const bool fragmented = runs.find('<') != runs.rfind('<');  // FAT32 allocation may go on past B
    if (GetParam() != 32) {
        EXPECT_TRUE(fragmented) << runs;
    }
    auto e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    _FILE_NODE_ n{};
    n.uClusterNO = chain[0];
    n.nBytesPerCluster = e->GetBootInfo().nBytesPerSector * e->GetBootInfo().nSectorsPerCluster;
    n.u64FileSize = c.size();
    n.u64DataStartSector = e->GetBootInfo().u64DataStartSector;
    EXPECT_EQ(SaveNode(*e, n, t / "c.out"), 0);
    EXPECT_EQ(Sha256File(t / "c.out"), Sha256(c));
    n.u64FileSize = c.size() + 100000;
    EXPECT_EQ(SaveNode(*e, n, t / "c2.out"), FR_SHORT_READ);
    EXPECT_LT(ReadFile(t / "c2.out").size(), n.u64FileSize);  // no padding
    n.uClusterNO = 0x7FFFFFF;
    EXPECT_NE(SaveNode(*e, n, t / "c3.out"), 0);
    // Deleted, it is read along the free clusters that follow, over B's:
    // whole again, fragmented or not.
    img.Delete("C.BIN");
    e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    auto m = ListResultTree(*e);
    ASSERT_TRUE(m.count("!.BIN")) << Paths(m);
    EXPECT_EQ(SaveNode(*e, m["!.BIN"], t / "c4.out"), 0);
    EXPECT_EQ(Sha256File(t / "c4.out"), Sha256(c));
    // A deleted file in the last two clusters of the volume comes back whole; asked for more, it is short.
    if (GetParam() == 32) PatchFile(img.path, 512 + 492, "\xFF\xFF\xFF\xFF", 4);  // mtools allocates from the start
    img.PutBytes(RandomBytes(MtoolsFreeBytes(img) - 2 * n.nBytesPerCluster, 14), "FILL.BIN");
    const auto last = RandomBytes(2 * n.nBytesPerCluster - 9, 15);
    img.PutBytes(last, "LAST.DAT");
    ASSERT_EQ(Chain(img, "LAST.DAT").back(), e->GetBootInfo().nClusterCount + 1);
    img.Delete("LAST.DAT");
    e = OpenAndScan<CFastFatRecovery>(img.path);
    m = ListResultTree(*e);
    EXPECT_EQ(SaveNode(*e, m["!AST.DAT"], t / "last.out"), 0);
    EXPECT_EQ(Sha256File(t / "last.out"), Sha256(last));
    m["!AST.DAT"].u64FileSize += n.nBytesPerCluster;
    EXPECT_EQ(SaveNode(*e, m["!AST.DAT"], t / "more.out"), FR_SHORT_READ);
}

// Garbage over a third of the sectors: scan, listing, free space, extraction
// and preview of everything found finish without harm.
TEST_P(FatFast, DamagedVolumesNeverHurt) {
    Layout L;
    FatImage img = L.Make(t, GetParam());
    const auto clean = ReadFile(img.path);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        auto bytes = clean;
        auto noise = RandomBytes(bytes.size(), seed * 7 + GetParam());
        for (size_t s = 1; s < bytes.size() / 512; ++s)
            if (noise[s * 512] % 3 == 0) std::copy_n(noise.begin() + s * 512, 512, bytes.begin() + s * 512);
        WriteFile(img.path, bytes);
        CFastFatRecovery e;
        std::wstring w = Utf8ToWide(img.path);
        ASSERT_EQ(e.Init(w.data(), L'C'), 0);
        e.ScanDevice(nullptr);
        e.BuildBitMapInfo();
        SumFreeSectors(e, clean.size() / 512);
        TempDir dest("fatdamaged");
        SaveAndPreviewAll(e, dest.path());
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, FatFast, ::testing::Values(12, 16, 32),
                         [](const ::testing::TestParamInfo<int>& i) { return "FAT" + std::to_string(i.param); });

std::vector<unsigned char> Utf16(const std::string& s) {
    std::vector<unsigned char> v;
    for (char c : s) v.insert(v.end(), {static_cast<unsigned char>(c), 0});
    return v;
}

// Long names holding "/" and ".." never lead a write out of the destination.
TEST_F(FatFastVolume, HostileNamesStayInsideTheDestination) {
    FatImage img = MakeImage(t, 16);
    auto payload = RandomBytes(1234, 21);
    img.Mkdir("box");
    img.PutBytes(payload, "box/xx_yy_evil.txt");
    img.PutBytes(payload, "box/pp_qq_slash.txt");
    img.Mkdir("box/ddQQdd");
    img.PutBytes(payload, "box/ddQQdd/inner.txt");
    // Long names become "../../evil.txt", "pp/qq/slash.txt" and "..".
    auto bytes = ReadFile(img.path);
    auto at = [&](const std::string& s) {
        const auto needle = Utf16(s);
        auto it = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
        EXPECT_NE(it, bytes.end()) << s;
        return it;
    };
    auto patch = [&](const std::string& from, const std::string& to) { std::ranges::copy(Utf16(to), at(from)); };
    patch("xx_yy", "../..");
    at("../..")[13] = '/';  // the sixth character lives after the attribute bytes
    patch("pp_qq", "pp/qq");
    auto dd = at("ddQQd");
    std::ranges::copy(Utf16(".."), dd);
    for (int k : {4, 5}) dd[k] = 0;  // the terminator, then padding
    for (int k : {6, 7, 8, 9, 13, 14}) dd[k] = 0xFF;
    WriteFile(img.path, bytes);
    img.DeleteTree("box");

    auto e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    auto m = ListResultTree(*e);
    ASSERT_TRUE(m.count("!ox")) << Paths(m);
    const std::string dest = t / "dest/inner";
    ASSERT_EQ(MakeDirs(dest, 0755), 0);
    SaveNode(*e, m["!ox"], dest + "/box");
    // Nothing beside dest/inner/box; inside it the three files, whole.
    EXPECT_EQ(Capture("find " + Quote(t / "dest") + " -mindepth 1 -maxdepth 2"), dest + "\n" + dest + "/box\n");
    const std::string sum = Sha256(payload) + "\n";
    EXPECT_EQ(Capture("find " + Quote(dest) + " -type f -exec sha256sum {} + | cut -c1-64"), sum + sum + sum);
}

// Folder loops end the scan. A folder whose ".." names itself, holding an
// entry that leads back to an ancestor: the deleted file in it is still found
// once. A live folder whose entries span many clusters, its chain pointing
// back from its last cluster to its first: walked whole, to the file in its
// last cluster (which its entries fill: no end mark stops the walk).
TEST_F(FatFastVolume, FolderLoopsEnd) {
    FatImage img = MakeImage(t, 16);
    for (const char* d : {"A", "A/B", "A/B/C"}) img.Mkdir(d);
    img.PutBytes(RandomBytes(3000, 61), "A/B/C/X.BIN");
    img.Delete("A/B/C/X.BIN");
    TempDir src("fatwalksrc");
    const std::string many = src / "many";
    ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
    for (int i = 0; i < 41; ++i) WriteFile(many + "/Long file name " + std::to_string(i) + ".dat", "x", 1);
    auto last = RandomBytes(2000, 31);
    WriteFile(many + "/Long file name 99.dat", last);
    ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(img.path) + " " + Quote(many) + " ::"), 0);
    img.Delete("many/Long file name 99.dat");
    const auto a = Chain(img, "A"), c = Chain(img, "A/B/C"), m = Chain(img, "many");
    ASSERT_TRUE(!a.empty() && !c.empty() && !m.empty());
    auto bytes = ReadFile(img.path);
    auto le16 = [&](size_t at) { return static_cast<unsigned>(bytes[at] | (bytes[at + 1] << 8)); };
    const unsigned reserved = le16(14), spf = le16(22);
    const size_t dataStart = reserved + bytes[16] * spf + le16(17) * 32 / 512;
    unsigned char* dir = bytes.data() + (dataStart + (c[0] - 2) * bytes[13]) * 512;
    dir[32 + 26] = static_cast<unsigned char>(c[0]), dir[32 + 27] = static_cast<unsigned char>(c[0] >> 8);
    std::memcpy(dir + 96, dir, 32);  // a copy of "." named LOOP, pointing at A
    std::memcpy(dir + 96, "LOOP       ", 11);
    dir[96 + 26] = static_cast<unsigned char>(a[0]), dir[96 + 27] = static_cast<unsigned char>(a[0] >> 8);
    for (unsigned f = 0; f < 2; ++f) {  // in both FATs
        bytes[(reserved + f * spf) * 512 + m[1] * 2] = static_cast<unsigned char>(m[0]);
        bytes[(reserved + f * spf) * 512 + m[1] * 2 + 1] = static_cast<unsigned char>(m[0] >> 8);
    }
    WriteFile(img.path, bytes);
    auto e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pat = L"*.bin|";
    e->SearchFileNode(pat.data(), hits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_STREQ(hits[0].szFileName, "!.BIN");
    // The looping chain of "many" is walked once: its deleted file is listed once.
    pat = L"*.dat|";
    hits.clear();
    e->SearchFileNode(pat.data(), hits);
    EXPECT_EQ(hits.size(), 1u);
    auto tree = ListResultTree(*e);
    ASSERT_TRUE(tree.count("many/Long file name 99.dat")) << Paths(tree);
    EXPECT_EQ(SaveNode(*e, tree["many/Long file name 99.dat"], t / "last.dat"), 0);
    EXPECT_EQ(Sha256File(t / "last.dat"), Sha256(last));
    std::vector<_FILE_NODE_> kids;
    EXPECT_EQ(e->GetChildrenFileNode(nullptr, 5, kids), FR_INVALID);
    EXPECT_EQ(e->BuildBitMapInfo(), 0);
}

// 4096-byte sectors, in an image and inside a partitioned disk: data in the
// volume's own units, free stretches and the volume start in 512-byte
// sectors. And what is not a FAT volume is refused.
TEST_F(FatFastVolume, LargeSectorsAndNonFatImages) {
    FatImage img = FatImage::Create(t / "s.img", 16, 32768, 1, "-S 4096");
    auto data = RandomBytes(50000, 41);
    img.Mkdir("d");
    img.PutBytes(data, "d/Big deleted file.bin");
    img.Delete("d/Big deleted file.bin");
    auto e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetBootInfo().nBytesPerSector, 4096u);
    auto m = ListResultTree(*e);
    ASSERT_TRUE(m.count("d/Big deleted file.bin")) << Paths(m);
    EXPECT_EQ(SaveNode(*e, m["d/Big deleted file.bin"], t / "b.bin"), 0);
    EXPECT_EQ(Sha256File(t / "b.bin"), Sha256(data));
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    EXPECT_EQ(SumFreeSectors(*e, 32768 * 2, 8) * 512, MtoolsFreeBytes(img));

    WriteFile(t / "zero.img", std::vector<unsigned char>(1 << 20, 0));
    CFastFatRecovery none;
    std::wstring w = Utf8ToWide(t / "zero.img");
    EXPECT_NE(none.Init(w.data(), L'C'), 0);
    EXPECT_NE(none.ScanDevice(nullptr), 0);
    EXPECT_EQ(SumFreeSectors(none, 0), 0u);

    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk needed");
    const u64 start = 2048;
    e = ScanOnDisk<CFastFatRecovery>(t, 0, img.path, start, "c");
    ASSERT_TRUE(e);
    m = ListResultTree(*e);
    const _FILE_NODE_& n = m["d/Big deleted file.bin"];
    EXPECT_EQ(n.u64VolumeStartSector, start);
    EXPECT_EQ(SaveNode(*e, n, t / "out.bin"), 0);
    EXPECT_EQ(Sha256File(t / "out.bin"), Sha256(data));
    // The record sector (in the volume's own sectors) holds the entry.
    auto disk = ReadFile(t / "disk0");
    const u64 bps = e->GetBootInfo().nBytesPerSector;
    bool found = false;
    for (size_t off = n.u64RecordSector * bps; off < (n.u64RecordSector + 1) * bps && off < disk.size(); off += 32)
        found = found || (disk[off] == 0xE5 && std::memcmp(&disk[off + 8], "BIN", 3) == 0);
    EXPECT_TRUE(found);
}

}  // namespace

// Where a two-piece picture lies is kept in its stored record: layouts that
// results saved earlier hold (first piece above bit 12) must read back as
// they were, and gaps of up to 65535 clusters must survive a round trip.
TEST(FatPictureLayout, StoredLayoutsReadBack) {
    struct Case { u32 stored; u32 first, gap; };
    for (const Case& c : std::vector<Case>{{1000u << 12 | 50, 1000, 50}, {((1u << 19) - 1) << 12 | 4095, (1u << 19) - 1, 4095}, {0, 0, 0}}) {
        const FatPieces p = DecodeFatPieces(c.stored);
        EXPECT_EQ(p.firstSteps, c.first) << c.stored;
        EXPECT_EQ(p.gapSteps, c.gap) << c.stored;
        EXPECT_EQ(EncodeFatPieces(p), c.stored) << c.stored;
    }
    for (const FatPieces& p : std::vector<FatPieces>{{7, 4096}, {32767, 65535}, {1, 5000}}) {
        ASSERT_TRUE(FatPiecesFit(p.firstSteps, p.gapSteps));
        const FatPieces back = DecodeFatPieces(EncodeFatPieces(p));
        EXPECT_EQ(back.firstSteps, p.firstSteps);
        EXPECT_EQ(back.gapSteps, p.gapSteps);
    }
    EXPECT_FALSE(FatPiecesFit(1u << 15, 4096));
    EXPECT_FALSE(FatPiecesFit(1u << 19, 1));
}
