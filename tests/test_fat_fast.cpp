// The fast FAT engine on real FAT12, FAT16 and FAT32 images made with
// mkfs.vfat and mtools: deleted files and folders are found and read back
// byte for byte, live files are not reported, previews, directory
// extraction, free space, hostile names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "results/LogFileManager.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Found {
    _FILE_NODE_ node;
    std::string path;  // "dir/sub/name"
    unsigned level;    // key level of this node's children (directories)
};

class DataDirScope {
public:
    DataDirScope() : m_dir("fatdata") {
        setenv("FOTORETTA_DATA_DIR", m_dir.path().c_str(), 1);
        ResetDataDirCache();
        CLogFileManager::ResetInstance();
    }
    ~DataDirScope() {
        CLogFileManager::ResetInstance();
        unsetenv("FOTORETTA_DATA_DIR");
        ResetDataDirCache();
    }

private:
    TempDir m_dir;
};

struct ScanLog {
    std::vector<std::pair<int, int>> reports;
};

int OnScan(void* p, int nProgress, int nPercent, int, u64, u64, u64, wchar_t*) {
    static_cast<ScanLog*>(p)->reports.emplace_back(nProgress, nPercent);
    return 0;
}

std::unique_ptr<CFastFatRecovery> OpenAndScan(const std::string& image, ScanLog* log = nullptr) {
    auto engine = std::make_unique<CFastFatRecovery>();
    std::wstring w = Utf8ToWide(image);
    EXPECT_EQ(engine->Init(w.data(), L'C'), 0);
    engine->InitCallBack(log ? OnScan : nullptr, nullptr, log, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), 0);
    return engine;
}

void Collect(CFastFatRecovery& e, _FILE_NODE_* parent, unsigned level, const std::string& prefix,
             std::vector<Found>& out, int depth = 0) {
    std::vector<_FILE_NODE_> kids;
    ASSERT_EQ(e.GetChildrenFileNode(parent, level, kids), 0);
    for (auto& k : kids) {
        Found f{k, prefix + k.szFileName, level + 1};
        out.push_back(f);
        if (k.bIsDir && depth < 16) Collect(e, &k, level + 1, f.path + "/", out, depth + 1);
    }
}

std::map<std::string, Found> All(CFastFatRecovery& e) {
    std::vector<Found> v;
    Collect(e, nullptr, 0, "", v);
    std::map<std::string, Found> m;
    for (auto& f : v) m[f.path] = f;
    return m;
}

std::string Keys(const std::map<std::string, Found>& m) {
    std::string s;
    for (auto& [k, v] : m) s += k + (v.node.bIsDir ? "/ " : " ");
    return s;
}

std::vector<unsigned char> Save(CFastFatRecovery& e, _FILE_NODE_ node, const std::string& out, int* pRet = nullptr) {
    std::wstring w = Utf8ToWide(out);
    int ret = e.SaveFileData(&node, w.data(), 0);
    if (pRet)
        *pRet = ret;
    else
        EXPECT_EQ(ret, 0) << out;
    return ReadFile(out);
}

struct Layout {
    std::vector<unsigned char> small = RandomBytes(700, 1);
    std::vector<unsigned char> big = RandomBytes(40000, 2);     // many clusters, contiguous
    std::vector<unsigned char> deep = RandomBytes(5000, 3);
    std::vector<unsigned char> text;                           // 10000 bytes of text
    std::vector<unsigned char> treeA = RandomBytes(3000, 4);
    std::vector<unsigned char> treeB = RandomBytes(1500, 5);
    std::vector<unsigned char> live = RandomBytes(900, 6);
    std::string jpg;
    Layout() {
        for (int i = 0; text.size() < 10000; ++i) {
            std::string line = "line " + std::to_string(i) + " of a plain text file\n";
            text.insert(text.end(), line.begin(), line.end());
        }
        text.resize(10000);
        jpg = Sample("jpg");
    }
};

