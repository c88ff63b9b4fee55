// The command-line tool driven as a user would: a card's deleted files
// recovered byte for byte into the category folders; hostile sources and
// destinations, damaged media and the read-only promise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <set>
#include <sstream>

#include "scan/CarveDriver.h"
#include "core/ByteOrder.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"
#include "support/NtfsKit.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

using Result = CliResult;

constexpr time_t kPhotoTime = 1556878830;  // 2019-05-03 10:20:30 UTC

// Overwrites bytes of an image at delta from where text first occurs.
void PatchAt(const std::string& path, const std::string& text, long delta, const void* data, size_t len) {
    std::vector<unsigned char> b = ReadFile(path);
    auto it = std::search(b.begin(), b.end(), text.begin(), text.end());
    ASSERT_NE(it, b.end()) << text;
    PatchFile(path, static_cast<uint64_t>(it - b.begin() + delta), data, len);
}

size_t CountOf(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// The file recovered under a name in a folder: deleted FAT entries may
// have lost the first letter of their short name, so match on the rest.
std::string FindRecovered(const std::string& folder, const std::string& name) {
    const std::string hit =
        CaptureLine("ls " + Quote(folder) + " 2>/dev/null | grep -F -- " + Quote(name.substr(1)) + " | head -1");
    return hit.empty() ? std::string() : folder + "/" + hit;
}

}  // namespace

// The whole card: category folders, a second run, kept paths, an
// interrupt, and the card as a partition of a disk.
TEST(Cli, RecoversDeletedFilesFromACard) {
    TempDir dir("cli");
    PhotoCard card = MakePhotoCard(dir / "card.img", dir / "disk.img");
    const std::string img = Quote(card.volume);
    TempDir out("out");
    Result r = RunCli("recover " + img + " --to " + Quote(out.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("7 recovered, 0 failed"), std::string::npos) << r.out;
    for (auto [name, folder] : {std::pair{"Holiday photo.jpg", "photo"}, {"Beach day.png", "photo"},
                                {"Song.mp3", "audio"}, {"Clip.mp4", "video"}})
        EXPECT_EQ(Sha256File(FindRecovered(out / folder, name)), card.sha[name]) << name;
    EXPECT_TRUE(FindRecovered(out / "photo", "KEEP.JPG").empty());  // live files are not listed

    // A second run writes new, numbered names beside the first ones (the
    // first run numbered one of the two "Same name.jpg" already).
    r = RunCli("recover " + img + " --to " + Quote(out.path()) + " --types photo");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("5 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Capture("ls " + Quote(out / "photo") + " | grep -c '(1)'"), "4\n");

    // With --keep-paths the folders come back; short folder names keep the
    // case stored on the card.
    TempDir kept("out");
    r = RunCli("recover " + img + " --to " + Quote(kept.path()) + " --keep-paths");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Sha256File(FindRecovered(kept / "DCIM", "Holiday photo.jpg")), card.sha["Holiday photo.jpg"]);
    std::string found = Capture("find " + Quote(kept.path()) + " -name '*each day.png'");
    EXPECT_NE(found.find("/Trip/"), std::string::npos) << found;  // inside the (deleted) Trip folder

    // An interrupt during the first file: that file stays, the rest is not written.
    TempDir cut("out");
    r = RunCli("recover " + img + " --to " + Quote(cut.path()), "FOTORETTA_TEST_INTERRUPT_AFTER_FILES=1");
    EXPECT_NE(r.out.find("cancelled"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Capture("find " + Quote(cut.path()) + " -type f | wc -l"), "1\n");

    // The same card as the first partition of a disk, scanned and recovered
    // through "disk@1" (the listing of disks is the contract's test).
    const std::string disk = Quote(card.disk);
    r = RunCli("scan " + disk + "@1 --json");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* field :
         {"\"path\":\"DCIM/Holiday photo.jpg\"", "\"category\":\"photo\"", "\"method\":\"file system\""})
        EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
    TempDir music("out");
    r = RunCli("recover " + disk + "@1 --to " + Quote(music.path()) + " --types music");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("1 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Sha256File(FindRecovered(music / "audio", "Song.mp3")), card.sha["Song.mp3"]);
    r = RunCli("scan " + disk + "@7");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("no partition 7"), std::string::npos) << r.out;
}

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
    const std::string loop =
        HaveTool("losetup") ? CaptureLine("losetup -f --show " + Quote(img.path) + " 2>/dev/null") : "";
    const std::string mnt = d / "mnt";
    Sh("mkdir -p " + Quote(mnt));
    // The image mounted through FUSE, then the loop device over it: the
    // image and the device mounted are both refused as sources.
    std::vector<std::string> mounted = {img.path};
    if (!loop.empty()) mounted.push_back(loop);
    for (const std::string& device : mounted) {
        SCOPED_TRACE(device);
        ASSERT_EQ(Sh("ntfs-3g -o ro " + Quote(device) + " " + Quote(mnt)), 0);
        EXPECT_TRUE(DestinationOnSource(mnt + "/out/deeper", img.path));
        EXPECT_FALSE(DestinationOnSource(d / "elsewhere", img.path));
        for (const std::string& source : std::set<std::string>{img.path, device}) {
            Result r = RunCli("recover " + Quote(source) + " --to " + Quote(mnt + "/out"));
            EXPECT_EQ(r.status, 1) << source << ": " << r.out;
            EXPECT_NE(r.out.find("lies on the device being recovered"), std::string::npos) << r.out;
            EXPECT_NE(access((mnt + "/out").c_str(), F_OK), 0);
        }
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
        PatchFile(disk, c.patchOffset, &c.value, c.len);  // little-endian, as on this host
        Result r = RunCli("disks " + Quote(disk));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("@1  unknown    -                    1.00 MB"), std::string::npos) << r.out;
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
    const FatImage img = DeletedFilesFloppy(d / "fat.img", {{"A.JPG", RandomBytes(3000, 1)}});
    WriteFile(d / "afile", "x", 1);
    std::vector<std::string> dataDirs = {d / "afile"};
    Sh("mkdir -p " + Quote(d / "ro"));
    if (IsRoot() && Sh("mount -t tmpfs -o ro,size=1m tmpfs " + Quote(d / "ro")) == 0) dataDirs.push_back(d / "ro");
    const std::string src = Quote(img.path);
    for (const std::string& data : dataDirs) {
        for (const std::string& args :
             {"scan --json " + src, "scan --carve-only " + src, "recover " + src + " --to " + Quote(d / "out")}) {
            SCOPED_TRACE(data + " " + args);
            Result r = RunCli(args, "FOTORETTA_DATA_DIR=" + Quote(data));
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(r.out.find("cannot keep scan results"), std::string::npos) << r.out;
        }
    }
    Sh("umount " + Quote(d / "ro"));
}

