// The full scan through the command-line tool: file-system results, rebuilt
// folders and carved files in one listing, on real images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>
#include <unistd.h>

#include "scan/FileRecoveryFactory.h"
#include "scan/ProfessionalRecovery.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Hit {
    std::string name, engine, path;
    unsigned long long start = 0, size = 0;
};

struct ScanRun {
    int status = 0;
    std::string out, err;
    std::vector<Hit> hits;
    // A hit of that name from that engine.
    bool Has(const std::string& name, const std::string& engine) const {
        for (const Hit& h : hits)
            if (h.name == name && h.engine == engine) return true;
        return false;
    }
};

// "scan IMAGE --json" (plus options) with the scan logs in dataDir.
ScanRun Scan(const std::string& image, const std::string& dataDir, const std::string& opts = "",
         const std::string& env = "") {
    TempDir errDir("err");
    ScanRun r;
    r.out = Capture("FOTORETTA_DATA_DIR=" + Quote(dataDir) + " " + env + " " + Quote(FR_CLI_BINARY) + " scan " +
                        Quote(image) + " --json --types all " + opts + " 2>" + Quote(errDir / "e"),
                    &r.status);
    const auto e = ReadFile(errDir / "e");
    r.err.assign(e.begin(), e.end());
    static const std::regex line(
        R"re(\{"path":"([^"]*)","name":"([^"]*)","size":(\d+),.*"engine":"([^"]*)",.*"offset":(\d+))re");
    std::smatch m;
    for (auto it = r.out.cbegin(); std::regex_search(it, r.out.cend(), m, line); it = m.suffix().first)
        r.hits.push_back({m[2], m[4], m[1], std::stoull(m[5]) / 512, std::stoull(m[3])});
    return r;
}

bool HaveFatTools() { return HaveTool("mkfs.vfat") && HaveTool("mcopy") && !Sample("jpg").empty(); }

// A FAT32 card with camera folders, deleted pictures and a picture whose
// entry is gone: its data lies far into the free clusters, with no name.
struct Card {
    TempDir dir{"deep"};
    FatImage img = FatImage::Create(dir / "card.img", 32, 68000, 2);
    std::vector<unsigned char> jpg = ReadFile(Sample("jpg")), png = ReadFile(Sample("png"));
    const uint64_t orphanSector = 120000;
    Card() {
        img.Mkdir("DCIM");
        img.Mkdir("DCIM/100CANON");
        img.Mkdir("Holiday pictures");
        img.PutBytes(jpg, "DCIM/100CANON/IMG_0001.JPG");
        img.PutBytes(jpg, "DCIM/100CANON/IMG_0002.JPG");
        img.PutBytes(png, "Holiday pictures/Beach at sunset.png");
        img.Delete("DCIM/100CANON/IMG_0002.JPG");
        img.Delete("Holiday pictures/Beach at sunset.png");
        PatchFile(img.path, orphanSector * 512, png.data(), png.size());
    }
};

}  // namespace

// An intact FAT32 card: the deleted files by name from the FAT, plus the
// nameless picture carved; no second copy of a file the FAT engine lists.
// Inside a partitioned disk image, the sectors are the disk's.
TEST(DeepScan, IntactFat32Card) {
    FR_REQUIRE(HaveFatTools() && HaveTool("sfdisk"), "mkfs.vfat, mtools, sfdisk and samples needed");
    Card card;
    // A deleted folder: the FAT engine lists it by its entry, the deep one
    // meets it in free space; listed once.
    card.img.Mkdir("Old trip");
    card.img.PutBytes(card.jpg, "Old trip/Sunrise.jpg");
    card.img.DeleteTree("Old trip");
    TempDir data("data");
    ScanRun r = Scan(card.img.path, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.Has("!MG_0002.JPG", "fat")) << r.out;
    EXPECT_EQ(std::count_if(r.hits.begin(), r.hits.end(), [](const Hit& h) { return h.name == "Sunrise.jpg"; }), 1)
        << r.out;
    EXPECT_TRUE(r.Has("Beach at sunset.png", "fat")) << r.out;
    EXPECT_TRUE(r.Has(std::to_string(card.orphanSector) + ".png", "carving")) << r.out;
    std::set<unsigned long long> fsStarts;
    for (const Hit& h : r.hits)
        if (h.engine != "carving") fsStarts.insert(h.start);
    for (const Hit& h : r.hits)
        if (h.engine == "carving") {
            EXPECT_FALSE(fsStarts.count(h.start)) << h.name << " listed twice";
        }
    // The fast engine alone and the carver alone keep their own results.
    ScanRun fast = Scan(card.img.path, data.path(), "--fast");
    for (const Hit& h : fast.hits) EXPECT_EQ(h.engine, "fat");
    ScanRun carve = Scan(card.img.path, data.path(), "--carve-only");
    for (const Hit& h : carve.hits) EXPECT_EQ(h.engine, "carving");
    EXPECT_GE(carve.hits.size(), 3u);

    const std::string disk = card.dir / "disk.img";
    MakePartitionedDisk(disk, 2048 + 136000 + 100, "dos", {{2048, 136000, "c", ""}});
    PlaceVolume(disk, card.img.path, 2048);
    r = Scan(disk + "@1", data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.Has("Beach at sunset.png", "fat")) << r.out;
    EXPECT_TRUE(r.Has(std::to_string(2048 + card.orphanSector) + ".png", "carving")) << r.out;
}

// A FAT32 card of deleted pictures written between other files, in dir:
// each lies in two pieces with another deleted picture's first piece and a
// kept file between them, one with a deleted film larger than any gap
// searched between them, and one lies in three pieces.
struct FragmentedCard {
    TempDir t{"frag"};
    FatImage img = FatImage::Create(t / "card.img", 32, 34000, 1);
    std::map<std::string, std::vector<unsigned char>> pics;
    std::string three, behind;
    explicit FragmentedCard(const std::string& dir) {
        if (!dir.empty()) img.Mkdir("DCIM");
        // Without FSInfo's next-free hint, mtools fills the holes first.
        auto put = [&](const std::vector<unsigned char>& bytes, const std::string& name) {
            const unsigned char unknown[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            PatchFile(img.path, 512 + 492, unknown, 4);
            img.PutBytes(bytes, name.starts_with("Keep") ? name : dir + name);
        };
        auto del = [&](const std::string& name) { img.Delete(dir + name); };
        auto picture = [&](int k) {
            const bool jpg = k < 6 || k > 10;
            const std::string out = t / ("p" + std::to_string(k) + (jpg ? ".jpg" : ".png"));
            Sh("convert " + Quote(Sample(jpg ? "big.jpg" : "png")) + " -resize " +
               std::to_string(jpg ? 360 + 40 * k : 200 + 20 * k) + " -quality " + std::to_string(80 + k) + " " +
               Quote(out));
            const std::string name = "Pic " + std::to_string(k) + (jpg ? ".jpg" : ".png");
            return pics[name] = ReadFile(out), name;
        };
        for (int k = 0; k < 10; k += 2) {
            const std::string a = picture(k), b = picture(k + 1);
            put(RandomBytes(pics[a].size() * 2 / 5, k), "hole1");
            put(RandomBytes(pics[b].size() / 3, k + 1), "hole2");
            put(RandomBytes(3000, k + 2), "Keep" + std::to_string(k));
            del("hole1");
            put(pics[a], a);
            del("hole2");
            put(pics[b], b);
        }
        // Three pieces: two holes with deleted files after each.
        three = picture(10);
        for (const char* h : {"hole1", "gone1", "hole2", "gone2"}) put(RandomBytes(pics[three].size() / 4, 7), h);
        del("hole1");
        del("hole2");
        put(pics[three], three);
        // Only the film's own entry tells that its clusters are not the picture's.
        behind = picture(11);
        put(RandomBytes(pics[behind].size() / 2, 11), "hole1");
        put(RandomBytes(5000 * 512, 12), "Film.mov");
        del("hole1");
        put(pics[behind], behind);
        del("Film.mov");
        for (const auto& [name, bytes] : pics) del(name);
        del("gone1");
        del("gone2");
        if (!dir.empty()) img.DeleteTree("DCIM");
    }
};

// The deleted pictures of a fragmented card (see FragmentedCard): the full
// scan gives nine in ten or more back byte for byte and lists none as
// healthy whose bytes are not its own: from the root (the fast engine's)
// and from a deleted folder whose later clusters only the deep FAT engine
// meets.
TEST(DeepScan, FragmentedPicturesArePutBackTogether) {
    FR_REQUIRE(HaveFatTools() && HaveTool("convert"), "mkfs.vfat, mtools, ImageMagick and samples needed");
    for (const std::string dir : {"", "DCIM/"}) {
        SCOPED_TRACE(dir);
        FragmentedCard card(dir);
        const FatImage& img = card.img;
        const auto& pics = card.pics;
        const std::string &three = card.three, &behind = card.behind;
        TempDir data("data"), out("out");
        ScanRun r = Scan(img.path, data.path());
        ASSERT_EQ(r.status, 0) << r.err;
        CliResult rec = RunCli("recover " + Quote(img.path) + " --types photo --to " + Quote(out.path()));
        ASSERT_EQ(rec.status, 0) << rec.out;
        size_t exact = 0;
        for (const auto& [name, bytes] : pics) {
            const bool same = ReadFile(out / ("photo/" + name)) == bytes;
            exact += same && name != three;
            EXPECT_TRUE(same || name != behind) << name << " not put back across the deleted film";
            const size_t at = r.out.find("\"name\":\"" + name + "\"");
            const bool healthy = at != std::string::npos && r.out.substr(at, r.out.find('\n', at) - at)
                                                                     .find("\"healthy\":true") != std::string::npos;
            EXPECT_TRUE(same || !healthy) << name << " listed as healthy with other bytes";
        }
        EXPECT_GE(exact, 10u) << r.out;
        // The folder's later clusters are the deep engine's: the picture behind the film among them.
        EXPECT_TRUE(dir.empty() || r.Has(behind, "fat-deep")) << r.out;
    }
}

// The same card with the pictures' deleted entries wiped from the root
// folder: only the carver finds them. The two-piece ones come back byte for
// byte (nine in ten at least); a picture listed healthy is its own bytes,
// and the one in three pieces is listed as damaged.
TEST(DeepScan, CarvedFragmentedPicturesArePutBackTogether) {
    FR_REQUIRE(HaveFatTools() && HaveTool("convert"), "mkfs.vfat, mtools, ImageMagick and samples needed");
    FragmentedCard card("");
    auto image = ReadFile(card.img.path);
    auto le = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | image[at + i];
        return v;
    };
    const uint64_t bps = le(11, 2), spc = image[13], fat = le(14, 2) * bps;
    const uint64_t data = fat + image[16] * le(36, 4) * bps;
    for (uint64_t c = le(44, 4); c >= 2 && c < 0x0FFFFFF8; c = le(fat + 4 * c, 4) & 0x0FFFFFFF)
        for (uint64_t e = data + (c - 2) * spc * bps; e < data + (c - 1) * spc * bps; e += 32)
            if (image[e] == 0xE5) std::fill_n(image.begin() + static_cast<long>(e), 32, 0);
    WriteFile(card.img.path, image);
    TempDir dataDir("data"), out("out");
    ScanRun r = Scan(card.img.path, dataDir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    CliResult rec = RunCli("recover " + Quote(card.img.path) + " --types photo --to " + Quote(out.path()));
    ASSERT_EQ(rec.status, 0) << rec.out;
    size_t exact = 0;
    for (const auto& [name, bytes] : card.pics) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(r.Has(name, "fat")) << "the entry was to be wiped";
        uint64_t start = 0;
        for (size_t at = 0; at + 512 <= image.size() && !start; at += 512)
            if (std::equal(bytes.begin(), bytes.begin() + 512, image.begin() + static_cast<long>(at))) start = at / 512;
        const std::string carved = std::to_string(start) + name.substr(name.size() - 4);
        ASSERT_TRUE(r.Has(carved, "carving")) << r.out;
        const bool same = ReadFile(out / ("photo/" + carved)) == bytes;
        const size_t at = r.out.find("\"name\":\"" + carved + "\"");
        const bool healthy = r.out.substr(at, r.out.find('\n', at) - at).find("\"healthy\":true") != std::string::npos;
        EXPECT_TRUE(same || !healthy) << "listed as healthy with other bytes";
        EXPECT_TRUE(name != card.three || !healthy) << "three pieces listed as healthy";
        exact += same && name != card.three && name != card.behind;
    }
    EXPECT_GE(exact, 9u) << r.out;
}

// A FAT16 card whose deleted folder's entry was taken by a later folder:
// the deep FAT engine gives the folder's photos back with their names and
// data from its own cluster.
TEST(DeepScan, DeletedFolderWhoseEntryWasReused) {
    FR_REQUIRE(HaveFatTools(), "mkfs.vfat, mtools and samples needed");
    TempDir t("reuse");
    FatImage img = FatImage::Create(t / "v.img", 16, 20000, 4);
    const auto jpg = ReadFile(Sample("jpg"));
    // A camera thumbnail (.thm) is a JPEG: not listed a second time as one.
    img.PutBytes(jpg, "MVI_0003.THM");
    img.PutBytes(RandomBytes(2000, 20), "pad.bin");
    img.Mkdir("Trip");
    img.PutBytes(jpg, "Trip/First day at the sea.jpg");
    img.DeleteTree("Trip");
    img.Delete("pad.bin");
    img.Mkdir("Work documents 2024");
    img.Delete("MVI_0003.THM");
    TempDir data("data");
    ScanRun r = Scan(img.path, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.Has("First day at the sea.jpg", "fat-deep")) << r.out;
    // Recovered by the deep FAT engine byte for byte.
    TempDir out("out");
    int st = 0;
    Capture("FOTORETTA_DATA_DIR=" + Quote(data.path()) + " " + Quote(FR_CLI_BINARY) + " recover " + Quote(img.path) +
                " --types photo --to " + Quote(out.path()) + " 2>&1",
            &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(Sha256File(out / "photo/First day at the sea.jpg"), Sha256(jpg));
    unsigned long long thm = 0;
    for (const Hit& h : r.hits)
        if (h.name == "!VI_0003.THM") thm = h.start;
    ASSERT_NE(thm, 0u) << r.out;
    EXPECT_FALSE(r.Has(std::to_string(thm) + ".jpg", "carving")) << r.out;
}

// Two camera folders of 150 photos (written ten at a time in turn, so their clusters lie apart) deleted
// whole: their later clusters go back into them, and no photo lands in another named folder.
TEST(DeepScan, DeletedPhotoFolderOfManyClusters) {
    FR_REQUIRE(HaveFatTools(), "mkfs.vfat, mtools and samples needed");
    TempDir t("photos");
    FatImage img = FatImage::Create(t / "card.img", 16, 40000, 8);
    for (const char* dir : {"DCIM", "DCIM/100TEST", "DCIM/101TEST"}) img.Mkdir(dir);
    const auto jpg = ReadFile(Sample("jpg"));
    for (int batch = 0; batch < 30; ++batch) {
        TempDir src("batch");
        for (int i = 1; i <= 10; ++i) WriteFile(src / ("Trip photo " + std::to_string(batch * 10 + i) + ".jpg"), jpg);
        const std::string to = " ::DCIM/10" + std::to_string(batch % 2) + "TEST/";
        ASSERT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(img.path) + " " + Quote(src.path()) + "/*" + to), 0);
    }
    for (const char* dir : {"DCIM/100TEST", "DCIM/101TEST"}) img.DeleteTree(dir);
    TempDir data("data");
    ScanRun r = Scan(img.path, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    int home = 0, elsewhere = 0;
    for (const Hit& h : r.hits) {
        if (!h.name.starts_with("Trip photo ") || !h.name.ends_with(".jpg")) continue;  // whole names only
        const std::string folder = "DCIM/!0" + std::to_string((std::stoi(h.name.substr(11)) - 1) / 10 % 2) + "TEST/";
        home += h.path.starts_with(folder);
        elsewhere += !h.path.starts_with(folder) && !h.path.starts_with("LostFolder");
    }
    EXPECT_GE(home, 285) << r.out;
    EXPECT_EQ(elsewhere, 0) << r.out;
}

// An NTFS volume whose boot sector was zeroed: the deep NTFS engine finds
// the files by their records.
TEST(DeepScan, NtfsWithoutBootSector) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot() && !Sample("big.jpg").empty(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("ntfs");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 24);
    ASSERT_TRUE(img.Mount());
    Sh("mkdir -p " + Quote(img.Mounted("Photos/2026")));
    Sh("cp " + Quote(Sample("big.jpg")) + " " + Quote(img.Mounted("Photos/2026/party.jpg")));
    img.Unmount();
    ASSERT_TRUE(img.Mount());
    Sh("rm -f " + Quote(img.Mounted("Photos/2026/party.jpg")));
    img.Unmount();
    TempDir data("data");
    // First $MFT's own record and its mirror copy are zeroed: the NTFS
    // engine fails, and the sweep still finds the file by its record.
    const auto boot = ReadFile(img.path);
    const uint64_t cluster = (boot[11] | boot[12] << 8) * uint64_t{boot[13]};
    for (int field : {0x30, 0x38}) {
        uint64_t lcn = 0;
        std::memcpy(&lcn, boot.data() + field, 8);
        PatchFile(img.path, lcn * cluster, std::vector<unsigned char>(1024, 0).data(), 1024);
    }
    ScanRun r = Scan(img.path, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.Has("party.jpg", "ntfs-deep") && r.err.find("swept instead") != std::string::npos) << r.err;
    PatchFile(img.path, 0, std::vector<unsigned char>(512, 0).data(), 512);
    r = Scan(img.path, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.Has("party.jpg", "ntfs-deep")) << r.out;
    for (const Hit& h : r.hits)
        if (h.engine == "carving") {
            EXPECT_NE(h.size, ReadFile(Sample("big.jpg")).size()) << "carved twice: " << h.name;
        }
}