// Builds the standard test volume and deletes what the tests look for.
// Names that fit 8.3 get no long name, so once deleted they read "!ero.bin".
FatImage MakeVolume(const TempDir& t, int bits, const Layout& L) {
    FatImage img;
    if (bits == 12)
        img = FatImage::Create(t / "v.img", 12, 1440);
    else if (bits == 16)
        img = FatImage::Create(t / "v.img", 16, 8192, 2, "-r 128");
    else
        img = FatImage::Create(t / "v.img", 32, 34000, 1);
    img.PutBytes(L.small, "DELROOT.TXT");
    img.PutBytes(L.big, "A long file name.bin");
    img.PutBytes({}, "zero.bin");
    img.PutBytes(L.live, "live.txt");
    img.PutBytes(L.text, "notes.txt");
    if (!L.jpg.empty()) img.Put(L.jpg, "Holiday Photo.JPG");
    img.Mkdir("dir1");
    img.Mkdir("dir1/dir2");
    img.PutBytes(L.deep, "dir1/dir2/deep.dat");
    img.PutBytes(L.live, "dir1/alive.txt");
    img.Mkdir("tree");
    img.PutBytes(L.treeA, "tree/a.txt");
    img.Mkdir("tree/sub");
    img.PutBytes(L.treeB, "tree/sub/b.bin");
    img.Delete("DELROOT.TXT");
    img.Delete("A long file name.bin");
    img.Delete("zero.bin");
    img.Delete("notes.txt");
    if (!L.jpg.empty()) img.Delete("Holiday Photo.JPG");
    img.Delete("dir1/dir2/deep.dat");
    img.DeleteTree("tree");
    return img;
}

class FatFast : public ::testing::TestWithParam<int> {
protected:
    DataDirScope scope;
};

TEST_P(FatFast, FindsDeletedAndSkipsLive) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    TempDir t("fatfast");
    Layout L;
    FatImage img = MakeVolume(t, GetParam(), L);
    ScanLog log;
    auto e = OpenAndScan(img.path, &log);
    EXPECT_EQ(e->GetDeviceFileSystemType(), GetParam() == 32 ? 1 : 0);
    EXPECT_EQ(e->GetBootInfo().nFatBits, GetParam());
    auto m = All(*e);
    SCOPED_TRACE(Keys(m));
    EXPECT_TRUE(m.count("!elroot.txt"));
    EXPECT_TRUE(m.count("A long file name.bin"));
    EXPECT_TRUE(m.count("!ero.bin"));
    EXPECT_TRUE(m.count("dir1/dir2/!eep.dat"));
    EXPECT_TRUE(m.count("dir1") && m["dir1"].node.bIsDir);
    EXPECT_TRUE(m.count("!ree/!.txt"));
    EXPECT_TRUE(m.count("!ree/!ub/!.bin"));
    EXPECT_FALSE(m.count("live.txt"));
    EXPECT_FALSE(m.count("dir1/alive.txt"));
    if (!L.jpg.empty()) {
        ASSERT_TRUE(m.count("Holiday Photo.JPG"));
        EXPECT_EQ(m["Holiday Photo.JPG"].node.bIsHealth, 1u);
    }
    // Field contents of one node.
    const _FILE_NODE_& n = m["A long file name.bin"].node;
    EXPECT_EQ(n.nEngineType, 1u);
    EXPECT_EQ(n.wcDriveLetter, static_cast<u32>(L'C'));
    EXPECT_EQ(n.u64FileSize, L.big.size());
    EXPECT_EQ(n.u64DataStartSector, e->GetBootInfo().u64DataStartSector);
    EXPECT_EQ(n.nBytesPerCluster, e->GetBootInfo().nBytesPerSector * e->GetBootInfo().nSectorsPerCluster);
    EXPECT_EQ(e->GetLostFileCount(), static_cast<unsigned>(m.size()));
    // Progress: complete only at the very end.
    ASSERT_FALSE(log.reports.empty());
    EXPECT_EQ(log.reports.back(), std::make_pair(100, 100));
    for (size_t i = 0; i + 1 < log.reports.size(); ++i)
        EXPECT_FALSE(IsScanComplete(log.reports[i].first, log.reports[i].second));
    // Search by extension.
    std::vector<__SEARCH_FILE_INFO__> hits;
    std::wstring pat = L"*.bin|";
    e->SearchFileNode(pat.data(), hits);
    std::vector<std::string> names;
    for (auto& h : hits) names.push_back(h.szFileName);
    EXPECT_NE(std::find(names.begin(), names.end(), "A long file name.bin"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "!.bin"), names.end());
}