// Damaged entries: a deleted short name whose bytes are not UTF-8 still
// gives valid JSON (each such byte written as \u00XX), and a deleted file
// that claims to be larger than its volume is listed as damaged and never
// written out whole; so is a carved one.
TEST(JsonListing, DamagedShortNamesAreEscaped) {
    TempDir d("hardjson");
    const FatImage img =
        DeletedFilesFloppy(d / "fat.img", {{"ABCDE.TXT", RandomBytes(3000, 2)}, {"HUGE.TXT", RandomBytes(5000, 3)}});
    // A byte that never occurs in UTF-8, and a lead byte without its continuation.
    PatchAt(img.path, "BCDE   TXT", 0, "\xFF\xC3", 2);
    const uint32_t size = 0xFFFFFFF0u;
    PatchAt(img.path, "UGE    TXT", 27, &size, 4);  // the entry's size field
    Result r = RunCli("scan " + Quote(img.path) + " --fast --json --types office");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\\u00ff\\u00c3DE"), std::string::npos) << r.out;
    WriteFile(d / "out.json", r.out);
    EXPECT_EQ(Sh("iconv -f UTF-8 -t UTF-8 " + Quote(d / "out.json") + " >/dev/null"), 0) << r.out;
    const size_t huge = r.out.find("\"size\":4294967280");
    ASSERT_NE(huge, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(huge, r.out.find('\n', huge) - huge).find("\"healthy\":false"), std::string::npos);
    r = RunCli("recover " + Quote(img.path) + " --fast --types office --to " + Quote(d / "out"));
    EXPECT_EQ(Capture("find " + Quote(d / "out") + " -type f -size +2M"), "") << r.out;
    // WAV headers at the start of 64 free sectors, each claiming 4 GiB: one
    // carved file, damaged, at the length the volume holds; the copy writes
    // no more than the image holds.
    const unsigned char wav[] = {'R', 'I', 'F', 'F', 0xF8, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    for (uint64_t i = 0; i < 64; ++i) PatchFile(img.path, (2000 + i) * 512, wav, sizeof wav);
    r = RunCli("scan " + Quote(img.path) + " --json --types audio");
    EXPECT_EQ(CountOf(r.out, "\"extension\":\"wav\""), 1u) << r.out;
    EXPECT_NE(r.out.find("\"healthy\":false,\"method\":\"carved\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"damage\":"), std::string::npos) << r.out;
    RunCli("recover " + Quote(img.path) + " --types audio --to " + Quote(d / "wav"));
    EXPECT_LE(std::stoull("0" + Capture("du -sb --apparent-size " + Quote(d / "wav") + " | cut -f1")), 1474560u);
}

// Sparse stretches of an NTFS file come back as holes, not written zeros, to
// a disk too small for the file's length; a deleted folder's picture comes
// back inside its folders, with its date.
TEST(OutputPath, SparseRunsBecomeHoles) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("hardsparse");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 24);
    ASSERT_TRUE(img.Mount());
    const std::string f = img.Mounted("holes.wav");
    Sh("dd if=" + Quote(Sample("wav")) + " of=" + Quote(f) + " bs=4096 count=4 status=none && truncate -s 16M " +
       Quote(f) + " && printf tail >> " + Quote(f) + " && mkdir -p " + Quote(img.Mounted("Photos/2026")) + " && cp " +
       Quote(Sample("big.jpg")) + " " + Quote(img.Mounted("Photos/2026/party.jpg")) + " && touch -d @" +
       std::to_string(kPhotoTime) + " " + Quote(img.Mounted("Photos/2026/party.jpg")));
    const std::string want = Sha256File(f);
    img.Unmount();
    ASSERT_TRUE(img.Mount());
    Sh("rm -r " + Quote(f) + " " + Quote(img.Mounted("Photos")));
    img.Unmount();
    Sh("mkdir -p " + Quote(d / "out"));
    FR_REQUIRE(Sh("mount -t tmpfs -o size=4m tmpfs " + Quote(d / "out")) == 0, "tmpfs mounts not permitted");
    Result r = RunCli("recover " + Quote(img.path) + " --fast --keep-paths --types music,photo --to " + Quote(d / "out"));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string party = CaptureLine("find " + Quote(d / "out") + " -name party.jpg");
    EXPECT_EQ(Sha256File(party), Sha256File(Sample("big.jpg"))) << r.out;
    struct stat st;
    ASSERT_EQ(stat(party.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, kPhotoTime);
    const std::string got = CaptureLine("find " + Quote(d / "out") + " -name '*.wav'");
    ASSERT_FALSE(got.empty()) << r.out;
    EXPECT_EQ(Sha256File(got), want);
    ASSERT_EQ(stat(got.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 2 << 20);  // 16 MiB long, a few KiB stored
    Sh("umount " + Quote(d / "out"));
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
    PatchAt(img.path, "OTEX      ", 3, "S", 1);
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
    NamedBytes files;
    std::set<std::string> hashes;
    for (int i = 0; i < 6; ++i) {
        files.push_back({"F" + std::to_string(i) + ".TXT", RandomBytes(40000, 10 + i)});
        hashes.insert(Sha256(files.back().second));
    }
    const FatImage img = DeletedFilesFloppy(d / "fat.img", files);
    Result r = RunCli("recover " + Quote(img.path) + " --fast --types office --to " + Quote(d / "small/out"));
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("is full: recovery stopped"), std::string::npos) << r.out;
    std::istringstream written(Capture("find " + Quote(d / "small/out") + " -type f"));
    int count = 0;
    for (std::string f; std::getline(written, f); ++count) EXPECT_EQ(hashes.count(Sha256File(f)), 1u) << f;
    EXPECT_GT(count, 0) << r.out;
    // Straight from the engine, a file that no longer fits is refused before a byte of it is written.
    ScopedDataDir data(d / "data");
    auto e = OpenAndScan<CFastFatRecovery>(img.path);
    ASSERT_TRUE(e);
    EXPECT_EQ(SaveNode(*e, ListResultTree(*e).begin()->second, d / "small/one.txt"), ENOSPC);
    struct stat st {};
    EXPECT_TRUE(stat((d / "small/one.txt").c_str(), &st) != 0 || st.st_size == 0) << st.st_size;
    Sh("umount " + Quote(d / "small"));
}

