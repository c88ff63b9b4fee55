// What scripts and technicians rely on from the command-line tool: every
// volume is listed with a SOURCE that works, JSON Lines with a summary,
// original names and dates on recovered files, exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TestKit.h"

using namespace testkit;

namespace {

using Result = CliResult;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Zeros when the file is not there.
struct stat StatOf(const std::string& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st;
}

// Between them the two times set and clear every bit of the hour, minute and
// two-second fields of a FAT time word.
constexpr time_t kPhotoTime = 1556878830;  // 2019-05-03 10:20:30 UTC
constexpr time_t kMemoTime = 1556919812;   // 2019-05-03 21:43:32 UTC

// A camera card: FAT32 labelled CARD with DCIM/100CANON holding a deleted
// short-named picture note and a deleted lower-case name, both dated 2019.
struct CameraCard {
    TempDir dir{"contract"};
    std::string volume = dir / "volume.img";
    explicit CameraCard() {
        FatImage f = FatImage::Create(volume, 32, 40000);
        f.Mkdir("DCIM");
        f.Mkdir("DCIM/100CANON");
        const std::string local = dir / "x.txt";
        WriteFile(local, RandomBytes(3000, 7));
        const char* names[] = {"DCIM/100CANON/NOTE0001.TXT", "DCIM/100CANON/memo.txt"};
        for (const char* name : names) {
            const time_t when = Has(name, "OTE") ? kPhotoTime : kMemoTime;
            struct timespec ts[2] = {{when, 0}, {when, 0}};
            utimensat(AT_FDCWD, local.c_str(), ts, 0);
            EXPECT_EQ(Sh("TZ=UTC MTOOLS_SKIP_CHECK=1 mcopy -m -i " + Quote(volume) + " " + Quote(local) + " ::" + name),
                      0);
        }
        for (const char* name : names) f.Delete(name);
    }
};

}  // namespace

// Superfloppy, MBR and GPT cards: `disks` gives a SOURCE that `scan` takes,
// and the scan finds the deleted files with their folders, case and dates.
TEST(CliContract, EveryVolumeIsListedWithAWorkingSource) {
    CameraCard card;
    struct Layout {
        const char* label;  // "" for no partition table
        const char* type;
    };
    for (const Layout l : {Layout{"", ""}, Layout{"dos", "c"}, Layout{"gpt", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"}}) {
        SCOPED_TRACE(l.label);
        std::string img = card.volume;
        if (*l.label) {
            img = card.dir / (std::string(l.label) + ".img");
            MakePartitionedDisk(img, 2048 + 80000 + 100, l.label, {{2048, 80000, l.type, "photos"}});
            PlaceVolume(img, card.volume, 2048);
            Result w = RunCli("scan " + Quote(img) + " --fast --types all");
            EXPECT_TRUE(w.status == 0 && Has(w.out, "Partition " + img + "@1  FAT32  FRTEST") &&
                        Has(w.out, "2 files found"))
                << w.out;
        }
        Result d = RunCli("disks " + Quote(img));
        ASSERT_EQ(d.status, 0) << d.out;
        EXPECT_TRUE(Has(d.out, "Physical Drive 1") && !Has(d.out, "Driver")) << d.out;
        EXPECT_TRUE(std::string(l.label) != "dos" || Has(d.out, "Partition 1")) << d.out;
        EXPECT_TRUE(Has(d.out, img + "@1") && Has(d.out, "FAT32") && Has(d.out, "FRTEST")) << d.out;

        Result s = RunCli("scan " + Quote(img + "@1") + " --json --types all", "TZ=UTC", 60, false);
        ASSERT_EQ(s.status, 0) << s.out;
        EXPECT_TRUE(Has(s.out, "\"path\":\"DCIM/100CANON/!OTE0001.TXT\"")) << s.out;
        EXPECT_TRUE(Has(s.out, "\"path\":\"DCIM/100CANON/!emo.txt\"")) << s.out;
        EXPECT_TRUE(Has(s.out, "\"modified\":\"2019-05-03T10:20:30Z\"") && Has(s.out, "\"modified\":\"2019-05-03T21:43:32Z\""))
            << s.out;
        EXPECT_TRUE(Has(s.out, "\"method\":\"file system\",\"engine\":\"fat\",\"partition\":1"))
            << s.out;
        const std::string last = s.out.substr(s.out.rfind('\n', s.out.size() - 2) + 1);
        EXPECT_TRUE(Has(last, "\"summary\":true") && Has(last, "\"document\":{\"files\":2,\"bytes\":6000}")) << last;
    }
}

TEST(CliContract, RecoveryKeepsCaseFoldersDatesAndWhatAnInterruptedScanFound) {
    CameraCard card;
    TempDir out("contractout");
    Result r = RunCli("recover " + Quote(card.volume) + " --types document --keep-paths --to " + Quote(out.path()),
                      "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* name : {"DCIM/100CANON/!OTE0001.TXT", "DCIM/100CANON/!emo.txt"}) {
        EXPECT_TRUE(S_ISREG(StatOf(out / name).st_mode)) << name << "\n" << Capture("find " + Quote(out.path()));
        EXPECT_EQ(StatOf(out / name).st_mtime, Has(name, "OTE") ? kPhotoTime : kMemoTime) << name;
    }
    // Flat into category folders: the same dates. Run through sudo, the
    // folders it makes and the files belong to the user who ran sudo.
    TempDir flat("contractflat");
    r = RunCli("recover " + Quote(card.volume) + " --types office --to " + Quote(flat / "new/sub"),
               "TZ=UTC SUDO_UID=4321 SUDO_GID=4322");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(StatOf(flat / "new/sub/document/!emo.txt").st_mtime, kMemoTime) << Capture("ls -lR " + Quote(flat.path()));
    for (const char* p : {"new", "new/sub", "new/sub/document", "new/sub/document/!emo.txt"})
        EXPECT_TRUE(geteuid() != 0 || StatOf(flat / p).st_uid * 10000 + StatOf(flat / p).st_gid == 43214322u) << p;

    // A Ctrl-C during the scan keeps what was found and copies it; the run
    // still reports that the user ended it.
    TempDir cut("contractint");
    r = RunCli("recover " + Quote(card.volume) + " --types all --to " + Quote(cut.path()),
               "FOTORETTA_TEST_INTERRUPT_SCAN_AT=50");
    EXPECT_EQ(r.status, 130) << r.out;
    EXPECT_TRUE(Has(r.out, "Recovering the 2 files found so far") && Has(r.out, "2 recovered, 0 failed")) << r.out;
}

TEST(CliContract, HelpVersionCategoriesAndExitCodes) {
    CameraCard card;
    const std::string img = Quote(card.volume);
    WriteFile(card.dir / "afile", "x");
    // An NTFS volume whose MFT and its mirror cannot be read: the engine fails.
    FailingFile failing(NtfsImage::Create(card.dir / "ntfs.img", 16).path, {{16384, 8388608}});
    const std::string ntfs = Quote(failing.path);
    struct Case {
        std::string args;
        std::string env;
        int status;
        std::string expect;
    };
    std::vector<Case> cases = {
        {"--version", "", 0, "fotoretta-cli "},
        {"scan --help", "", 0, "JSON Lines"},
        {"recover -h", "", 0, "Exit status"},
        {"help disks", "", 0, "whole"},
        {"scan " + img + " --types music,office", "", 0, "Document (2)"},
        {"scan " + img + " --types video --json", "", 0, "{\"summary\":true,\"complete\":true,\"files\":0"},
        {"scan " + img + " --types nonsense", "", 2, "use photo, audio, video, document, archive, others"},
        {"scan " + img + " --types all", "FOTORETTA_TEST_INTERRUPT_SCAN_AT=50", 130, "Scan cancelled"},
        {"scan disk:1000:1", "", 1, "IMAGE@P"},
        {"scan /nonexistent/card.img", "", 1, "No such file"},
        {"scan " + img + " --types photo,holidays", "", 2, "unknown type 'holidays'"},
        {"recover " + img + " --to " + Quote(card.dir / "afile/sub"), "", 1, "cannot create"},
        {"recover " + img, "", 2, ""},
        {"scan " + ntfs + " --fast", "", 1, "the scan failed (short read)"},
        // The full scan sweeps on, and says that sectors could not be read.
        {"scan " + ntfs + " --json", "", 4, "\"complete\":false"},
        {"recover " + ntfs + " --types all --to " + Quote(card.dir / "out"), "", 4, "0 recovered, 0 failed"},
    };
    if (failing.path.empty()) cases.resize(cases.size() - 3);  // no FUSE here
    for (const auto& c : cases) {
        Result r = RunCli(c.args, c.env);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.expect)) << c.args << "\n" << r.out;
    }

    // On a terminal the bar is redrawn at most ten times a second (each
    // redraw starts with a carriage return; the terminal adds one per line).
    WriteFile(card.dir / "noise.img", RandomBytes(48 << 20, 5));
    const auto start = std::chrono::steady_clock::now();
    Sh("script -qfec " +
       Quote("FOTORETTA_DATA_DIR=" + Quote(card.dir / "data") + " " + Quote(FR_CLI_BINARY) + " scan " +
             Quote(card.dir / "noise.img") + " --carve-only") +
       " " + Quote(card.dir / "tty.txt") + " >/dev/null");
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<unsigned char> tty = ReadFile(card.dir / "tty.txt");
    EXPECT_LE(std::count(tty.begin(), tty.end(), '\r'), 10 * secs + 8) << secs << " s";
}

// A whole disk is scanned partition by partition: one JSON Lines listing
// with the partition of each file, a folder per partition in `recover`,
// and `@P` still names one. Engine diagnostics stay off the terminal.
TEST(CliContract, WholeDiskIsScannedPartitionByPartition) {
    TempDir d("contractparts");
    const std::vector<unsigned char> data[2] = {RandomBytes(3000, 11), RandomBytes(5000, 12)};
    const char* names[2] = {"ONE.TXT", "TWO.TXT"};
    const std::string disk = d / "disk.img";
    MakePartitionedDisk(disk, 2048 + 2 * 8000 + 64, "dos", {{2048, 8000, "1", ""}, {10048, 8000, "1", ""}});
    for (int p = 0; p < 2; ++p) {
        FatImage f = FatImage::Create(d / names[p], 12, 4000);
        f.PutBytes(data[p], names[p]);
        f.Delete(names[p]);
        PlaceVolume(disk, f.path, p == 0 ? 2048 : 10048);
    }
    auto lineOf = [](const std::string& out, const std::string& name) {
        const size_t at = out.find("\"name\":\"!" + name.substr(1) + "\"");
        return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
    };
    Result s = RunCli("scan " + Quote(disk) + " --json --types document", "", 60, false);
    EXPECT_EQ(s.status, 0) << s.out;
    EXPECT_TRUE(Has(lineOf(s.out, "ONE.TXT"), "\"partition\":1,")) << s.out;
    EXPECT_TRUE(Has(lineOf(s.out, "TWO.TXT"), "\"partition\":2,")) << s.out;
    EXPECT_TRUE(s.out.find("\"summary\"") == s.out.rfind("\"summary\"") && Has(s.out, "\"files\":2,")) << s.out;

    TempDir out("contractpartsout");
    Result r = RunCli("recover " + Quote(disk) + " --types document --to " + Quote(out.path()));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Has(r.out, "Start")) << r.out;
    for (int p = 0; p < 2; ++p)
        EXPECT_EQ(ReadFile(out / ("partition-" + std::to_string(p + 1) + "/document/!" + (names[p] + 1))), data[p])
            << Capture("find " + Quote(out.path()));

    s = RunCli("scan " + Quote(disk + "@2") + " --json --types document", "", 60, false);
    EXPECT_TRUE(lineOf(s.out, "ONE.TXT").empty() && Has(lineOf(s.out, "TWO.TXT"), "\"partition\":2,")) << s.out;

    // Carving sweeps the whole disk once: a picture before the first partition is found.
    const std::string png = Sample("png");
    ASSERT_FALSE(png.empty());
    PlaceVolume(disk, png, 64);
    s = RunCli("scan " + Quote(disk) + " --carve-only --json --types photo", "", 60, false);
    EXPECT_TRUE(Has(s.out, "\"offset\":32768,")) << s.out;

    // A table whose second entry overlaps the first: that one is scanned once.
    const uint32_t overlapping = 4048;
    PatchFile(disk, 446 + 16 + 8, &overlapping, 4);
    s = RunCli("scan " + Quote(disk) + " --fast --types document");
    EXPECT_TRUE(Has(s.out, "@2 overlaps ") && Has(s.out, "1 files found")) << s.out;
}

// The scan logs never land on the medium scanned, and a data folder that
// cannot take them is named as such, with a non-zero exit.
TEST(CliContract, DataFolderOnTheSourceFullOrReadOnlyIsRefused) {
    FR_REQUIRE(IsRoot() && NtfsImage::Available(), "root and ntfs-3g needed for the mounts");
    TempDir d("contractdata");
    NtfsImage img = NtfsImage::Create(d / "home.img", 16);
    ASSERT_TRUE(img.Mount());
    const std::string md5 = CaptureLine("md5sum " + Quote(img.path));
    Result r = RunCli("scan " + Quote(img.path), "FOTORETTA_DATA_DIR=" + Quote(img.Mounted("fotoretta")));
    img.Unmount();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "lies on the medium being scanned") && Has(r.out, "FOTORETTA_DATA_DIR")) << r.out;
    EXPECT_EQ(CaptureLine("md5sum " + Quote(img.path)), md5);

    // A read-only folder, and a full one.
    const std::string mnt = d / "small";
    struct {
        std::string options, fill, says;
    } const cases[] = {{"ro", "true", "Read-only file system"}, {"size=256k", "dd if=/dev/zero of=f bs=4k", "No space left"}};
    for (const auto& [options, fill, says] : cases) {
        ASSERT_EQ(Sh("mkdir -p " + Quote(mnt) + " && mount -t tmpfs -o " + options + " none " + Quote(mnt)), 0);
        Sh("cd " + Quote(mnt) + " && " + fill + " 2>/dev/null");
        r = RunCli("scan " + Quote(d / "home.img"), "FOTORETTA_DATA_DIR=" + Quote(mnt + "/data"));
        Sh("umount " + Quote(mnt));
        EXPECT_TRUE(r.status == 1 && Has(r.out, says)) << options << r.out;
    }
}

// Scans of two cards at once, sharing one data folder, again and again:
// each keeps its own log, and a later --resume of each lists its own files.
TEST(CliContract, ConcurrentScansKeepTheirOwnLogs) {
    TempDir d("contractrace");
    const std::string data = d / "data";
    for (const char* card : {"A", "B"})
        DeletedFilesFloppy(d / (std::string(card) + ".img"),
                           {{std::string("CARD") + card + ".TXT", RandomBytes(3000, card[0])}});
    auto run = [&](const std::string& card, const std::string& opts) {
        return "FOTORETTA_DATA_DIR=" + Quote(data) + " " + Quote(FR_CLI_BINARY) + " scan " +
               Quote(d / (card + ".img")) + " --types document " + opts + " 2>/dev/null";
    };
    for (int round = 0; round < 8; ++round) {
        Capture("(" + run("A", "") + " & " + run("B", "--resume") + " & wait) >/dev/null");
        for (const std::string card : {"A", "B"}) {
            const std::string out = Capture(run(card, "--resume"));
            EXPECT_TRUE(Has(out, "ARD" + card + ".TXT") && Has(out, "1 files found")) << round << card << out;
        }
        EXPECT_EQ(ReadFile(data + "/ScanLog/config").size(), 8u + 2u * 592u) << round;
    }
}