TEST_P(FatFast, RecoversFilesByteForByte) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    TempDir t("fatfast");
    Layout L;
    FatImage img = MakeVolume(t, GetParam(), L);
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    SCOPED_TRACE(Keys(m));
    ASSERT_TRUE(m.count("A long file name.bin"));
    EXPECT_EQ(Sha256(Save(*e, m["A long file name.bin"].node, t / "big.bin")), Sha256(L.big));
    ASSERT_TRUE(m.count("!elroot.txt"));
    EXPECT_EQ(Sha256(Save(*e, m["!elroot.txt"].node, t / "small.txt")), Sha256(L.small));
    ASSERT_TRUE(m.count("dir1/dir2/!eep.dat"));
    EXPECT_EQ(Sha256(Save(*e, m["dir1/dir2/!eep.dat"].node, t / "deep.dat")), Sha256(L.deep));
    ASSERT_TRUE(m.count("!ero.bin"));
    auto z = Save(*e, m["!ero.bin"].node, t / "zero.bin");
    EXPECT_TRUE(z.empty());
    struct stat st;
    EXPECT_EQ(stat((t / "zero.bin").c_str(), &st), 0);
    if (!L.jpg.empty()) {
        ASSERT_TRUE(m.count("Holiday Photo.JPG"));
        EXPECT_EQ(Sha256(Save(*e, m["Holiday Photo.JPG"].node, t / "p.jpg")), Sha256File(L.jpg));
    }
    // An existing target is never overwritten.
    WriteFile(t / "exists.bin", "keep", 4);
    int ret = 0;
    Save(*e, m["A long file name.bin"].node, t / "exists.bin", &ret);
    EXPECT_EQ(ret, EEXIST);
    EXPECT_EQ(ReadFile(t / "exists.bin").size(), 4u);
}

