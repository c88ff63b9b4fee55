// Shared records, the disk reader, the platform and text helpers, the name
// sanitiser, the categories, and partition enumeration over real
// sfdisk-made MBR and GPT images and hand-made Apple Partition Maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Categories.h"
#include "core/DiskReader.h"
#include "core/ExtentReader.h"
#include "core/MetaTypes.h"
#include "core/PartitionManager.h"
#include "core/FileOutput.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

using carvekit::Put;
using namespace testkit;

static _FILE_NODE_ Node(const char* name, bool dir) {
    _FILE_NODE_ n{};
    n.bIsDir = dir ? 1 : 0;
    strcpy(n.szFileName, name);
    return n;
}

TEST(Records, NodeOrderReportsAndMetaTypes) {
    std::vector<_FILE_NODE_> v = {Node("same", true), Node("B.jpg", false), Node("same", false), Node("a.JPG", false)};
    std::sort(v.begin(), v.end(), [](const _FILE_NODE_& a, const _FILE_NODE_& b) { return VectorCmp(a, b); });
    EXPECT_STREQ(v[0].szFileName, "a.JPG");  // files first, then case-insensitive names
    EXPECT_STREQ(v[1].szFileName, "B.jpg");
    EXPECT_EQ(v[2].bIsDir, 0u);
    EXPECT_FALSE(VectorCmp(v[3], v[2]));
    EXPECT_FALSE(VectorCmp(v[2], v[2]));
    EXPECT_TRUE(IsScanComplete(100, 100));
    EXPECT_FALSE(IsScanComplete(99, 100));
    EXPECT_EQ(OverallPercent(50, 90), 45);
    EXPECT_EQ(OverallPercent(200, 100), 99);  // never 100 unless complete
    RegisterRecordMetaTypes();
    _FILE_NODE_ n = Node("x.jpg", false);
    n.nFileIndex = 7;
    QVariant var = QVariant::fromValue(n);
    EXPECT_EQ(var.value<_FILE_NODE_>().nFileIndex, 7u);
    EXPECT_TRUE(QMetaType::fromName("PARTITION_ITEM").isValid());
}

// A 1000-sector device plus 100 bytes; every byte holds its sector number.
TEST(DiskReader, ReadsWholeSectorsInsideTheLimitOnly) {
    TempDir dir("reader");
    std::vector<unsigned char> data(1000 * 512 + 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i / 512);
    WriteFile(dir / "disk.img", data);
    CDiskReader r;
    ASSERT_EQ(r.Init((dir / "disk.img").c_str(), 1000), 0);
    EXPECT_EQ(fcntl(r.GetHandle(), F_GETFL) & O_ACCMODE, O_RDONLY);
    std::vector<unsigned char> buf(8 * 512, 0xEE);
    unsigned got = 99;
    EXPECT_EQ(r.ReadData(buf.data(), 8, 992, 512, &got), 0);
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(buf[0], static_cast<unsigned char>(992));
    struct Bad {
        int n;
        long long start;
    };
    for (Bad b : {Bad{8, 993}, Bad{2, 999}, Bad{-1, 0}, Bad{1, -3}, Bad{8, static_cast<long long>(~3ULL)}}) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        got = 99;
        EXPECT_EQ(r.ReadData(buf.data(), b.n, b.start, 512, &got), 87) << b.n << "@" << b.start;
        EXPECT_EQ(got, 99u);
        EXPECT_EQ(buf[0], 0xEE);
    }
    // Past the device's real end: whole sectors only, and a short read.
    ASSERT_EQ(r.Init((dir / "disk.img").c_str(), 2000), 0);
    EXPECT_EQ(r.ReadData(buf.data(), 4, 998, 512, &got), 30);
    EXPECT_EQ(got, 2u);
    // By disk number, through the disk directory.
    Sh("ln -sf " + Quote(dir / "disk.img") + " " + Quote(dir / "disk3"));
    setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1);
    CDiskReader byNumber;
    EXPECT_EQ(byNumber.Init(3, 1000), 0);
    unsetenv("FOTORETTA_DISK_DIR");
    EXPECT_EQ(CDiskReader().Init("/nonexistent/fotoretta.img", 10), ENOENT);
}

