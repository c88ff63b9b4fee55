// Hostile sources and destinations, damaged media and the read-only
// promise, exercised through the command-line tool as a user would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QString>
#include <QtCore/QtGlobal>
#include <algorithm>
#include <cstring>
#include <map>

#include "carving/CarveDriver.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "support/NtfsKit.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Result {
    int status;
    std::string out;
};

// Runs the tool with a private data folder (unless env names one), under a
// time limit and a cap on the size of any file it writes (64 MiB, its
// console output included). status is the exit code, 128 + N for signal N
// (137 when the time limit killed it).
Result RunCli(const std::string& args, const std::string& env = "", int seconds = 60) {
    static TempDir data("harddata");
    static int counter = 0;
    std::string log = data / ("out" + std::to_string(counter++) + ".txt");
    std::string dataEnv = env.find("FOTORETTA_DATA_DIR=") == std::string::npos
                              ? "FOTORETTA_DATA_DIR=" + Quote(data / "d") + " "
                              : std::string();
    std::string rc = Capture("ulimit -f 131072; " + dataEnv + env + " timeout -s KILL " + std::to_string(seconds) +
                             " " + Quote(FR_CLI_BINARY) + " " + args + " >" + Quote(log) + " 2>&1; echo $?");
    std::vector<unsigned char> out = ReadFile(log);
    unlink(log.c_str());
    return {atoi(rc.c_str()), std::string(out.begin(), out.end())};
}

// Patches len little-endian bytes of a file at an offset.
void PatchLe(const std::string& path, long long offset, uint64_t value, int len) {
    std::vector<unsigned char> b = ReadFile(path);
    for (int i = 0; i < len; ++i) b.at(static_cast<size_t>(offset + i)) = static_cast<unsigned char>(value >> (8 * i));
    WriteFile(path, b);
}

// Counts the diagnostic lines while alive.
struct LogCapture {
    static inline std::vector<std::string> lines;
    QtMessageHandler old;
    LogCapture() {
        lines.clear();
        old = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            lines.push_back(m.toStdString());
        });
    }
    ~LogCapture() { qInstallMessageHandler(old); }
};

bool Exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

}  // namespace

// A destination inside a file system that the image itself holds is
// refused before anything is written there, whether the image is mounted
// through FUSE directly or through a loop device.
TEST(HostileDestination, FileSystemsBackedByTheImageAreRefused) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("harddest");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 16);
    ASSERT_TRUE(img.Mount());
    Sh("cp " + Quote(Sample("jpg")) + " " + Quote(img.Mounted("a.jpg")) + " && rm " + Quote(img.Mounted("a.jpg")));
    img.Unmount();
    const std::string before = Sha256File(img.path);
    struct Case {
        const char* how;
        std::string mountCmd;
    };
    std::string loop;
    if (HaveTool("losetup")) {
        loop = Capture("losetup -f --show " + Quote(img.path) + " 2>/dev/null");
        while (!loop.empty() && loop.back() == '\n') loop.pop_back();
    }
    const std::string mnt = d / "mnt";
    Sh("mkdir -p " + Quote(mnt));
    std::vector<Case> cases = {{"image through FUSE", "ntfs-3g -o ro " + Quote(img.path) + " " + Quote(mnt)}};
    if (!loop.empty()) cases.push_back({"loop device through FUSE", "ntfs-3g -o ro " + Quote(loop) + " " + Quote(mnt)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_EQ(Sh(c.mountCmd), 0);
        EXPECT_TRUE(DestinationOnSource(mnt + "/out/deeper", img.path));
        EXPECT_FALSE(DestinationOnSource(d / "elsewhere", img.path));
        Result r = RunCli("recover " + Quote(img.path) + " --to " + Quote(mnt + "/out"));
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("lies on the device being recovered"), std::string::npos) << r.out;
        EXPECT_FALSE(Exists(mnt + "/out"));
        Sh("fusermount -u " + Quote(mnt) + " || umount " + Quote(mnt));
    }
    if (!loop.empty()) Sh("losetup -d " + Quote(loop));
    EXPECT_EQ(Sha256File(img.path), before);
    // The folder that holds the image is a fine destination.
    Result r = RunCli("recover " + Quote(img.path) + " --types photo --to " + Quote(d / "out"));
    EXPECT_EQ(r.status, 0) << r.out;
}

