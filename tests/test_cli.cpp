// The command-line tool driven as a user would: real images, deleted files,
// recovered byte for byte into the category folders.
#include <gtest/gtest.h>

#include <tuple>

#include "support/TestKit.h"

using namespace testkit;

namespace {

std::string Cli() { return FR_CLI_BINARY; }

struct Result {
    int status;
    std::string out;
};

Result RunCli(const std::string& args, const std::string& env = "") {
    // Each run keeps its scan logs in a data folder of its own.
    static TempDir data("clidata");
    int st = 0;
    std::string out =
        Capture("FOTORETTA_DATA_DIR=" + Quote(data.path()) + " " + env + " " + Quote(Cli()) + " " + args + " 2>&1", &st);
    return {st, out};
}

// A FAT32 card with photos and a song, some deleted, one deleted folder.
struct Card {
    TempDir dir{"cli"};
    std::string img = dir / "card.img";
    std::map<std::string, std::string> deleted;  // name -> sha256
    std::string keptName = "KEEP.JPG";

    explicit Card(int fatBits = 32) {
        std::string jpg = Sample("jpg"), big = Sample("big.jpg"), mp3 = Sample("mp3"), png = Sample("png");
        FatImage f = FatImage::Create(img, fatBits, fatBits == 32 ? 40000 : 8000);
        f.Mkdir("DCIM");
        f.Mkdir("Trip");
        f.Put(jpg, "DCIM/KEEP.JPG");
        f.Put(big, "DCIM/Holiday photo.jpg");
        f.Put(mp3, "Song.mp3");
        f.Put(png, "Trip/beach.png");
        f.Delete("DCIM/Holiday photo.jpg");
        f.Delete("Song.mp3");
        f.DeleteTree("Trip");
        deleted["Holiday photo.jpg"] = Sha256File(big);
        deleted["Song.mp3"] = Sha256File(mp3);
        deleted["beach.png"] = Sha256File(png);
    }
};

// The file recovered under a name in a folder: deleted FAT entries may
// have lost the first letter of their short name, so match on the rest.
std::string FindRecovered(const std::string& folder, const std::string& name) {
    std::string hit = Capture("ls " + Quote(folder) + " 2>/dev/null | grep -F -- " + Quote(name.substr(1)) + " | head -1");
    while (!hit.empty() && hit.back() == '\n') hit.pop_back();
    return hit.empty() ? std::string() : folder + "/" + hit;
}

}  // namespace

// The whole card: category folders, a second run, kept paths, an interrupt
// and clear errors.
TEST(Cli, RecoversDeletedFilesFromACard) {
    Card card;
    TempDir out("out");
    Result r = RunCli("recover " + Quote(card.img) + " --to " + Quote(out.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("3 recovered, 0 failed"), std::string::npos) << r.out;
    std::string jpg = FindRecovered(out / "photo", "Holiday photo.jpg");
    std::string png = FindRecovered(out / "photo", "beach.png");
    std::string mp3 = FindRecovered(out / "audio", "Song.mp3");
    ASSERT_FALSE(jpg.empty()) << Capture("find " + Quote(out.path()));
    ASSERT_FALSE(png.empty());
    ASSERT_FALSE(mp3.empty());
    EXPECT_EQ(Sha256File(jpg), card.deleted["Holiday photo.jpg"]);
    EXPECT_EQ(Sha256File(png), card.deleted["beach.png"]);
    EXPECT_EQ(Sha256File(mp3), card.deleted["Song.mp3"]);
    EXPECT_TRUE(FindRecovered(out / "photo", card.keptName).empty());  // live files are not listed

    // A second run writes new, numbered names beside the first ones.
    r = RunCli("recover " + Quote(card.img) + " --to " + Quote(out.path()) + " --types photo");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 recovered, 0 failed"), std::string::npos) << r.out;
    std::string again = Capture("ls " + Quote(out / "photo") + " | grep -c '(1)'");
    EXPECT_EQ(again, "2\n");

    // With --keep-paths the folders come back; short folder names keep the
    // case stored on the card.
    TempDir kept("out");
    r = RunCli("recover " + Quote(card.img) + " --to " + Quote(kept.path()) + " --keep-paths");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Sha256File(FindRecovered(kept / "DCIM", "Holiday photo.jpg")), card.deleted["Holiday photo.jpg"]);
    std::string found = Capture("find " + Quote(kept.path()) + " -name '*each.png'");
    EXPECT_NE(found.find("/Trip/"), std::string::npos) << found;  // inside the (deleted) Trip folder

    // An interrupt during the first file: that file stays, the rest is not written.
    TempDir cut("out");
    r = RunCli("recover " + Quote(card.img) + " --to " + Quote(cut.path()), "FOTORETTA_TEST_INTERRUPT_AFTER_FILES=1");
    EXPECT_NE(r.out.find("cancelled"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Capture("find " + Quote(cut.path()) + " -type f | wc -l"), "1\n");

    // Clear errors with their exit codes.
    WriteFile(card.dir / "afile", "x", 1);
    const std::tuple<std::string, int, const char*> errors[] = {
        {"scan /nonexistent/card.img", 1, "No such file"},
        {"scan " + Quote(card.img) + " --types photo,holidays", 2, "unknown type 'holidays'"},
        {"recover " + Quote(card.img) + " --to " + Quote(card.dir / "afile/sub"), 1, "cannot create"},
        {"recover " + Quote(card.img), 2, ""}};
    for (const auto& [args, status, text] : errors) {
        r = RunCli(args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    }
}

TEST(Cli, PartitionedImageAndListing) {
    Card card;
    std::string disk = card.dir / "disk.img";
    MakePartitionedDisk(disk, 2048 + 80000 + 100, "dos", {{2048, 80000, "c", ""}});
    PlaceVolume(disk, card.img, 2048);
    Result r = RunCli("disks " + Quote(disk));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Partition 1"), std::string::npos) << r.out;

    r = RunCli("scan " + Quote(disk) + "@1 --json");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"path\":\"DCIM/Holiday photo.jpg\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"category\":\"photo\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"method\":\"file system\""), std::string::npos);

    TempDir out("out");
    r = RunCli("recover " + Quote(disk) + "@1 --to " + Quote(out.path()) + " --types music");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("1 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Sha256File(FindRecovered(out / "audio", "Song.mp3")), card.deleted["Song.mp3"]);

    r = RunCli("scan " + Quote(disk) + "@7");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("no partition 7"), std::string::npos) << r.out;
}