// Ctrl-C while a carved file is being measured: no file is made of the
// part measured, and --resume finds it whole.
TEST(DeepScan, InterruptInsideALengthWalk) {
    FR_REQUIRE(!Sample("big.jpg").empty(), "samples needed");
    TempDir d("walk"), data("data");
    const std::string img = d / "raw.img";
    const auto jpg = ReadFile(Sample("big.jpg"));
    ASSERT_GT(jpg.size(), 40u * 512u);
    WriteFile(img, std::vector<unsigned char>(8 << 20, 0));
    PatchFile(img, 2048 * 512, jpg.data(), jpg.size());
    // Sector 2060 is read first by the sweep, then by the walk: Ctrl-C then.
    FailingFile fuse(img, {}, 0, 2060 * 512, 2);
    FR_REQUIRE(!fuse.path.empty(), "FUSE not usable here");
    ScanRun cut = Scan(fuse.path, data.path());
    EXPECT_EQ(cut.status, 130);
    EXPECT_FALSE(cut.Has("2048.jpg", "carving")) << cut.out;
    ScanRun resumed = Scan(fuse.path, data.path(), "--resume");
    ASSERT_EQ(resumed.hits.size(), 1u) << resumed.out;
    EXPECT_EQ(resumed.hits[0].size, jpg.size());
}