TEST(PlatformHelpers, FreeSpaceSizesAndDataDirectory) {
    char path[] = "/tmp/fotoretta-no-such-dir/a/b/c";
    unsigned hi = 1, lo = 1;
    EXPECT_EQ(rsb_getFreeSpace(path, 0, &hi, &lo), 0);
    EXPECT_STREQ(path, "/tmp");
    EXPECT_GT((static_cast<unsigned long long>(hi) << 32) | lo, 0ull);
    TempDir d("data");
    WriteFile(d / "f", std::vector<unsigned char>(5000, 1));
    CUniqueFd fd(open((d / "f").c_str(), O_RDONLY));
    int low = 0;
    unsigned high = 9;
    EXPECT_EQ(rsb_getFileSizeH(fd.get(), &low, &high), 0);
    EXPECT_EQ(low, 5000);
    std::vector<unsigned char> buf(6000);
    unsigned got = 0;
    EXPECT_EQ(ReadData(fd.get(), buf.data(), 6000, &got), 30);
    EXPECT_EQ(got, 5000u);
    ScopedDataDir scope(d / "fr");
    EXPECT_EQ(GetScanLogDir(), d / "fr/ScanLog/");
    struct stat st;
    ASSERT_EQ(stat(GetScanLogDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(TextHelpers, SizeTimeAndPathStrings) {
    const std::pair<long long, const char*> sizes[] = {
        {1023, "1023 Bytes"}, {1536, "1.50 KB"}, {1048576, "1.00 MB"}, {1073741824, "1.00 GB"}, {3LL << 40, "3.00 TB"}};
    for (auto [n, s] : sizes) EXPECT_EQ(GetFileSizeString(n), s);
    EXPECT_EQ(GetTimeString(59), "59 Sec");
    EXPECT_EQ(GetTimeString(3725), "1 Hour 2 Min");
    char ext[64];
    EXPECT_EQ(GetExtendName("archive.tar.gz", ext), 0);
    EXPECT_STREQ(ext, "gz");
    EXPECT_EQ(GetExtendName("noext", ext), 87);
    int n = -1;
    GetPathDirIndex(L"/a/b/", n);
    EXPECT_EQ(n, 2);
    char drive[64], dir[256], fname[256], e[64];
    _splitpath("/Users/me/photo.jpg", drive, dir, fname, e);
    EXPECT_STREQ(dir, "/Users/me/");
    EXPECT_STREQ(fname, "photo");
    EXPECT_STREQ(e, ".jpg");
    char name[] = "ABCD    ";
    EraseStringTailBlankChar(name, 8);
    EXPECT_STREQ(name, "ABCD");
    char mixed[] = "AbC\xC3\x89z";
    EXPECT_EQ(Convert2Lowercase(mixed), 6);
    EXPECT_STREQ(mixed, "abc\xC3\x89z");  // only ASCII letters fold
    // Engine codes read as what they mean, not as the errno of that number.
    const std::pair<int, const char*> codes[] = {{FR_INVALID, "outside the volume"}, {FR_SHORT_READ, "short read"},
                                                 {FR_FAILED, "engine error"}, {EIO, "Input/output error"},
                                                 {-77, "engine code -77"}};
    for (auto [code, text] : codes) EXPECT_NE(EngineResultText(code).find(text), std::string::npos) << code;
}

TEST(TextHelpers, ConversionsKeepNonLatinNamesAndNeverSplitACharacter) {
    for (const char* n : {"Café.jpg", "Фото.png", "写真.jpg", "ドキュメント.pdf"}) {
        wchar_t wide[64];
        Ansi2Unicode(n, wide, 64);
        char back[256];
        Unicode2Ansi(wide, back, sizeof back);
        EXPECT_STREQ(back, n);
    }
    wchar_t wide[8];
    Ansi2Unicode("Фото.png", wide, 3);
    EXPECT_EQ(std::wstring(wide), L"Фо");
    char out[4];
    Unicode2Ansi(L"Фото", out, 4);
    EXPECT_STREQ(out, "Ф");
    // A node name is cut at a character boundary and always terminated.
    char node[256];
    std::memset(node, 'x', sizeof node);
    std::string longName(300, 'a');
    longName[254] = '\xD0';
    longName[255] = '\xA4';
    CopyNodeName(node, sizeof node, longName);
    EXPECT_EQ(strlen(node), 254u);
    CopyNodeName(node, sizeof node, std::string(400, 'b'));
    EXPECT_EQ(node[255], 0);
}

TEST(TextHelpers, RealFileNameNumbersExistingFiles) {
    TempDir d("names");
    wchar_t out[512];
    WriteFile(d / "photo.jpg", "x", 1);
    WriteFile(d / "photo(1).jpg", "x", 1);
    GetRealFileName((d / "photo.jpg").c_str(), out, 512);
    EXPECT_EQ(WideToUtf8(out), d / "photo(2).jpg");
    WriteFile(d / "notes", "x", 1);
    GetRealFileName((d / "notes").c_str(), out, 512);
    EXPECT_EQ(WideToUtf8(out), d / "notes(1)");
}

TEST(TextHelpers, SanitiserKeepsNamesInsideTheirFolder) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"photo.jpg", "photo.jpg"}, {"../../etc/passwd", ".._.._etc_passwd"}, {"a\\b", "a_b"},
        {"..", "_unnamed"},         {".", "_unnamed"},                         {"", "_unnamed"},
        {"a\nb\x01", "a_b_"},       {std::string_view("a\0b", 3), "a_b"},     {"bad\xFF.jpg", "bad_.jpg"},
        {"Фото.jpg", "Фото.jpg"}};
    for (auto [in, want] : cases) EXPECT_EQ(SanitizeFileName(in), want) << in;
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "ж";  // 400 bytes
    std::string s = SanitizeFileName(longName + ".jpeg");
    EXPECT_LE(s.size(), 255u);
    EXPECT_EQ(s.substr(s.size() - 5), ".jpeg");
    EXPECT_EQ(Utf8ToWide(s).find(L'\uFFFD'), std::wstring::npos);
    EXPECT_EQ(SanitizeFileName(std::wstring_view(L"x/y")), L"x_y");
    EXPECT_TRUE(IsContainedRelativePath("a/b/c.jpg"));
    for (const char* bad : {"a/../b", "/etc", "..", "a/./b"}) EXPECT_FALSE(IsContainedRelativePath(bad)) << bad;
}