TEST_P(FatFast, ExtractsDeletedFolder) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    TempDir t("fatfast");
    Layout L;
    FatImage img = MakeVolume(t, GetParam(), L);
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    ASSERT_TRUE(m.count("!ree")) << Keys(m);
    std::string dest = t / "out";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    std::wstring wdest = Utf8ToWide(dest);
    int base = 0;
    GetPathDirIndex(wdest.c_str(), base);
    // The folder sits at level 0, so its children are listed at level 1:
    // "<dest>/tree" has base + 1 separators.
    std::wstring target = Utf8ToWide(dest + "/tree");
    _FILE_NODE_ node = m["!ree"].node;
    ASSERT_EQ(e->SaveFileData(&node, target.data(), base), 0);
    EXPECT_EQ(Sha256File(dest + "/tree/!.txt"), Sha256(L.treeA));
    EXPECT_EQ(Sha256File(dest + "/tree/!ub/!.bin"), Sha256(L.treeB));
    struct stat st;
    ASSERT_EQ(stat((dest + "/tree/!ub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_P(FatFast, Previews) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    TempDir t("fatfast");
    Layout L;
    FatImage img = MakeVolume(t, GetParam(), L);
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    ASSERT_TRUE(m.count("!otes.txt")) << Keys(m);
    std::vector<unsigned char> buf(4096);
    int len = 4096;
    wchar_t tmp[512] = {0};
    _FILE_NODE_ n = m["!otes.txt"].node;
    int last = -1;
    auto cb = +[](void* p, int progress, int) {
        *static_cast<int*>(p) = progress;
        return 0;
    };
    ASSERT_EQ(e->PreView(&n, tmp, buf.data(), len, cb, &last), 0);
    EXPECT_EQ(len, 4096);
    EXPECT_EQ(last, 100);
    EXPECT_EQ(std::memcmp(buf.data(), L.text.data(), 4096), 0);
    if (!L.jpg.empty()) {
        _FILE_NODE_ p = m["Holiday Photo.JPG"].node;
        len = 16;
        ASSERT_EQ(e->PreView(&p, tmp, buf.data(), len, nullptr, nullptr), 0);
        EXPECT_EQ(len, 0);
        std::string path = WideToUtf8(tmp);
        EXPECT_NE(path.find("tmp.jpg"), std::string::npos) << path;
        EXPECT_EQ(Sha256File(path), Sha256File(L.jpg));
    }
    EXPECT_EQ(e->PreView(nullptr, tmp, buf.data(), len, nullptr, nullptr), FR_INVALID);
}

// Free stretches from the bitmap add up to what mtools reports as free.
TEST_P(FatFast, FreeSpaceMatchesMtools) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    TempDir t("fatfast");
    Layout L;
    FatImage img = MakeVolume(t, GetParam(), L);
    auto e = OpenAndScan(img.path);
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    std::string out = Capture("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(img.path) + " ::");
    std::smatch sm;
    std::string flat = std::regex_replace(out, std::regex("[  ]"), "");
    ASSERT_TRUE(std::regex_search(flat, sm, std::regex("([0-9]+)bytesfree"))) << out;
    const u64 freeBytes = std::stoull(sm[1]);
    u64 sector = 0, count = 0, total = 0;
    const u64 dataStart = e->GetBootInfo().u64DataStartSector;
    for (int guard = 0; guard < 100000; ++guard) {
        ASSERT_EQ(e->GetUnUsedSectorCount(sector, count), 1);
        if (count == 0) break;
        EXPECT_GE(sector, dataStart);
        EXPECT_EQ((sector - dataStart) % e->GetBootInfo().nSectorsPerCluster, 0u);
        total += count;
        sector += count;
    }
    EXPECT_EQ(total * e->GetBootInfo().nBytesPerSector, freeBytes);
    // Beyond the volume: the sector count and nothing.
    u64 s = 1ULL << 40, c = 5;
    e->GetUnUsedSectorCount(s, c);
    EXPECT_EQ(c, 0u);
    // Before the data area (but not 0): unchanged and nothing.
    s = 1;
    e->GetUnUsedSectorCount(s, c);
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(c, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatFast, ::testing::Values(12, 16, 32),
                         [](const ::testing::TestParamInfo<int>& i) { return "FAT" + std::to_string(i.param); });

// Byte offset in the image of the first occurrence of a pattern.
long long FindBytes(const std::vector<unsigned char>& hay, const std::vector<unsigned char>& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : static_cast<long long>(it - hay.begin());
}

std::vector<unsigned char> Utf16(const std::string& s) {
    std::vector<unsigned char> v;
    for (char c : s) {
        v.push_back(static_cast<unsigned char>(c));
        v.push_back(0);
    }
    return v;
}

// A live file read along a fragmented chain (FAT12 entries straddle bytes).
TEST(FatFastChain, LiveFragmentedFileFollowsItsChain) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mshowfat"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE(bits);
        TempDir t("fatchain");
        FatImage img = bits == 12 ? FatImage::Create(t / "c.img", 12, 1440)
                       : bits == 16 ? FatImage::Create(t / "c.img", 16, 8192, 2)
                                    : FatImage::Create(t / "c.img", 32, 34000, 1);
        auto a = RandomBytes(3000, 11), b = RandomBytes(2000, 12), c = RandomBytes(9000, 13);
        img.PutBytes(a, "A.BIN");
        img.PutBytes(b, "B.BIN");
        img.Delete("A.BIN");
        img.PutBytes(c, "C.BIN");  // fills A's clusters, then continues after B
        std::string chain = Capture("MTOOLS_SKIP_CHECK=1 mshowfat -i " + Quote(img.path) + " ::C.BIN");
        std::smatch sm;
        ASSERT_TRUE(std::regex_search(chain, sm, std::regex("<([0-9]+)"))) << chain;
        if (bits != 32) {
            EXPECT_NE(chain.find('>'), chain.rfind('>')) << "fragmented chain expected: " << chain;
        }
        auto e = OpenAndScan(img.path);
        _FILE_NODE_ n{};
        n.nEngineType = 1;
        n.uClusterNO = static_cast<u32>(std::stoul(sm[1]));
        n.nBytesPerCluster = e->GetBootInfo().nBytesPerSector * e->GetBootInfo().nSectorsPerCluster;
        n.u64FileSize = c.size();
        n.u64DataStartSector = e->GetBootInfo().u64DataStartSector;
        std::strcpy(n.szFileName, "c.bin");
        EXPECT_EQ(Sha256(Save(*e, n, t / "c.out")), Sha256(c));
        // A file longer than its chain fails short instead of padding.
        n.u64FileSize = c.size() + 100000;
        int ret = 0;
        Save(*e, n, t / "c2.out", &ret);
        EXPECT_EQ(ret, FR_SHORT_READ);
        // A cluster outside the volume is refused.
        n.uClusterNO = 0x7FFFFFF;
        Save(*e, n, t / "c3.out", &ret);
        EXPECT_NE(ret, 0);
    }
}

// Long names holding "/" and ".." never lead a write out of the destination.
TEST(FatFastHostile, NamesStayInsideDestination) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fathostile");
    FatImage img = FatImage::Create(t / "h.img", 16, 8192, 2);
    auto payload = RandomBytes(1234, 21);
    img.Mkdir("box");
    img.PutBytes(payload, "box/xx_yy_evil.txt");
    img.PutBytes(payload, "box/pp_qq_slash.txt");
    img.Mkdir("box/ddQQdd");
    img.PutBytes(payload, "box/ddQQdd/inner.txt");
    // Rewrite the long names in place: "../../evil.txt", "pp/qq/slash.txt"
    // and a folder called "..".
    auto bytes = ReadFile(img.path);
    auto patch = [&](const std::string& from, const std::string& to) {
        long long at = FindBytes(bytes, Utf16(from));
        ASSERT_GE(at, 0) << from;
        auto rep = Utf16(to);
        std::copy(rep.begin(), rep.end(), bytes.begin() + at);
    };
    patch("xx_yy", "../..");
    {
        long long at = FindBytes(bytes, Utf16("../.."));
        bytes[at + 13] = '/';  // the sixth character lives after the attribute bytes
    }
    patch("pp_qq", "pp/qq");
    // The folder's long name "ddQQdd" becomes ".." (terminator, padding).
    {
        long long at = FindBytes(bytes, Utf16("ddQQd"));
        ASSERT_GE(at, 0);
        auto rep = Utf16("..");
        std::copy(rep.begin(), rep.end(), bytes.begin() + at);
        bytes[at + 4] = 0;
        bytes[at + 5] = 0;
        for (int k = 6; k < 10; ++k) bytes[at + k] = 0xFF;
        bytes[at + 13] = 0xFF;
        bytes[at + 14] = 0xFF;
    }
    WriteFile(img.path, bytes);
    img.DeleteTree("box");

    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    ASSERT_TRUE(m.count("!ox")) << Keys(m);
    std::string root = t / "dest";
    std::string dest = root + "/inner";
    ASSERT_EQ(MakeDirs(dest, 0755), 0);
    std::wstring wdest = Utf8ToWide(dest);
    int base = 0;
    GetPathDirIndex(wdest.c_str(), base);
    std::wstring target = Utf8ToWide(dest + "/box");
    _FILE_NODE_ node = m["!ox"].node;
    e->SaveFileData(&node, target.data(), base);
    // Everything written lies below dest/box, and the payload arrived.
    int files = 0;
    for (auto& p : std::filesystem::recursive_directory_iterator(root)) {
        std::string s = p.path().string();
        if (s == dest) continue;
        EXPECT_EQ(s.rfind(dest + "/box", 0), 0u) << s;
        if (p.is_regular_file()) {
            ++files;
            EXPECT_EQ(Sha256File(s), Sha256(payload)) << s;
        }
    }
    EXPECT_EQ(files, 3);
}

}  // namespace