// ---------------------------------------------------------------------------
// Damaged media: real volumes and partitioned disks whose metadata is
// mutated with fixed seeds, run through every mode of the tool. No crash, no
// hang, bounded output, nothing written outside the destination, and the
// source never changes. FR_DAMAGE_VARIANTS sets the variants per medium
// (50 by default, FAT32 a fifth of that; 500 for a long run).

namespace {

struct Region {
    size_t offset, length;
};

// Boot sector, first FAT and root directory of the FAT volume at base.
std::vector<Region> FatRegions(const std::vector<unsigned char>& b, size_t base) {
    const size_t bps = GetLe16(b, base + 11), rsv = GetLe16(b, base + 14), nfats = b.at(base + 16);
    const size_t fatSize = GetLe16(b, base + 22) ? GetLe16(b, base + 22) : GetLe32(b, base + 36);
    const size_t fat = base + rsv * bps, afterFats = fat + nfats * fatSize * bps;
    const size_t root = GetLe16(b, base + 17) * 32;
    return {{base, 512}, {fat, std::min<size_t>(fatSize * bps, 4096)}, {afterFats, root ? root : 8192}};
}

struct Medium {
    std::string source;  // "" for the image itself, "@1" for its first partition
    std::vector<unsigned char> bytes;
    std::vector<Region> regions;
};

// Builds the six media in dir: each with live and deleted files and folders.
Medium BuildMedium(const std::string& kind, const TempDir& dir) {
    const std::string path = dir / (kind + ".img");
    auto fill = [&](const FatImage& f) {
        f.Mkdir("DCIM");
        f.Put(Sample("jpg"), "DCIM/KEEP.JPG");
        f.Put(Sample("png"), "DCIM/Lost picture.png");
        f.PutBytes(RandomBytes(9000, 7), "notes.txt");
        f.Mkdir("Trip");
        f.Put(Sample("wav"), "Trip/voice.wav");
        f.Delete("DCIM/Lost picture.png");
        f.Delete("notes.txt");
        f.DeleteTree("Trip");
    };
    Medium m;
    if (kind == "fat12" || kind == "fat16" || kind == "fat32") {
        FatImage f = kind == "fat12"   ? FatImage::Create(path, 12, 1440)
                     : kind == "fat16" ? FatImage::Create(path, 16, 8192, 2, "-r 128")
                                       : FatImage::Create(path, 32, 34000, 1);
        fill(f);
        m.bytes = ReadFile(path);
        m.regions = FatRegions(m.bytes, 0);
    } else if (kind == "mbr" || kind == "gpt") {
        FatImage f = FatImage::Create(dir / "vol.img", 12, 1440);
        fill(f);
        MakePartitionedDisk(path, 2048 + 2880 + 64, kind == "mbr" ? "dos" : "gpt",
                            {{2048, 2880, kind == "mbr" ? "1" : "L", ""}});
        PlaceVolume(path, f.path, 2048);
        m.bytes = ReadFile(path);
        m.source = "@1";
        m.regions = FatRegions(m.bytes, 2048 * 512);
        m.regions.insert(m.regions.begin(), kind == "mbr" ? Region{446, 66} : Region{512, 1024 + 4 * 128});
    } else if (kind == "ntfs") {
        NtfsImage n = NtfsImage::Create(path, 8);
        if (n.Mount()) {
            Sh("mkdir -p " + Quote(n.Mounted("Photos")) + " && cp " + Quote(Sample("jpg")) + " " +
               Quote(n.Mounted("Photos/a.jpg")) + " && cp " + Quote(Sample("wav")) + " " + Quote(n.Mounted("b.wav")));
            n.Unmount();
            n.Mount();
            Sh("rm -rf " + Quote(n.Mounted("Photos")) + " " + Quote(n.Mounted("b.wav")));
            n.Unmount();
        }
        m.bytes = ReadFile(path);
        if (m.bytes.size() < 4096) return m;
        const size_t bps = GetLe16(m.bytes, 11), spc = m.bytes[13];
        const size_t mft = static_cast<size_t>(GetLe32(m.bytes, 48)) * bps * spc;
        // Boot sector; the system records and the first user records
        // (their attributes, names and run lists).
        m.regions = {{0, 512}, {mft, 16 * 1024}, {mft + 64 * 1024, 16 * 1024}};
    }
    return m;
}

// Writes an image leaving its all-zero blocks as holes: the scans skip
// holes, so the mostly empty volumes are read in a fraction of the time
// (under the sanitizers too).
void WriteSparse(const std::string& path, const std::vector<unsigned char>& b) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    static const std::vector<unsigned char> zero(65536, 0);
    for (size_t off = 0; off < b.size(); off += 65536) {
        const size_t n = std::min<size_t>(65536, b.size() - off);
        if (std::memcmp(b.data() + off, zero.data(), n) != 0) {
            EXPECT_EQ(pwrite(fd, b.data() + off, n, static_cast<off_t>(off)), static_cast<ssize_t>(n));
        }
    }
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(b.size())), 0);
    close(fd);
}