TEST(Categories, ClassificationFoldersAndIcons) {
    const std::tuple<const char*, FileCategory, const char*> cases[] = {
        {"IMG_001.JPG", CATEGORY_PHOTO, "photo"},  {"noext", CATEGORY_OTHER, "others"},
        {"song.rm", CATEGORY_MUSIC, "audio"},      {"x.jp", CATEGORY_PHOTO, "photo"},  // a prefix of *.jpg
        {"x.pdf", CATEGORY_OFFICE, "document"},    {"x.rtf", CATEGORY_ARCHIVE, "archive"},
        {"x.mkv", CATEGORY_VIDEO, "video"},        {"clip.mp4", CATEGORY_VIDEO, "video"},
        {"x.7z", CATEGORY_ARCHIVE, "archive"},     {"x.xyz", CATEGORY_OTHER, "others"}};
    for (auto [name, cat, folder] : cases) {
        EXPECT_EQ(GetFileCategory(name), cat) << name;
        EXPECT_STREQ(GetCategoryFolderName(name), folder) << name;
    }
    EXPECT_STREQ(GetCategoryIconName("x.rtf"), ":/image/FileIcon/office_default.png");
    EXPECT_STREQ(GetCategoryIconName("x"), ":/image/FileIcon/other.png");
    EXPECT_TRUE(IsPictureFileName("a.PNG"));
    EXPECT_FALSE(IsPictureFileName("a.mp3"));
    EXPECT_EQ(Utf8ToWide(g_szVideoExt), std::wstring(g_wszVideoExt));
}

TEST(FileOutput, NodeTimesByEngine) {
    // engine, modification, access -> written modification and access (0 when nothing is written)
    const struct { int engine; u64 modify, access; bool dated; i64 mtime, atime; } cases[] = {
        {ENGINE_FAST_FAT, 1262304000, 1262390400, true, 1262304000, 1262390400},
        {ENGINE_DEEP_FAT, 1262304000, 0, true, 1262304000, 1262304000},  // no access date: the modification time
        {ENGINE_FAST_NTFS, 129067776000000000ull, 0, true, 1262304000, 1262304000},
        {ENGINE_CARVING, 1262304000, 1262304000, false, 0, 0},
    };
    for (const auto& c : cases) {
        _FILE_NODE_ node{};
        node.nEngineType = c.engine;
        node.u64ModifyTime = c.modify;
        node.u64AccessTime = c.access;
        OutputTimes times;
        EXPECT_EQ(GetNodeOutputTimes(node, times), c.dated) << c.engine;
        if (!c.dated) continue;
        EXPECT_EQ(times.i64ModifyTime, c.mtime) << c.engine;
        EXPECT_EQ(times.i64AccessTime, c.atime) << c.engine;
    }
}