namespace {

// A live folder whose entries span many clusters is walked along its whole
// chain; a deleted file in its last cluster is found.
TEST(FatFastWalk, LiveFolderBeyondFirstCluster) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fatwalk");
    FatImage img = FatImage::Create(t / "w.img", 16, 8192, 1);
    TempDir src("fatwalksrc");
    std::string many = src / "many";
    ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
    for (int i = 0; i < 40; ++i) WriteFile(many + "/Long file name " + std::to_string(i) + ".dat", "x", 1);
    auto last = RandomBytes(2000, 31);
    WriteFile(many + "/Long file name 99.dat", last);
    ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(img.path) + " " + Quote(many) + " ::"), 0);
    img.Delete("many/Long file name 99.dat");
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    ASSERT_TRUE(m.count("many/Long file name 99.dat")) << Keys(m);
    EXPECT_EQ(m.size(), 2u) << Keys(m);
    EXPECT_EQ(Sha256(Save(*e, m["many/Long file name 99.dat"].node, t / "last.dat")), Sha256(last));
    // Queries that make no sense are refused.
    std::vector<_FILE_NODE_> kids;
    EXPECT_EQ(e->GetChildrenFileNode(nullptr, 5, kids), FR_INVALID);
    EXPECT_TRUE(kids.empty());
}