// One sector that cannot be read (a FUSE file fails it with EIO) costs that
// sector only: the files after it in the same window are found, the file
// that touches it is listed as damaged, and the summary and the exit
// status say that the scan is not complete.
TEST(DeepScan, UnreadableSectorCostsOnlyItself) {
    FR_REQUIRE(!Sample("png").empty() && !Sample("gif").empty(), "samples needed");
    TempDir d("eio"), data("data");
    const std::string img = d / "raw.img";
    WriteFile(img, std::vector<unsigned char>(4 << 20, 0));
    const std::pair<const char*, uint64_t> files[] = {{"jpg", 2048}, {"png", 2070}, {"gif", 2110}};
    for (const auto& [kind, sector] : files) PatchFile(img, sector * 512, ReadFile(Sample(kind)).data(), ReadFile(Sample(kind)).size());
    FailingFile failing(img, {{2050 * 512, 2051 * 512}});
    FR_REQUIRE(!failing.path.empty(), "FUSE not usable here");
    for (const char* mode : {"", "--carve-only"}) {
        ScanRun r = Scan(failing.path, data.path(), mode);
        EXPECT_EQ(r.status, 4) << mode << r.err;
        for (const auto& [kind, sector] : files) {
            const std::string name = std::to_string(sector) + "." + kind;
            const size_t at = r.out.find("\"name\":\"" + name + "\"");
            ASSERT_NE(at, std::string::npos) << mode << name << r.out;
            const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
            EXPECT_EQ(line.find("\"healthy\":false") != std::string::npos, sector == 2048) << line;
        }
        EXPECT_NE(r.out.find("\"complete\":false,"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"read_errors\":1}"), std::string::npos) << r.out;
    }
}