TEST(Cli, NtfsVolume) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("clintfs");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 24);
    ASSERT_TRUE(img.Mount());
    Sh("mkdir -p " + Quote(img.Mounted("Photos/2026")));
    Sh("cp " + Quote(Sample("big.jpg")) + " " + Quote(img.Mounted("Photos/2026/party.jpg")));
    Sh("cp " + Quote(Sample("wav")) + " " + Quote(img.Mounted("voice memo.wav")));
    img.Unmount();
    ASSERT_TRUE(img.Mount());
    Sh("rm -rf " + Quote(img.Mounted("Photos")) + " " + Quote(img.Mounted("voice memo.wav")));
    img.Unmount();
    TempDir out("out");
    Result r = RunCli("recover " + Quote(img.path) + " --to " + Quote(out.path()) + " --keep-paths");
    ASSERT_EQ(r.status, 0) << r.out;
    std::string found = Capture("find " + Quote(out.path()) + " -type f | sort");
    EXPECT_NE(found.find("party.jpg"), std::string::npos) << found;
    std::string party = Capture("find " + Quote(out.path()) + " -name party.jpg | head -1");
    while (!party.empty() && party.back() == '\n') party.pop_back();
    EXPECT_EQ(Sha256File(party), Sha256File(Sample("big.jpg")));
}

TEST(Cli, RefusesDestinationOnTheScannedDevice) {
    FR_REQUIRE(IsRoot() && HaveTool("losetup") && NtfsImage::Available(), "needs root, losetup and ntfs-3g");
    TempDir d("clidev");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 16);
    std::string loop = Capture("losetup -f --show " + Quote(img.path) + " 2>/dev/null");
    while (!loop.empty() && loop.back() == '\n') loop.pop_back();
    FR_REQUIRE(!loop.empty(), "no loop device available");
    std::string mnt = d / "mnt";
    Sh("mkdir -p " + Quote(mnt));
    bool mounted = Sh("ntfs-3g " + Quote(loop) + " " + Quote(mnt)) == 0;
    if (mounted) {
        Result r = RunCli("recover " + Quote(loop) + " --to " + Quote(mnt + "/out"));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("lies on the device being recovered"), std::string::npos) << r.out;
        // Elsewhere the same device recovers fine.
        r = RunCli("recover " + Quote(loop) + " --to " + Quote(d / "elsewhere"));
        EXPECT_EQ(r.status, 0) << r.out;
        Sh("fusermount -u " + Quote(mnt) + " || umount " + Quote(mnt));
    }
    Sh("losetup -d " + Quote(loop));
    FR_REQUIRE(mounted, "mounting the loop device is not permitted here");
}

TEST(Cli, CarveOnlyFindsFilesWithoutAFileSystem) {
    TempDir d("clicarve");
    std::vector<unsigned char> disk(4 << 20, 0);
    auto jpg = ReadFile(Sample("big.jpg"));
    auto png = ReadFile(Sample("png"));
    std::copy(jpg.begin(), jpg.end(), disk.begin() + 512 * 100);
    std::copy(png.begin(), png.end(), disk.begin() + 512 * 2000);
    WriteFile(d / "raw.img", disk);
    TempDir out("out");
    Result r = RunCli("recover " + Quote(d / "raw.img") + " --carve-only --to " + Quote(out.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 recovered, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(Sha256File(out / "photo/100.jpg"), Sha256(jpg));
    EXPECT_EQ(Sha256File(out / "photo/2000.png"), Sha256(png));
}