TEST(FileOutput, OutputPathsStayInsideAndNeverGetCut) {
    TempDir d("outpaths");
    std::string path;
    ASSERT_EQ(MakeOutputPath(d.path(), "../evil.jpg", path), 0);
    EXPECT_EQ(path, d / ".._evil.jpg");
    CUniqueFd fd;
    ASSERT_EQ(CreateOutputFile(path, fd), 0);
    const OutputTimes times{1262304000, 1262390400};  // 2010-01-01 and the day after
    ASSERT_EQ(ApplyOutputTimes(fd.get(), &times), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1262304000);
    EXPECT_EQ(st.st_atime, 1262390400);
    CUniqueFd again;
    EXPECT_EQ(CreateOutputFile(path, again), EEXIST);  // never opened twice
    ASSERT_EQ(MakeOutputPath(d.path(), "../evil.jpg", path), 0);
    EXPECT_EQ(path, d / ".._evil(1).jpg");
    // A 255-byte name keeps its number and extension by giving up stem bytes.
    const std::string longName = std::string(251, 'a') + ".jpg";
    WriteFile(d / longName, "x", 1);
    ASSERT_EQ(MakeOutputPath(d.path(), longName, path), 0);
    EXPECT_EQ(path, d / (std::string(248, 'a') + "(1).jpg"));
    // A listed folder path is the one the folders are made with.
    EXPECT_EQ(CleanSourcePath("/DCIM/..\\..\\evil//a\x01" "b"), "/DCIM/_unnamed/_unnamed/evil/a_b");
    // A path beyond PATH_MAX is refused, not shortened.
    EXPECT_EQ(MakeOutputPath(std::string(5000, 'd'), "x.jpg", path), ENAMETOOLONG);
}

// The user a root process works for, from the variables pkexec and sudo
// leave; files made without an explicit owner go to that user.
TEST(FileOutput, InvokingUserOwnsWhatIsCreated) {
    struct Case {
        const char *pkexec, *sudoUid, *sudoGid;
        bool found;
        unsigned uid, gid;
    };
    const Case cases[] = {
        {"1234", nullptr, nullptr, true, 1234, 1234},  // no such user: its own number as group
        {nullptr, "1001", "1002", true, 1001, 1002},
        {nullptr, "1001", nullptr, true, 1001, 1001},
        {"0", "0", nullptr, false, 0, 0},
        {"12x", "-5", nullptr, false, 0, 0},
        {nullptr, nullptr, nullptr, false, 0, 0},
    };
    for (const Case& c : cases) {
        for (auto [name, value] : {std::pair{"PKEXEC_UID", c.pkexec}, {"SUDO_UID", c.sudoUid}, {"SUDO_GID", c.sudoGid}})
            value ? setenv(name, value, 1) : unsetenv(name);
        OutputOwner owner;
        EXPECT_EQ(c.found, GetInvokingUser(owner)) << (c.pkexec ? c.pkexec : "") << (c.sudoUid ? c.sudoUid : "");
        if (c.found) {
            EXPECT_EQ(c.uid, owner.uid);
            EXPECT_EQ(c.gid, owner.gid);
        }
    }
    for (const char* name : {"PKEXEC_UID", "SUDO_UID", "SUDO_GID"}) unsetenv(name);
    FR_REQUIRE(IsRoot(), "handing files to another user needs root");
    TempDir d("owner");
    const OutputOwner nobody{65534, 65534};
    SetDefaultOutputOwner(&nobody);
    CUniqueFd fd;
    const int dirRc = CreateOutputDir(d / "photo");
    const int fileRc = CreateOutputFile(d / "photo/a.jpg", fd);
    SetDefaultOutputOwner(nullptr);
    ASSERT_EQ(0, dirRc);
    ASSERT_EQ(0, fileRc);
    EXPECT_EQ("65534:65534\n65534:65534\n",
              Capture("stat -c %u:%g " + Quote(d / "photo") + " " + Quote(d / "photo/a.jpg")));
}

TEST(FileOutput, PreviewFileReplacesAPlantedLink) {
    TempDir d("preview");
    ScopedDataDir scope(d.path());
    const std::string victim = d / "victim";
    WriteFile(victim, "keep", 4);
    MakeDirs(GetScanLogDir(), 0700);
    ASSERT_EQ(symlink(victim.c_str(), (GetScanLogDir() + "tmp.jpg").c_str()), 0);
    CUniqueFd fd;
    std::string path;
    ASSERT_EQ(CreatePreviewTempFile("jpg", fd, path), 0);
    EXPECT_EQ(path, GetScanLogDir() + "tmp.jpg");
    EXPECT_EQ(WriteAll(fd.get(), "new", 3), 0);
    EXPECT_EQ(ReadFile(victim).size(), 4u);
}

TEST(ExtentReader, SparseZerosAndShortReads) {
    TempDir d("extents");
    const auto bytes = RandomBytes(8 * 512, 5);
    WriteFile(d / "dev", bytes);
    CDiskReader r;
    ASSERT_EQ(r.Init((d / "dev").c_str(), 8), 0);
    CExtentReader reader(r, 512);
    const std::vector<DataExtent> extents = {{512, 1000, false}, {0, 300, true}, {3072, 5000, false}};
    std::vector<unsigned char> out(6300, 0xAA);
    u64 got = 0;
    // The last extent runs past the end of the device: what is there arrives, then 30.
    EXPECT_EQ(reader.CopyToBuffer(extents, out.size(), out.data(), got), FR_SHORT_READ);
    ASSERT_EQ(got, 1000u + 300u + 1024u);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1000, bytes.begin() + 512));
    EXPECT_TRUE(std::all_of(out.begin() + 1000, out.begin() + 1300, [](unsigned char c) { return c == 0; }));
    EXPECT_TRUE(std::equal(out.begin() + 1300, out.begin() + 2324, bytes.begin() + 3072));
    EXPECT_EQ(reader.CopyToBuffer(extents, 1300, out.data(), got), 0);
    EXPECT_EQ(got, 1300u);
}

// A folder on the second partition of a disk lies on the disk and on that
// partition's sectors, not on the first partition's.
TEST(Platform, PathOnDeviceFollowsPartitionRanges) {
    FR_REQUIRE(IsRoot() && HaveTool("losetup") && NtfsImage::Available(), "needs root, losetup and ntfs-3g");
    TempDir d("ondev");
    NtfsImage vol = NtfsImage::Create(d / "vol.img", 8);
    MakePartitionedDisk(d / "disk", 2048 + 2 * 16384 + 64, "dos", {{2048, 16384, "7", ""}, {18432, 16384, "7", ""}});
    PlaceVolume(d / "disk", vol.path, 18432);
    const std::string loop = CaptureLine("losetup -P -f --show " + Quote(d / "disk") + " 2>/dev/null");
    FR_REQUIRE(!loop.empty(), "no loop device available");
    const std::string mnt = d / "mnt";
    Sh("mkdir -p " + Quote(mnt) + "; udevadm settle 2>/dev/null; sleep 0.2");
    const bool mounted = Sh("ntfs-3g " + Quote(loop + "p2") + " " + Quote(mnt)) == 0;
    if (mounted) {
        EXPECT_TRUE(IsPathOnDevice(mnt, loop));
        EXPECT_TRUE(IsPathOnDevice(mnt, loop, 18432, 16384));
        EXPECT_TRUE(IsPathOnDevice(mnt, loop, 2048, 16385));  // one sector into the second
        EXPECT_FALSE(IsPathOnDevice(mnt, loop, 2048, 16384));
        EXPECT_TRUE(IsPathOnDevice(mnt, loop + "p2"));
        EXPECT_FALSE(IsPathOnDevice(d.path(), loop));
        Sh("fusermount -u " + Quote(mnt) + " || umount " + Quote(mnt));
    }
    Sh("losetup -d " + Quote(loop));
    FR_REQUIRE(mounted, "the loop device's partitions cannot be mounted here");
}

// ---------------------------------------------------------------------------
// Partition enumeration, through FOTORETTA_DISK_DIR.

namespace {

class PartitionTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1);
        ClearRegisteredImageDisks();
    }
    void TearDown() override { unsetenv("FOTORETTA_DISK_DIR"); }
    std::string Disk(int n) const { return dir / ("disk" + std::to_string(n)); }
    std::map<int, std::vector<_PARTITION_ITEM_>> Enumerate() {
        std::map<int, std::vector<_PARTITION_ITEM_>> m;
        CPartitionManager pm;
        EXPECT_EQ(pm.GetPartitionItems(m), 1);
        return m;
    }
    TempDir dir{"parts"};
};

struct Entry {
    int slot;
    unsigned char type;
    uint32_t first, count;
};
// A partition table (MBR or EBR) at sector: its entries and 55 AA.
void PutTable(std::vector<unsigned char>& d, size_t sector, std::initializer_list<Entry> entries) {
    const size_t t = sector * 512;
    Put(d, t + 510, 0x55AA, 2, true);
    for (const Entry& e : entries) {
        d[t + 446 + 16 * e.slot + 4] = e.type;
        Put(d, t + 446 + 16 * e.slot + 8, e.first, 4);
        Put(d, t + 446 + 16 * e.slot + 12, e.count, 4);
    }
}

std::vector<unsigned char> ApmDisk(uint32_t count, size_t entries) {
    std::vector<unsigned char> d(512 * (1 + entries) + 4096, 0);
    d[0] = 'E';
    d[1] = 'R';
    for (size_t i = 0; i < entries; ++i) {
        size_t e = 512 * (1 + i);
        d[e] = 'P';
        d[e + 1] = 'M';
        Put(d, e + 4, count, 4, true);
        Put(d, e + 8, static_cast<uint32_t>(64 + 1000 * i), 4, true);  // physical first block
        std::string name = "Part" + std::to_string(i);
        memcpy(&d[e + 16], name.data(), name.size());
        Put(d, e + 80, 2, 4, true);    // data starts 2 blocks in
        Put(d, e + 84, 500, 4, true);  // 500 data blocks
    }
    return d;
}

}  // namespace

TEST_F(PartitionTest, MbrWithExtendedChainNumbersAcrossDisks) {
    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk missing");
    // Disk 0: two primaries and an extended partition with three logicals.
    MakePartitionedDisk(Disk(0), 40960, "dos",
                        {{2048, 4096, "c", ""}, {6144, 4096, "7", ""}, {10240, 30000, "5", ""}});
    Sh("printf '%s\\n' 'start=12288, size=2048, type=83' 'start=16384, size=2048, type=83' "
       "'start=20480, size=4096, type=c' | sfdisk --no-reread --no-tell-kernel -q -a " + Quote(Disk(0)));
    // Disk 2 (a gap at 1 must not stop the walk): one primary.
    MakePartitionedDisk(Disk(2), 8192, "dos", {{2048, 4096, "c", ""}});

    auto m = Enumerate();
    ASSERT_EQ(m.count(0), 1u);
    ASSERT_EQ(m.count(1), 0u);
    ASSERT_EQ(m.count(2), 1u);
    const auto& d0 = m[0];
    ASSERT_EQ(d0.size(), 5u);
    // Logicals follow their EBRs: sfdisk leaves 2048 sectors before each.
    const u64 starts[] = {2048, 6144, 12288, 16384, 20480}, sizes[] = {4096, 4096, 2048, 2048, 4096};
    for (size_t i = 0; i < d0.size(); ++i) {
        EXPECT_EQ(d0[i].u64StartSector, starts[i]);
        EXPECT_EQ(d0[i].u64EndSector, starts[i] + sizes[i] - 1);
        EXPECT_EQ(GetPartitionName(d0[i]), "Partition " + std::to_string(i + 1));
        EXPECT_EQ(d0[i].nDiskNumber, 0);
        EXPECT_STREQ(d0[i].szDiskName, Disk(0).c_str());
    }
    ASSERT_EQ(m[2].size(), 1u);
    EXPECT_EQ(GetPartitionName(m[2][0]), "Partition 6");  // numbering runs on across disks

    // A new enumeration starts counting from 1 again.
    auto again = Enumerate();
    EXPECT_EQ(GetPartitionName(again[0][0]), "Partition 1");
}