// Partition entries that claim far more sectors than the disk holds are cut
// at the disk's end: the listing shows sane sizes and a carving scan of
// the partition ends with the disk.
TEST(OversizedPartitions, ClampedToTheDisk) {
    TempDir d("hardpart");
    struct Case {
        const char* label;
        long long patchOffset;  // where the entry's size / last sector lives
        uint64_t value;
        int len;
    } cases[] = {{"gpt", 1024 + 40, 0x0080000000000000ULL, 8}, {"dos", 446 + 12, 0xFFFFFFFFULL, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string disk = d / (std::string(c.label) + ".img");
        MakePartitionedDisk(disk, 4096, c.label, {{2048, 1024, c.label == std::string("gpt") ? "L" : "83", ""}});
        PatchLe(disk, c.patchOffset, c.value, c.len);
        Result r = RunCli("disks " + Quote(disk));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("sectors 2048-4095  1.00 MB"), std::string::npos) << r.out;
        r = RunCli("scan " + Quote(disk) + "@1 --carve-only", "", 20);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_LT(r.out.size(), 4000u) << r.out.substr(0, 2000);
    }
}

// A sweep asked to go far beyond the device's end stops at the end, and a
// repeated diagnostic is counted instead of written again and again.
TEST(OversizedPartitions, SweepStopsAtTheDeviceEndAndRepeatsAreCounted) {
    TempDir d("hardsweep");
    ScopedDataDir data(d / "data");
    std::vector<unsigned char> bytes(1 << 20, 0);
    WriteFile(d / "raw.img", bytes);
    CFileTypeRecovery engine;
    std::wstring w = Utf8ToWide(d / "raw.img");
    ASSERT_EQ(engine.Init(w.data(), L'C'), 0);
    CDiskReader reader;
    ASSERT_EQ(reader.Init((d / "raw.img").c_str(), ~0ULL), 0);
    CarveStats st;
    EXPECT_EQ(CarveRange(engine, reader, 1000, 1ULL << 55, 512, nullptr, nullptr, nullptr, &st), 0);
    EXPECT_EQ(st.u64SectorsSwept, 2048u - 1000u);

    LogCapture cap;
    for (int i = 0; i < 1000; ++i) FrLog("read %lld\n", 5LL);
    FrLog("another line\n");
    EXPECT_LE(cap.lines.size(), 14u);
    EXPECT_EQ(cap.lines.front(), "read 5\n");
    EXPECT_EQ(cap.lines[cap.lines.size() - 2], "last message repeated 999 times\n");
}

// Only image files and block devices are sources: a FIFO (with or without
// a writer), a folder or a character device is refused at once with a
// clear message, in every mode.
TEST(HostileSource, OnlyFilesAndBlockDevicesAreRead) {
    TempDir d("hardsrc");
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((d / "fed").c_str(), 0600), 0);
    // A writer that keeps feeding the second FIFO for a while.
    Sh("(timeout 20 sh -c 'cat /dev/zero > " + d / "fed" + "' &)");
    struct Case {
        std::string source;
        const char* message;
    } cases[] = {{d / "fifo", "is a special file"}, {d / "fed", "is a special file"},
                 {d.path(), "is a folder"},        {"/dev/null", "is a special file"}};
    for (const Case& c : cases)
        for (const char* mode : {"scan", "scan --carve-only", "scan --fast --json"}) {
            SCOPED_TRACE(c.source + " " + mode);
            Result r = RunCli(std::string(mode) + " " + Quote(c.source), "", 10);
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        }
    Result r = RunCli("recover " + Quote(d / "fifo") + " --to " + Quote(d / "out"), "", 10);
    EXPECT_EQ(r.status, 1) << r.out;
}