// Each deleted file listed once, by its file system, at its data's offset: with 4096-byte sectors, on
// FAT32 with sector 0 wiped (the backup boot record serves), and whatever the carver calls its type.
struct OnceCase {
    const char *name, *fs, *mkfsArgs;                        // fs: "fat16", "fat32", "ntfs"
    std::vector<std::pair<const char*, const char*>> files;  // name on the volume, sample kind
};
class DeepScanOnce : public ::testing::TestWithParam<OnceCase> {};
TEST_P(DeepScanOnce, EachFileOnceAtItsData) {
    const OnceCase& c = GetParam();
    const bool ntfs = std::string(c.fs) == "ntfs";
    FR_REQUIRE(ntfs ? NtfsImage::Available() && IsRoot() : HaveFatTools(), "image tools needed");
    TempDir d("once"), data("data");
    const std::string img = d / "v.img";
    NamedBytes files;
    for (const auto& [name, kind] : c.files) files.push_back({name, carvekit::SampleBytes(kind)});
    if (ntfs) {
        NtfsImage v = NtfsImage::Create(img, 24, 4096, c.mkfsArgs);
        ASSERT_TRUE(v.Mount());
        for (const auto& [name, bytes] : files) WriteFile(v.Mounted(name), bytes);
        v.Unmount();
        ASSERT_TRUE(v.Mount());
        for (const auto& f : files) Sh("rm " + Quote(v.Mounted(f.first)));
        v.Unmount();
    } else {
        // FAT32 of 4096-byte sectors needs 65525 clusters of 4 KiB.
        FatImage v = FatImage::Create(img, c.fs[3] == '3' ? 32 : 16, *c.mkfsArgs ? 300000 : 68000, 0, c.mkfsArgs);
        for (const auto& [name, bytes] : files) v.PutBytes(bytes, name);
        for (const auto& f : files) v.Delete(f.first);
    }
    if (std::string(c.name).find("Wiped") != std::string::npos) PatchFile(img, 0, std::string(512, 0).data(), 512);
    ScanRun r = Scan(img, data.path()), fast = Scan(img, data.path(), "--fast");
    EXPECT_EQ(fast.hits.size(), files.size()) << fast.out << fast.err;
    const std::vector<unsigned char> image = ReadFile(img);
    for (const auto& [name, bytes] : files) {
        const auto at = std::search(image.begin(), image.end(), bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 4096));
        size_t there = 0, carved = 0;
        for (const Hit& h : r.hits)
            if (h.start * 512 == static_cast<unsigned long long>(at - image.begin())) ++there, carved += h.engine == "carving";
        EXPECT_EQ(there - carved, 1u) << name << "\n" << r.out;
        EXPECT_EQ(carved, 0u) << name << "\n" << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, DeepScanOnce,
    ::testing::Values(
        OnceCase{"Fat32Sectors4096", "fat32", "-S 4096", {{"Holiday.jpeg", "big.jpg"}, {"Beach.png", "png"}, {"Song.mp3", "mp3"}}},
        OnceCase{"NtfsSectors4096", "ntfs", "-s 4096", {{"party.jpg", "big.jpg"}, {"b.png", "png"}}},
        OnceCase{"Fat32BootSectorWiped", "fat32", "", {{"Evening.jpg", "big.jpg"}, {"Song.mp3", "mp3"}}},
        OnceCase{"Fat16Spellings", "fat16", "", {{"Scan.tiff", "tif"}, {"Take one.aif", "aiff"}, {"Clip.mp4", "mov"},
                                                {"Trailer.m4v", "mp4"}, {"Photo.jpeg", "jpg"}}}),
    [](const ::testing::TestParamInfo<OnceCase>& i) { return std::string(i.param.name); });

// A scan stopped half way and continued with --resume lists what an
// uninterrupted scan lists.
TEST(DeepScan, InterruptedScanResumes) {
    FR_REQUIRE(HaveFatTools(), "mkfs.vfat, mtools and samples needed");
    Card card;
    TempDir whole("whole"), part("part");
    ScanRun ref = Scan(card.img.path, whole.path());
    ASSERT_EQ(ref.status, 0);
    FailingFile fuse(card.img.path, {}, 0, 60000 * 512, 1);
    FR_REQUIRE(!fuse.path.empty(), "FUSE not usable here");
    ScanRun first = Scan(fuse.path, part.path());
    EXPECT_NE(first.err.find("--resume"), std::string::npos) << first.err;
    EXPECT_FALSE(first.Has(std::to_string(card.orphanSector) + ".png", "carving"));
    ScanRun resumed = Scan(fuse.path, part.path(), "--resume");
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumed.out, ref.out);
    // The sweep went on from where it stopped.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(resumed.err, m, std::regex(R"(\(sector (\d+) of)"))) << resumed.err;
    EXPECT_GE(std::stoull(m[1]), 50000u) << resumed.err;  // (less the windows read ahead)
    // Without --resume a scan starts afresh and still ends the same; the
    // image keeps one record in the scan-log table.
    EXPECT_EQ(Scan(fuse.path, part.path()).out, ref.out);
    EXPECT_EQ(ReadFile(part / "ScanLog/config").size(), 8u + 592u);
}