TEST_F(PartitionTest, GptNamesAndBounds) {
    FR_REQUIRE(HaveTool("sfdisk"), "sfdisk missing");
    MakePartitionedDisk(Disk(0), 65536, "gpt",
                        {{2048, 8192, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Photos"},
                         {10240, 8192, "0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux data"},
                         {18432, 4096, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Карта"}});
    auto m = Enumerate();
    ASSERT_EQ(m.count(0), 1u);
    ASSERT_EQ(m[0].size(), 3u);
    EXPECT_EQ(GetPartitionName(m[0][0]), "Photos");
    EXPECT_EQ(GetPartitionName(m[0][1]), "Linux data");
    EXPECT_EQ(GetPartitionName(m[0][2]), "Карта");
    EXPECT_EQ(m[0][1].u64StartSector, 10240u);
    EXPECT_EQ(m[0][1].u64EndSector, 10240u + 8192 - 1);

    // Clearing the third entry's first sector ends the list there.
    auto disk = ReadFile(Disk(0));
    memset(&disk[1024 + 2 * 128 + 32], 0, 8);
    // A 36-character name fills its field without terminator and is still cut safely.
    for (int i = 0; i < 36; ++i) {
        disk[1024 + 56 + 2 * i] = 'A';
        disk[1024 + 57 + 2 * i] = 0;
    }
    // An entry whose last sector lies below its first is skipped.
    Put(disk, 1024 + 128 + 40, 100, 4);
    Put(disk, 1024 + 128 + 44, 0, 4);
    WriteFile(Disk(0), disk);
    m = Enumerate();
    ASSERT_EQ(m[0].size(), 1u);
    EXPECT_EQ(GetPartitionName(m[0][0]), std::string(35, 'A'));
}

TEST_F(PartitionTest, ApplePartitionMap) {
    auto apm = ApmDisk(3, 3);
    apm.resize(4096 * 512);  // the disk holds every partition: none is cut at its end
    WriteFile(Disk(0), apm);
    auto m = Enumerate();
    ASSERT_EQ(m[0].size(), 3u);
    EXPECT_EQ(m[0][1].u64StartSector, 1064u + 2);
    EXPECT_EQ(m[0][1].u64EndSector, 1066u + 500 - 1);
    EXPECT_EQ(GetPartitionName(m[0][2]), "Part2");

    WriteFile(Disk(0), ApmDisk(129, 1));  // absurd entry count
    EXPECT_EQ(Enumerate().count(0), 0u);
}

// Unrecognised, empty, odd and looping tables.
TEST_F(PartitionTest, UnusualTables) {
    WriteFile(Disk(0), std::vector<unsigned char>(8192, 0));
    std::vector<unsigned char> mbr(8192, 0);
    PutTable(mbr, 0, {});
    WriteFile(Disk(1), mbr);
    // Second entry empty: only the first is listed even though the third is filled.
    PutTable(mbr, 0, {{0, 0x0c, 2048, 100}, {2, 0x0c, 4096, 100}});
    WriteFile(Disk(2), mbr);
    // Type 0 with a non-zero first sector still counts as a partition.
    std::vector<unsigned char> type0(8192, 0);
    PutTable(type0, 0, {{0, 0, 63, 1000}});
    WriteFile(Disk(3), type0);
    WriteFile(Disk(4), std::vector<unsigned char>(100, 0));  // shorter than a sector
    // An extended partition whose EBR links back to itself.
    std::vector<unsigned char> d(1 << 20, 0);
    PutTable(d, 0, {{0, 0x05, 100, 1000}});
    PutTable(d, 100, {{0, 0x83, 1, 10}, {1, 0x05, 0, 10}});  // the link: back to itself
    WriteFile(Disk(5), d);

    auto m = Enumerate();
    EXPECT_EQ(m.count(0), 0u);
    EXPECT_EQ(m.count(1), 0u);
    ASSERT_EQ(m[2].size(), 1u);
    EXPECT_EQ(m[2][0].u64StartSector, 2048u);
    ASSERT_EQ(m[3].size(), 1u);
    EXPECT_EQ(m[3][0].u64StartSector, 63u);
    EXPECT_EQ(m.count(4), 0u);
    ASSERT_EQ(m[5].size(), 1u);
    EXPECT_EQ(m[5][0].u64StartSector, 101u);
}