// A data folder that cannot hold scan results (a file, or a read-only
// file system) stops scan and recover with a message and a failure code.
TEST(UnusableDataFolder, ReportedAsFailure) {
    TempDir d("harddata");
    FatImage img = FatImage::Create(d / "fat.img", 12, 1440);
    img.PutBytes(RandomBytes(3000, 1), "A.JPG");
    img.Delete("A.JPG");
    WriteFile(d / "afile", "x", 1);
    std::vector<std::string> dataDirs = {d / "afile"};
    Sh("mkdir -p " + Quote(d / "ro"));
    if (IsRoot() && Sh("mount -t tmpfs -o ro,size=1m tmpfs " + Quote(d / "ro")) == 0) dataDirs.push_back(d / "ro");
    for (const std::string& data : dataDirs) {
        for (const char* mode : {"scan --json", "scan --carve-only", "recover --to"}) {
            SCOPED_TRACE(data + " " + mode);
            std::string args = std::string(mode) == "recover --to"
                                   ? "recover " + Quote(img.path) + " --to " + Quote(d / "out")
                                   : std::string(mode) + " " + Quote(img.path);
            Result r = RunCli(args, "FOTORETTA_DATA_DIR=" + Quote(data));
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(r.out.find("cannot keep scan results"), std::string::npos) << r.out;
        }
    }
    Sh("umount " + Quote(d / "ro"));
}

// A deleted short name damaged into bytes that are not UTF-8 still gives
// valid JSON: each such byte is written as \u00XX.
TEST(JsonListing, DamagedShortNamesAreEscaped) {
    TempDir d("hardjson");
    FatImage img = FatImage::Create(d / "fat.img", 12, 1440);
    img.PutBytes(RandomBytes(3000, 2), "ABCDE.TXT");
    img.Delete("ABCDE.TXT");
    std::vector<unsigned char> b = ReadFile(img.path);
    const std::string entry = "BCDE   TXT";
    auto it = std::search(b.begin(), b.end(), entry.begin(), entry.end());
    ASSERT_NE(it, b.end());
    it[0] = 0xFF;  // a byte that never occurs in UTF-8
    it[1] = 0xC3;  // a lead byte without its continuation
    WriteFile(img.path, b);
    Result r = RunCli("scan " + Quote(img.path) + " --fast --json --types office");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\\u00ff\\u00c3de"), std::string::npos) << r.out;
    WriteFile(d / "out.json", r.out.data(), r.out.size());
    EXPECT_EQ(Sh("iconv -f UTF-8 -t UTF-8 " + Quote(d / "out.json") + " >/dev/null"), 0) << r.out;
}

namespace {
// Sets the size field of the deleted FAT entry whose name ends in tail.
void PatchFatEntrySize(const std::string& img, const std::string& tail, uint32_t size) {
    std::vector<unsigned char> b = ReadFile(img);
    auto it = std::search(b.begin(), b.end(), tail.begin(), tail.end());
    ASSERT_NE(it, b.end());
    const size_t entry = static_cast<size_t>(it - b.begin()) - 1;
    for (int i = 0; i < 4; ++i) b[entry + 28 + i] = static_cast<unsigned char>(size >> (8 * i));
    WriteFile(img, b);
}
}  // namespace

// A deleted file that claims to be larger than its volume is listed as
// damaged and never written out whole.
TEST(OutputPath, FileLargerThanTheVolumeIsDamaged) {
    TempDir d("hardbig");
    FatImage img = FatImage::Create(d / "fat.img", 12, 1440);
    img.PutBytes(RandomBytes(5000, 3), "HUGE.TXT");
    img.Delete("HUGE.TXT");
    PatchFatEntrySize(img.path, "UGE    TXT", 0xFFFFFFF0u);
    Result r = RunCli("scan " + Quote(img.path) + " --fast --json --types office");
    EXPECT_NE(r.out.find("\"size\":4294967280"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"healthy\":false"), std::string::npos) << r.out;
    r = RunCli("recover " + Quote(img.path) + " --fast --types office --to " + Quote(d / "out"));
    EXPECT_EQ(Capture("find " + Quote(d / "out") + " -type f -size +2M"), "") << r.out;
}