// Init on something that is not a FAT volume fails instead of scanning garbage.
TEST(FatFastInit, RefusesNonFatImage) {
    DataDirScope scope;
    TempDir t("fatinit");
    WriteFile(t / "zero.img", std::vector<unsigned char>(1 << 20, 0));
    CFastFatRecovery e;
    std::wstring w = Utf8ToWide(t / "zero.img");
    EXPECT_NE(e.Init(w.data(), L'C'), 0);
    EXPECT_NE(e.ScanDevice(nullptr), 0);
    u64 s = 0, c = 0;
    EXPECT_EQ(e.GetUnUsedSectorCount(s, c), 1);
    EXPECT_EQ(c, 0u);
}

}  // namespace

namespace {

// A directory chain that loops back on itself ends the walk of that folder.
TEST(FatFastCorrupt, CyclicDirectoryChainEnds) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mshowfat"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fatcycle");
    FatImage img = FatImage::Create(t / "c.img", 16, 8192, 1);
    TempDir src("fatcyclesrc");
    std::string many = src / "many";
    ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
    for (int i = 0; i < 40; ++i) WriteFile(many + "/Long file name " + std::to_string(i) + ".dat", "x", 1);
    ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(img.path) + " " + Quote(many) + " ::"), 0);
    img.Delete("many/Long file name 39.dat");
    std::string chain = Capture("MTOOLS_SKIP_CHECK=1 mshowfat -i " + Quote(img.path) + " ::many");
    std::smatch sm;
    ASSERT_TRUE(std::regex_search(chain, sm, std::regex("<([0-9]+)-([0-9]+)>"))) << chain;
    const unsigned first = static_cast<unsigned>(std::stoul(sm[1]));
    const unsigned lastc = static_cast<unsigned>(std::stoul(sm[2]));
    // Point the last cluster of the folder back at its first, in both FATs.
    auto bytes = ReadFile(img.path);
    const unsigned reserved = bytes[14] | (bytes[15] << 8);
    const unsigned spf = bytes[22] | (bytes[23] << 8);
    for (unsigned f = 0; f < 2; ++f) {
        size_t at = (reserved + f * spf) * 512 + lastc * 2;
        bytes[at] = static_cast<unsigned char>(first);
        bytes[at + 1] = static_cast<unsigned char>(first >> 8);
    }
    WriteFile(img.path, bytes);
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    EXPECT_TRUE(m.count("many/Long file name 39.dat")) << Keys(m);
    EXPECT_EQ(e->BuildBitMapInfo(), 0);
}

// Garbage in FAT, directories and data: the scan, the listing and the
// extraction of everything found finish without harm, writing only below
// the destination.
TEST(FatFastCorrupt, DamagedVolumesNeverHurt) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    Layout L;
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE(bits);
        TempDir t("fatdamage");
        FatImage img = MakeVolume(t, bits, L);
        auto clean = ReadFile(img.path);
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            auto bytes = clean;
            auto noise = RandomBytes(bytes.size(), seed * 7 + bits);
            // Overwrite a random third of the sectors after the boot sector.
            for (size_t s = 1; s < bytes.size() / 512; ++s)
                if (noise[s * 512] % 3 == 0) std::copy(noise.begin() + s * 512, noise.begin() + s * 512 + 512, bytes.begin() + s * 512);
            WriteFile(img.path, bytes);
            auto e = std::make_unique<CFastFatRecovery>();
            std::wstring w = Utf8ToWide(img.path);
            ASSERT_EQ(e->Init(w.data(), L'C'), 0);
            e->ScanDevice(nullptr);
            e->BuildBitMapInfo();
            u64 sector = 0, count = 0;
            for (int g = 0; g < 100000; ++g) {
                e->GetUnUsedSectorCount(sector, count);
                if (count == 0) break;
                sector += count;
            }
            std::vector<_FILE_NODE_> top;
            e->GetChildrenFileNode(nullptr, 0, top);
            std::string dest = t / ("out" + std::to_string(seed));
            ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
            std::wstring wdest = Utf8ToWide(dest);
            int base = 0;
            GetPathDirIndex(wdest.c_str(), base);
            int k = 0;
            for (auto& n : top) {
                if (n.u64FileSize > (1u << 20)) continue;
                std::wstring target = Utf8ToWide(dest + "/n" + std::to_string(k++));
                e->SaveFileData(&n, target.data(), base);
                std::vector<unsigned char> buf(512);
                int len = 512;
                wchar_t tmp[512];
                e->PreView(&n, tmp, buf.data(), len, nullptr, nullptr);
            }
        }
    }
}

}  // namespace

namespace {

struct RecoveryLog {
    std::vector<std::tuple<int, int, int>> reports;
    int stopAt = -1;  // answer -9527 at this report
};

int OnRecovery(void* p, int nProgress, int nPercent, int nErrorCode, wchar_t*) {
    auto* log = static_cast<RecoveryLog*>(p);
    log->reports.emplace_back(nProgress, nPercent, nErrorCode);
    return static_cast<int>(log->reports.size()) - 1 == log->stopAt ? FR_RECOVERY_CANCELLED : 0;
}

TEST(FatFastRecovery, ReportsAndCancel) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fatrec");
    Layout L;
    FatImage img = MakeVolume(t, 16, L);
    auto e = OpenAndScan(img.path);
    auto m = All(*e);
    ASSERT_TRUE(m.count("!ero.bin") && m.count("!ree")) << Keys(m);
    RecoveryLog log;
    e->InitCallBack(nullptr, OnRecovery, &log, 100);
    Save(*e, m["!ero.bin"].node, t / "z.bin");
    ASSERT_EQ(log.reports.size(), 1u);
    EXPECT_EQ(log.reports[0], std::make_tuple(100, 100, 0));
    log.reports.clear();
    Save(*e, m["A long file name.bin"].node, t / "big.bin");
    ASSERT_FALSE(log.reports.empty());
    EXPECT_EQ(log.reports.back(), std::make_tuple(100, 100, 0));
    // Cancelling on the first report stops the whole folder extraction.
    log.reports.clear();
    log.stopAt = 0;
    std::string dest = t / "out";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    std::wstring wdest = Utf8ToWide(dest);
    int base = 0;
    GetPathDirIndex(wdest.c_str(), base);
    std::wstring target = Utf8ToWide(dest + "/tree");
    _FILE_NODE_ node = m["!ree"].node;
    EXPECT_EQ(e->SaveFileData(&node, target.data(), base), FR_RECOVERY_CANCELLED);
    EXPECT_EQ(log.reports.size(), 1u);
    struct stat st;
    EXPECT_NE(stat((dest + "/tree/!ub/!.bin").c_str(), &st), 0);
}