// One damaged copy: 1 to 8 mutations in the medium's metadata regions.
std::vector<unsigned char> Mutate(const Medium& m, uint32_t seed) {
    std::vector<unsigned char> b = m.bytes;
    std::mt19937 rng(seed);
    static const uint32_t kValues[] = {0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    const int n = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i) {
        const Region& r = m.regions[rng() % m.regions.size()];
        if (r.offset >= b.size()) continue;
        const size_t at = r.offset + rng() % std::min(r.length, b.size() - r.offset);
        switch (rng() % 4) {
            case 0: b[at] = static_cast<unsigned char>(rng()); break;
            case 1: b[at] ^= static_cast<unsigned char>(1u << (rng() % 8)); break;
            default: {
                const uint32_t v = kValues[rng() % (sizeof kValues / sizeof kValues[0])];
                for (size_t k = 0; k < 4 && at + k < b.size(); ++k) b[at + k] = static_cast<unsigned char>(v >> (8 * k));
            }
        }
    }
    return b;
}

}  // namespace

class DamagedMedia : public ::testing::TestWithParam<std::string> {};

TEST_P(DamagedMedia, EveryModeSurvives) {
    const std::string kind = GetParam();
    FR_REQUIRE(kind != "ntfs" || (NtfsImage::Available() && IsRoot()), "mkntfs/ntfs-3g/FUSE not usable");
    FR_REQUIRE(HaveTool("sha256sum") && HaveTool("timeout"), "coreutils missing");
    TempDir dir("damaged");
    Medium m = BuildMedium(kind, dir);
    ASSERT_FALSE(m.regions.empty());
    int variants = getenv("FR_DAMAGE_VARIANTS") ? atoi(getenv("FR_DAMAGE_VARIANTS")) : 50;
    // The FAT32 volume is 34 MB (the smallest FAT32 that mtools accepts):
    // a fifth of the variants keeps the run short.
    if (kind == "fat32") variants = std::max(1, variants / 5);
    // Each variant runs one listing mode and one recovery, in turn.
    static const char* kScans[] = {"scan", "scan --json", "scan --fast --json", "scan --carve-only"};
    static const char* kRecovers[] = {"", "--fast", "--carve-only"};
    std::atomic<int> next{0};
    // In memory when /dev/shm is there: hundreds of images are written and
    // scanned, and the data folder's synced writes would otherwise flush
    // each of them to disk.
    TempDir scratch("variants", "/dev/shm");
    const std::string& root = scratch.path();
    auto worker = [&] {
        for (int i = next++; i < variants; i = next++) {
            const std::string v = root + "/" + std::to_string(i), img = v + "/disk.img";
            Sh("mkdir -p " + Quote(v));
            WriteSparse(img, Mutate(m, 1000u * static_cast<uint32_t>(m.bytes.size() % 997) + static_cast<uint32_t>(i)));
            const std::string before = Sha256File(img);
            const std::string src = Quote(img) + m.source;
            std::string modes[2] = {std::string(kScans[i % 4]) + " " + src + " --types all",
                                    "recover " + src + " " + kRecovers[i % 3] + " --types all --to " + Quote(v + "/out")};
            for (const std::string& args : modes) {
                Result r = RunCli(args, "FOTORETTA_DATA_DIR=" + Quote(v + "/data"), 60);
                // 0 or a plain failure code; never a signal or the time limit.
                EXPECT_LT(r.status, 4) << kind << " variant " << i << ": " << args << "\n" << r.out.substr(0, 3000);
                EXPECT_LT(r.out.size(), 2u << 20) << kind << " variant " << i << ": " << args;
            }
            EXPECT_EQ(Sha256File(img), before) << kind << " variant " << i;
            // Nothing but the image, the destination and the data folder.
            EXPECT_EQ(Capture("ls -A " + Quote(v) + " | grep -v -x -e disk.img -e out -e data"), "")
                << kind << " variant " << i;
            Sh("rm -rf " + Quote(v));
        }
    };
    std::thread t1(worker), t2(worker);
    t1.join();
    t2.join();
}