// Sparse stretches of an NTFS file come back as holes, not written zeros.
TEST(OutputPath, SparseRunsBecomeHoles) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("hardsparse");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 24);
    ASSERT_TRUE(img.Mount());
    const std::string f = img.Mounted("holes.wav");
    Sh("dd if=" + Quote(Sample("wav")) + " of=" + Quote(f) + " bs=4096 count=4 status=none && truncate -s 16M " +
       Quote(f) + " && printf tail >> " + Quote(f));
    const std::string want = Sha256File(f);
    Sh("rm " + Quote(f));
    img.Unmount();
    Result r = RunCli("recover " + Quote(img.path) + " --fast --types music --to " + Quote(d / "out"));
    ASSERT_EQ(r.status, 0) << r.out;
    std::string got = Capture("find " + Quote(d / "out") + " -name '*.wav' | head -1");
    while (!got.empty() && got.back() == '\n') got.pop_back();
    ASSERT_FALSE(got.empty()) << r.out;
    EXPECT_EQ(Sha256File(got), want);
    struct stat st;
    ASSERT_EQ(stat(got.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 2 << 20);  // 16 MiB long, a few KiB stored
}

// With --keep-paths, a deleted file and a deleted folder of the same name
// both come back: the second gets a numbered name.
TEST(OutputPath, KeepPathsFileAndFolderOfTheSameName) {
    TempDir d("hardkeep");
    FatImage img = FatImage::Create(d / "fat.img", 12, 1440);
    img.PutBytes(RandomBytes(3000, 5), "NOTEX");  // listed first: the file takes the name
    img.Mkdir("NOTES");
    img.PutBytes(RandomBytes(4000, 4), "NOTES/ZZ.TXT");
    img.Delete("NOTEX");
    img.DeleteTree("NOTES");
    // The deleted file's entry renamed on disk to the folder's name.
    std::vector<unsigned char> b = ReadFile(img.path);
    const std::string from = "OTEX      ";
    auto it = std::search(b.begin(), b.end(), from.begin(), from.end());
    ASSERT_NE(it, b.end());
    it[3] = 'S';
    WriteFile(img.path, b);
    Result r = RunCli("recover " + Quote(img.path) + " --fast --keep-paths --types all --to " + Quote(d / "out"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 recovered, 0 failed"), std::string::npos) << r.out;
}

// A destination that fills up stops the recovery between files, with a
// message; what was written is complete.
TEST(OutputPath, FullDestinationStopsCleanly) {
    FR_REQUIRE(IsRoot(), "needs root to mount a small file system");
    TempDir d("hardfull");
    Sh("mkdir -p " + Quote(d / "small"));
    FR_REQUIRE(Sh("mount -t tmpfs -o size=96k tmpfs " + Quote(d / "small")) == 0, "tmpfs mounts not permitted");
    FatImage img = FatImage::Create(d / "fat.img", 12, 1440);
    std::map<std::string, std::string> hashes;
    for (int i = 0; i < 6; ++i) {
        auto bytes = RandomBytes(40000, 10 + i);
        img.PutBytes(bytes, "F" + std::to_string(i) + ".TXT");
        hashes[Sha256(bytes)] = "F" + std::to_string(i);
    }
    for (int i = 0; i < 6; ++i) img.Delete("F" + std::to_string(i) + ".TXT");
    Result r = RunCli("recover " + Quote(img.path) + " --fast --types office --to " + Quote(d / "small/out"));
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("is full: recovery stopped"), std::string::npos) << r.out;
    std::string files = Capture("find " + Quote(d / "small/out") + " -type f");
    EXPECT_FALSE(files.empty()) << r.out;
    size_t pos = 0;
    while (pos < files.size()) {
        size_t nl = files.find('\n', pos);
        std::string f = files.substr(pos, nl - pos);
        EXPECT_EQ(hashes.count(Sha256File(f)), 1u) << f;
        pos = nl + 1;
    }
    Sh("umount " + Quote(d / "small"));
}