// An image file without a file system, with holes: the holes are counted
// as swept without being read, and the files found are the same as when
// every sector is read. Through the command-line tool the whole image is
// swept and its pictures carved.
TEST(DeepScan, SparseImageHolesAreSkipped) {
    FR_REQUIRE(!Sample("big.jpg").empty(), "samples needed");
    TempDir d("sparse");
    const std::string img = d / "sparse.img";
    const auto jpg = ReadFile(Sample("big.jpg"));
    WriteFile(img, nullptr, 0);
    ASSERT_EQ(truncate(img.c_str(), 64 << 20), 0);
    const uint64_t last = 131072 - (jpg.size() + 511) / 512;  // ends with the image
    std::vector<std::string> want;
    for (uint64_t sector : {uint64_t{2048}, uint64_t{81920}, last}) {
        PatchFile(img, sector * 512, jpg.data(), jpg.size());
        want.push_back(std::to_string(sector) + ".jpg");
    }
    TempDir data("data");
    setenv("FOTORETTA_DATA_DIR", data.path().c_str(), 1);
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
    std::vector<std::string> names[2];
    for (bool holes : {true, false}) {
        CProfessionalRecovery e(CFileRecoveryFactory::FastEngines());
        std::wstring w = Utf8ToWide(img);
        e.Init(w.data(), L'C');
        e.SetNotLoadLogFile();
        e.SetSkipHoles(holes);
        ASSERT_EQ(e.ScanDevice(nullptr), 0);
        const auto& st = e.GetSweepStats();
        EXPECT_EQ(st.u64Scanned, 131072u);
        if (holes) EXPECT_GT(st.u64HoleSectors, 120000u);
        else EXPECT_EQ(st.u64HoleSectors, 0u);
        std::vector<__SEARCH_FILE_INFO__> hits;
        std::wstring pattern = L"*.jpg|";
        e.SearchFileNode(pattern.data(), hits);
        for (const auto& h : hits) names[holes].push_back(h.szFileName);
        std::sort(names[holes].begin(), names[holes].end());
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names[1], want);
    EXPECT_EQ(names[0], names[1]);
    ScanRun r = Scan(img, data.path());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& name : want) EXPECT_TRUE(r.Has(name, "carving")) << r.out;
    EXPECT_NE(r.err.find(" of 131072,"), std::string::npos) << r.err;
}