INSTANTIATE_TEST_SUITE_P(Media, DamagedMedia, ::testing::Values("fat12", "fat16", "fat32", "ntfs", "mbr", "gpt"),
                         [](const auto& info) { return info.param; });

// Read-only proof: every open of the source, in every mode, asks for
// O_RDONLY and nothing more, and the image's bytes and modification time
// stay as they were.
TEST(ReadOnlySource, EveryOpenIsReadOnly) {
    FR_REQUIRE(HaveTool("strace"), "strace missing");
    TempDir d("hardro");
    const FatImage img =
        DeletedFilesFloppy(d / "fat.img", {{"A.JPG", ReadFile(Sample("jpg"))}, {"B.TXT", RandomBytes(5000, 9)}});
    Sh("touch -d '2020-01-02 03:04:05' " + Quote(img.path));
    const std::string before = Sha256File(img.path), modified = Capture("stat -c %y " + Quote(img.path));
    const std::pair<std::string, const char*> modes[] = {
        {"scan", ""},          {"scan", "--fast --json"},   {"scan", "--carve-only"},   {"recover", ""},
        {"recover", "--fast"}, {"recover", "--carve-only"}, {"recover", "--keep-paths"}};
    for (size_t n = 0; n < std::size(modes); ++n) {
        const auto& [verb, options] = modes[n];
        SCOPED_TRACE(verb + " " + options);
        const std::string trace = d / ("trace" + std::to_string(n) + ".txt");
        std::string args = verb + " " + Quote(img.path) + " " + options + " --types all";
        if (verb == "recover") args += " --to " + Quote(d / ("out" + std::to_string(n)));
        Result r = RunCli(args, "strace -f -qq -e trace=open,openat,openat2,creat,truncate -o " + Quote(trace));
        EXPECT_LT(r.status, 4) << r.out;
        std::string opens = Capture("grep -F " + Quote(img.path + "\"") + " " + Quote(trace));
        EXPECT_NE(opens.find("O_RDONLY"), std::string::npos) << opens;
        for (const char* bad : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND", "creat(", "truncate("})
            EXPECT_EQ(opens.find(bad), std::string::npos) << opens;
    }
    EXPECT_EQ(Sha256File(img.path), before);
    EXPECT_EQ(Capture("stat -c %y " + Quote(img.path)), modified);  // to the nanosecond
}

// Failing sectors: a stretch of the source cannot be read (a FUSE file
// fails it with EIO). Every engine passes over it, logs it (a repeated line
// is counted), and finishes; the file that runs into it comes back short,
// the other one whole. A sweep lists it damaged at scan time; the fast
// engines read no file data and learn it when they copy.
struct FailingCase {
    const char* name;
    const char* image;  // "raw": two pictures, one cut by the stretch; "fat"/"ntfs": two deleted files
    const char* mode;
    bool bListedDamaged;
};
void PrintTo(const FailingCase& c, std::ostream* os) { *os << c.name; }
class FailingSectors : public ::testing::TestWithParam<FailingCase> {};

TEST_P(FailingSectors, SkippedLoggedOnceAndOnlyTheirFilesFail) {
    const FailingCase& c = GetParam();
    const std::string image = c.image;
    FR_REQUIRE(image != "ntfs" || (NtfsImage::Available() && IsRoot()), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("hardbad");
    std::string path = d / "src.img", types = "office";
    std::vector<unsigned char> whole, cut;  // cut: what lies before the stretch of the file it cuts
    unsigned long long bad = 0, badEnd = 0;
    if (image == "raw") {
        // A picture whose body lies on the stretch, one wholly on it (never
        // found) and one beyond it.
        std::vector<unsigned char> disk(4 << 20, 0);
        auto jpg = ReadFile(Sample("big.jpg")), gif = ReadFile(Sample("gif"));
        whole = ReadFile(Sample("png"));
        ASSERT_GT(jpg.size(), 20 * 512u);
        std::copy(jpg.begin(), jpg.end(), disk.begin() + 512 * 100);
        std::copy(gif.begin(), gif.end(), disk.begin() + 512 * 1000);
        std::copy(whole.begin(), whole.end(), disk.begin() + 512 * 4000);
        WriteFile(path, disk);
        types = "photo";
        bad = 110 * 512, badEnd = 2000 * 512;
        cut.assign(jpg.begin(), jpg.begin() + 10 * 512);
    } else {
        auto a = RandomBytes(20000, 21);
        whole = RandomBytes(20000, 22);
        if (image == "fat") {
            DeletedFilesFloppy(path, {{"A.TXT", a}, {"B.TXT", whole}});
        } else {
            NtfsImage img = NtfsImage::Create(path, 16);
            ASSERT_TRUE(img.Mount());
            WriteFile(img.Mounted("A.TXT"), a);
            WriteFile(img.Mounted("B.TXT"), whole);
            Sh("rm " + Quote(img.Mounted("A.TXT")) + " " + Quote(img.Mounted("B.TXT")));
            img.Unmount();
        }
        // The stretch starts in the third sector of A.TXT's data.
        const auto bytes = ReadFile(path);
        const auto at = std::search(bytes.begin(), bytes.end(), a.begin(), a.begin() + 512);
        ASSERT_NE(at, bytes.end());
        bad = static_cast<unsigned long long>(at - bytes.begin()) + 1024, badEnd = bad + 3072;
        cut.assign(a.begin(), a.begin() + 1024);
    }
    FailingFile failing(path, {{bad, badEnd}});
    FR_REQUIRE(!failing.path.empty(), "FUSE not usable here");
    path = failing.path;
    const std::string env = "FOTORETTA_DATA_DIR=" + Quote(d / "data");
    // The diagnostics of one run: the stretch is logged once, repeats counted.
    auto takeLog = [&] {
        const std::string log = ReadText(d / "data/Log.txt");
        unlink((d / "data/Log.txt").c_str());
        EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 40) << log;
        return CountOf(log, "Debug: read " + std::to_string(EIO) + "\n");
    };
    Result r = RunCli("scan " + Quote(path) + " " + c.mode + " --json --types " + types, env);
    // A sweep that met the stretch says so in its exit status.
    EXPECT_EQ(r.status, std::string(c.mode) == "--fast" ? 0 : 4) << r.out;
    EXPECT_EQ(CountOf(r.out, "\"path\":"), 2u) << r.out;
    const size_t damaged = c.bListedDamaged ? 1 : 0;
    EXPECT_EQ(CountOf(r.out, "\"damage\":\"unreadable sectors\""), damaged) << r.out;
    EXPECT_EQ(CountOf(r.out, "\"damaged\":" + std::to_string(damaged) + ","), 1u) << r.out;
    // The sweeps meet the stretch; the fast engines read no file data.
    const size_t logged = takeLog();
    EXPECT_TRUE(std::string(c.mode) == "--fast" ? logged == 0 : logged == 1 || logged == 2) << logged;

    r = RunCli("recover " + Quote(path) + " " + c.mode + " --types " + types + " --to " + Quote(d / "out"), env);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("1 recovered, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(short read)"), std::string::npos) << r.out;
    // Met by the scan, by the copy, or by both.
    const size_t copied = takeLog();
    EXPECT_TRUE(copied >= 1 && copied <= 3) << r.out;
    const std::string sums = Capture("find " + Quote(d / "out") + " -type f -exec sha256sum {} +");
    EXPECT_NE(sums.find(Sha256(whole)), std::string::npos) << r.out;
    EXPECT_NE(sums.find(Sha256(cut)), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Engines, FailingSectors,
                         ::testing::Values(FailingCase{"CarveOnly", "raw", "--carve-only", true},
                                           FailingCase{"DeepScan", "raw", "", true},
                                           FailingCase{"FastFat", "fat", "--fast", false},
                                           FailingCase{"DeepScanFat", "fat", "", true},
                                           FailingCase{"FastNtfs", "ntfs", "--fast", false},
                                           FailingCase{"DeepScanNtfs", "ntfs", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });
