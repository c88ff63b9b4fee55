// exFAT: real cards made with mkfs.exfat and written and deleted through
// exfat-fuse on a loop device, recovered through the command-line tool;
// the entry-set and boot-region rules over the bytes of such a card.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "rules/ExfatRules.h"
#include "support/TestKit.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A card image mounted through exfat-fuse on a loop device while it lives
// (until Eject).
struct ExfatCard {
    std::string img, loop, mnt;
    static bool Available() {
        return IsRoot() && HaveTool("losetup") && HaveTool("mkfs.exfat") && HaveTool("mount.exfat-fuse");
    }
    bool Make(const TempDir& dir, int mib, int sectorBytes = 512) {
        img = dir / "card.img";
        mnt = dir / "mnt";
        fs::create_directories(mnt);
        Sh("truncate -s " + std::to_string(mib) + "M " + Quote(img));
        loop = CaptureLine("losetup -f --show --sector-size " + std::to_string(sectorBytes) + " " + Quote(img));
        return !loop.empty() && Sh("mkfs.exfat -c 4096 -L CARD " + loop + " >/dev/null") == 0 &&
               Sh("mount.exfat-fuse " + loop + " " + Quote(mnt)) == 0;
    }
    std::string operator/(const std::string& rel) const { return mnt + "/" + rel; }
    void Eject() {
        Sh("sync; umount " + Quote(mnt) + "; losetup -d " + loop);
        loop.clear();
    }
    ~ExfatCard() {
        if (!loop.empty()) Eject();
    }
};

// Every file below a folder: relative path -> sha256.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = Sha256File(e.path().string());
    return out;
}

void Zero(const std::string& path, uint64_t offset, size_t len) {
    const std::vector<unsigned char> zeros(len, 0);
    PatchFile(path, offset, zeros.data(), zeros.size());
}

const std::string kLong = "Ünïcödé — a long name that runs over several name entries, 日本語 too, and on until "
                          "it passes one hundred and forty characters.txt";

}  // namespace

// Card (a): deleted files, a deleted folder, a long Unicode name, and live
// files (one fragmented) that the full scan must leave alone; then the same
// card with (b) its main boot region zeroed, (c) both boot regions, the FAT
// and the bitmap zeroed, (d) quickly re-formatted.
TEST(ExfatCards, DeletedFilesComeBackWithNamesFoldersAndTimes) {
    FR_REQUIRE(ExfatCard::Available() && !Sample("jpg").empty(), "needs root, losetup, exfatprogs and exfat-fuse");
    TempDir dir("exfat");
    ExfatCard card;
    ASSERT_TRUE(card.Make(dir, 48)) << "loop device or FUSE not usable";
    fs::create_directories(card / "DCIM/100CARD");
    fs::create_directories(card / "Trip/Day 2");
    const NamedBytes deleted = {{"DCIM/100CARD/Holiday.jpg", ReadFile(Sample("jpg"))},
                                {"DCIM/100CARD/" + kLong, RandomBytes(70000, 1)},
                                {"notes.bin", RandomBytes(5000, 2)},
                                {"Trip/Beach.jpg", ReadFile(Sample("jpg"))},
                                {"Trip/Day 2/clip.bin", RandomBytes(300000, 3)}};
    WriteFile(card / "DCIM/100CARD/Keep.jpg", ReadFile(Sample("jpg")));
    WriteFile(card / "frag.bin", RandomBytes(20000, 4));
    for (const auto& [name, bytes] : deleted) WriteFile(card / name, bytes);
    WriteFile(card / "spacer.bin", RandomBytes(9000, 5));
    ASSERT_EQ(Sh("head -c 30000 /dev/urandom >> " + Quote(card / "frag.bin")), 0);  // now in two pieces
    Sh("touch -d '2021-06-01 12:34:56 UTC' " + Quote(card / "notes.bin"));
    std::map<std::string, time_t> mtime;
    for (const auto& [name, bytes] : deleted) {
        struct stat st {};
        stat((card / name).c_str(), &st);
        mtime[name] = st.st_mtime;
    }
    ASSERT_EQ(Sh("sync; rm -r " + Quote(card / "Trip") + " " + Quote(card / "notes.bin") + " " +
                 Quote(card / ("DCIM/100CARD/" + kLong)) + " " + Quote(card / "DCIM/100CARD/Holiday.jpg")),
              0);
    card.Eject();

    const std::vector<unsigned char> image = ReadFile(card.img);
    ExfatBootInfo boot;
    ASSERT_TRUE(FindExfatBootRegion(image, boot));
    const uint64_t bps = boot.nBytesPerSector;
    {
        // The rules over the card's own bytes: a boot region whose checksum
        // fails gives way to the backup, changing flags do not count; a set
        // is refused when its counts do not fit or its checksum fails.
        struct Edit {
            const char* what;
            size_t at;
            unsigned char value;
            bool ok, backup;
        };
        const size_t set = boot.nHeapOffset * bps + (boot.nRootCluster - 2) * boot.BytesPerCluster() + 3 * 32;
        ASSERT_EQ(image[set] | 0x80, EXFAT_ENTRY_FILE);
        const unsigned char serial = static_cast<unsigned char>(~image[100]);  // surely a change
        for (const Edit& e : std::vector<Edit>{{"volume flags", 106, 0x02, true, false},
                                               {"serial number", 100, serial, true, true},
                                               {"both regions", 100, serial, false, false},
                                               {"set as found", set, image[set], true, false},
                                               {"19 secondaries", set + 1, 19, false, false},
                                               {"name longer than its entries", set + 32 + 3, 200, false, false},
                                               {"name changed", set + 66, 'Z', false, false},
                                               {"stream not next", set + 32, 0x85, false, false}}) {
            std::vector<unsigned char> b = image;
            b[e.at] = e.value;
            if (std::string(e.what) == "both regions") b[e.at + 12 * bps] = e.value;
            ExfatBootInfo got;
            ExfatEntrySet entries;
            const bool ok = e.at < set ? FindExfatBootRegion(b, got) && got.bFromBackup == e.backup
                                       : ParseExfatEntrySet(std::span(b).subspan(set), entries);
            EXPECT_EQ(ok, e.ok) << e.what;
        }
    }

    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        bool paths;         // folders and times kept, not only names
        const char* label;  // what disks shows ("" no volume)
    };
    // The card as the one partition of a disk: MBR type 0x07 (shared with
    // NTFS) or a GPT basic-data partition.
    auto onDisk = [&](const char* label, const char* type) {
        return [&, label, type](const std::string& p) {
            fs::rename(p, dir / "vol.img");
            MakePartitionedDisk(p, image.size() / 512 + 2048 + 64, label, {{2048, image.size() / 512, type, ""}});
            PlaceVolume(p, dir / "vol.img", 2048);
        };
    };
    const std::vector<Case> cases = {
        {"MBR type 0x07", onDisk("dos", "7"), true, "exFAT"},
        {"GPT basic data", onDisk("gpt", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"), true, "exFAT"},
        {"intact", [](const std::string&) {}, true, "CARD"},
        {"main boot region zeroed", [&](const std::string& p) { Zero(p, 0, 12 * bps); }, true, "CARD"},
        {"boot regions, FAT and bitmap zeroed",
         [&](const std::string& p) {
             Zero(p, 0, 24 * bps);
             Zero(p, boot.nFatOffset * bps, boot.nFatLength * bps);
             Zero(p, boot.nHeapOffset * bps, boot.BytesPerCluster());  // the bitmap's cluster
         },
         false, ""},
        {"quick re-format", [](const std::string& p) { Sh("mkfs.exfat -c 4096 -L NEW " + Quote(p) + " >/dev/null"); },
         false, "NEW"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string img = dir / "damaged.img", out = dir / "out";
        WriteFile(img, image);
        c.damage(img);
        const std::string disks = RunCli("disks " + Quote(img)).out;
        const size_t at = disks.find(img + "@1");
        const std::string line = at == std::string::npos ? "" : disks.substr(at, disks.find('\n', at) - at);
        EXPECT_EQ(Has(line, "exFAT") && Has(line, c.label), *c.label != 0) << disks;
        fs::remove_all(out);
        const auto r = RunCli("recover " + Quote(img) + " --types all --keep-paths --to " + Quote(out), "TZ=UTC", 90);
        ASSERT_TRUE(r.status == 0 || r.status == 3) << r.out;
        const auto got = Tree(out);
        std::map<std::string, std::string> byName;
        for (const auto& [path, sha] : got) byName[fs::path(path).filename().string()] = sha;
        for (const auto& [name, bytes] : deleted) {
            // A quick format rewrites the root folder: what it held is gone.
            if (std::string(c.name) == "quick re-format" && name == "notes.bin") continue;
            if (c.paths) {
                EXPECT_EQ(got.count(name) ? got.at(name) : "", Sha256(bytes)) << name;
                struct stat st {};
                EXPECT_EQ(stat((out + "/" + name).c_str(), &st) == 0 ? st.st_mtime : 0, mtime[name]) << name;
            } else {
                const std::string base = fs::path(name).filename().string();
                EXPECT_EQ(byName.count(base) ? byName.at(base) : "", Sha256(bytes)) << name;
            }
        }
        // With the bitmap, live files are never listed again, whole or carved.
        for (const auto& [path, sha] : got) EXPECT_FALSE(c.paths && (Has(path, "Keep") || Has(path, "frag"))) << path;
    }
    {
        // Past its valid data length a file is zeros: notes.bin's set cut to
        // 1000 valid bytes (its set checksum made again).
        std::vector<unsigned char> b = image;
        const std::string name("n\0o\0t\0e\0s\0.\0b\0i\0n\0", 18);
        const size_t at = std::search(b.begin(), b.end(), name.begin(), name.end()) - b.begin() - 66;
        ASSERT_EQ(b[at], 0x05);
        b[at + 32 + 8] = 0xE8, b[at + 32 + 9] = 0x03, b[at + 32 + 10] = 0;
        uint16_t sum = 0;
        for (size_t i = 0; i < (b[at + 1] + 1u) * 32; ++i)
            if (i != 2 && i != 3)
                sum = static_cast<uint16_t>((sum >> 1 | sum << 15) + (i % 32 ? b[at + i] : b[at + i] | 0x80));
        b[at + 2] = sum & 0xFF, b[at + 3] = sum >> 8;
        WriteFile(dir / "vdl.img", b);
        const auto r = RunCli("recover " + Quote(dir / "vdl.img") + " --fast --types all --to " + Quote(dir / "vdl"));
        std::vector<unsigned char> want = deleted[2].second;
        std::fill(want.begin() + 1000, want.end(), 0);
        EXPECT_EQ(Sha256File(dir / "vdl/others/notes.bin"), Sha256(want)) << r.out;
    }
    // The fast scan alone, with the JSON of the command-line tool.
    const auto s = RunCli("scan " + Quote(card.img) + " --fast --types all --json", "TZ=UTC");
    EXPECT_TRUE(Has(s.out, "\"path\":\"notes.bin\"") && Has(s.out, "\"modified\":\"2021-06-01T12:34:56Z\"") &&
                Has(s.out, "\"method\":\"file system\",\"engine\":\"exfat\""))
        << s.out;
}

// Card (e): 4096-byte sectors; a deleted folder and file come back byte for
// byte, by the fast engine and by the full scan.
TEST(ExfatCards, FourKibSectors) {
    FR_REQUIRE(ExfatCard::Available(), "needs root, losetup, exfatprogs and exfat-fuse");
    TempDir dir("exfat4k");
    ExfatCard card;
    ASSERT_TRUE(card.Make(dir, 48, 4096)) << "loop device or FUSE not usable";
    fs::create_directories(card / "A/B");
    const std::vector<unsigned char> one = RandomBytes(123457, 6), two = RandomBytes(9000, 7);
    WriteFile(card / "A/B/one.bin", one);
    WriteFile(card / "two.bin", two);
    Sh("sync; rm -r " + Quote(card / "A") + " " + Quote(card / "two.bin"));
    card.Eject();
    for (const char* mode : {"--fast", ""}) {
        const std::string out = dir / (std::string("out") + mode);
        const auto r = RunCli("recover " + Quote(card.img) + " " + mode + " --types all --keep-paths --to " + Quote(out));
        EXPECT_EQ(r.status, 0) << r.out;
        const auto got = Tree(out);
        EXPECT_EQ(got.count("A/B/one.bin") ? got.at("A/B/one.bin") : "", Sha256(one)) << mode;
        EXPECT_EQ(got.count("two.bin") ? got.at("two.bin") : "", Sha256(two)) << mode;
        EXPECT_EQ(got.size(), 2u) << mode;
    }
}

// The sweep's quick tests of one sector: a File entry followed by its stream
// extension in the same state, in any slot with one after it; the bitmap
// and up-case entries among a root's first four; and the two in one.
TEST(ExfatRules, SweepQuickTests) {
    struct SetCase { size_t size, slot; unsigned char file, stream, secondaries; bool want; };
    for (const SetCase& c : std::vector<SetCase>{{512, 0, 0x85, 0xC0, 2, true}, {512, 14, 0x05, 0x40, 18, true},
                                                 {512, 15, 0x85, 0xC0, 2, false}, {512, 7, 0x85, 0x40, 2, false},
                                                 {512, 7, 0x85, 0xC0, 19, false}, {4096, 126, 0x85, 0xC0, 3, true},
                                                 {96, 1, 0x05, 0x40, 2, true}}) {
        std::vector<unsigned char> s(c.size, 0x20);
        s[c.slot * 32] = c.file;
        s[c.slot * 32 + 1] = c.secondaries;
        if ((c.slot + 1) * 32 < c.size) s[(c.slot + 1) * 32] = c.stream;
        EXPECT_EQ(MayHoldExfatSet(s), c.want) << c.size << " bytes, slot " << c.slot;
        EXPECT_EQ(MayHoldExfatEntries(s), c.want) << c.size << " bytes, slot " << c.slot;
    }
    struct RootCase { size_t size, bitmap, upcase; bool want; };
    for (const RootCase& c : std::vector<RootCase>{{512, 0, 3, true}, {512, 1, 4, false}, {96, 2, 0, true}, {64, 0, 2, false}}) {
        std::vector<unsigned char> s(std::max<size_t>(c.size, 160), 0x20);
        s[c.bitmap * 32] = 0x81;
        s[c.upcase * 32] = 0x82;
        EXPECT_EQ(IsExfatRootStart(std::span(s).first(c.size)), c.want) << c.size << " bytes";
        EXPECT_EQ(MayHoldExfatEntries(std::span(s).first(c.size)), c.want) << c.size << " bytes";
    }
}