// Volumes with 4096-byte sectors: geometry and data in the volume's own units.
TEST(FatFastSectors, LargeSectors) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fat4k");
    FatImage img = FatImage::Create(t / "s.img", 16, 32768, 1, "-S 4096");
    auto data = RandomBytes(50000, 41);
    img.Mkdir("d");
    img.PutBytes(data, "d/Big deleted file.bin");
    img.Delete("d/Big deleted file.bin");
    auto e = OpenAndScan(img.path);
    EXPECT_EQ(e->GetBootInfo().nBytesPerSector, 4096u);
    auto m = All(*e);
    ASSERT_TRUE(m.count("d/Big deleted file.bin")) << Keys(m);
    EXPECT_EQ(Sha256(Save(*e, m["d/Big deleted file.bin"].node, t / "b.bin")), Sha256(data));
    // Free stretches come in 512-byte sectors and add up to mtools' free space.
    ASSERT_EQ(e->BuildBitMapInfo(), 0);
    std::string out = Capture("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(img.path) + " ::");
    std::smatch sm;
    std::string flat = std::regex_replace(out, std::regex("[  ]"), "");
    ASSERT_TRUE(std::regex_search(flat, sm, std::regex("([0-9]+)bytesfree"))) << out;
    u64 sector = 0, count = 0, total = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        e->GetUnUsedSectorCount(sector, count);
        if (count == 0) break;
        EXPECT_EQ(sector % 8, 0u);
        total += count;
        sector += count;
    }
    EXPECT_EQ(total * 512, std::stoull(sm[1]));
}

}  // namespace

namespace {

// The disk form: a FAT32 volume inside a partitioned disk, found and read
// back at its absolute sectors.
TEST(FatFastDisk, VolumeInsidePartitionedDisk) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("sfdisk"), "mkfs.vfat, mtools and sfdisk needed");
    DataDirScope scope;
    TempDir t("fatdisk");
    FatImage img = FatImage::Create(t / "v.img", 32, 34000, 1);
    auto data = RandomBytes(30000, 51);
    img.Mkdir("DCIM");
    img.PutBytes(data, "DCIM/Deleted picture data.bin");
    img.Delete("DCIM/Deleted picture data.bin");
    const u64 start = 2048, sectors = 34000 * 2;
    MakePartitionedDisk(t / "disk0", start + sectors + 100, "dos", {{start, sectors, "c", ""}});
    PlaceVolume(t / "disk0", img.path, start);
    setenv("FOTORETTA_DISK_DIR", t.path().c_str(), 1);
    CFastFatRecovery e;
    ASSERT_EQ(e.Init(0, static_cast<long long>(start), static_cast<long long>(sectors), L'C'), 0);
    unsetenv("FOTORETTA_DISK_DIR");
    ASSERT_EQ(e.ScanDevice(nullptr), 0);
    auto m = All(e);
    ASSERT_TRUE(m.count("dcim/Deleted picture data.bin")) << Keys(m);
    const _FILE_NODE_& n = m["dcim/Deleted picture data.bin"].node;
    EXPECT_EQ(n.u64VolumeStartSector, start);
    EXPECT_GT(n.u64RecordSector, start + n.u64DataStartSector);
    EXPECT_EQ(Sha256(Save(e, n, t / "out.bin")), Sha256(data));
    // The record sector holds the entry (byte 0 is the deletion mark).
    auto disk = ReadFile(t / "disk0");
    bool found = false;
    for (size_t off = 0; off < 512; off += 32)
        found = found || (disk[n.u64RecordSector * 512 + off] == 0xE5 &&
                          std::memcmp(&disk[n.u64RecordSector * 512 + off + 8], "BIN", 3) == 0);
    EXPECT_TRUE(found);
}

}  // namespace

namespace {

// A second scan of the same volume within the same minute gets the same log
// name: it starts that log afresh instead of adding its finds to the first.
TEST(FatFastRescan, SameMinuteDoesNotDoubleTheResults) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy"), "mkfs.vfat and mtools needed");
    DataDirScope scope;
    TempDir t("fatrescan");
    FatImage img = FatImage::Create(t / "r.img", 12, 1440);
    img.PutBytes(RandomBytes(2000, 61), "first.bin");
    img.PutBytes(RandomBytes(3000, 62), "second.bin");
    img.Delete("first.bin");
    img.Delete("second.bin");
    auto e1 = OpenAndScan(img.path);
    const unsigned count = e1->GetLostFileCount();
    const size_t listed = All(*e1).size();
    EXPECT_EQ(listed, 2u);
    e1.reset();
    auto e2 = OpenAndScan(img.path);
    EXPECT_EQ(e2->GetLostFileCount(), count);
    EXPECT_EQ(All(*e2).size(), listed);
}

}  // namespace
