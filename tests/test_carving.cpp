// Carving over raw images built at test time: real files at sector-aligned
// offsets between filler, carved at their start sectors with the right
// names and lengths, saved back byte for byte; skip counts, untrusted
// header sizes, stopping during a long walk, progress reports, and files
// deleted from a real FAT volume.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "carving/CarveDriver.h"
#include "carving/FileLengthRules.h"
#include "carving/FileTypeRecovery.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Points the data directory at a fresh folder for the engine's logs.
struct DataDir {
    testkit::TempDir dir{"carvedata"};
    testkit::ScopedDataDir scope{dir.path()};
};

struct Placed {
    std::string kind;
    std::string ext;
    u64 sector;
    Bytes data;
    bool exact;
};

// A raw image: files at sector boundaries, each followed by zero padding
// to its sector end and some sectors of random filler.
struct Image {
    Bytes bytes;
    std::vector<Placed> files;
    uint32_t seed = 1;

    void Filler(size_t sectors) {
        Bytes f = testkit::RandomBytes(sectors * 512, seed++);
        // Keep filler from looking like a file start or metadata by chance.
        for (size_t s = 0; s < sectors; ++s) f[s * 512] = 0x55;
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    void Zeros(size_t sectors) { bytes.resize(bytes.size() + sectors * 512, 0); }
    bool Add(const std::string& kind, const std::string& ext, bool exact, size_t fillerAfter = 3) {
        Bytes d = carvekit::SampleBytes(kind);
        if (d.empty()) return false;
        files.push_back({kind, ext, bytes.size() / 512, d, exact});
        bytes.insert(bytes.end(), d.begin(), d.end());
        bytes.resize((bytes.size() + 511) / 512 * 512, 0);
        Filler(fillerAfter);
        return true;
    }
};

struct Carved {
    std::map<u64, _FILE_NODE_> bySector;
};

int Carve(CFileTypeRecovery& e, const std::string& path, Carved& out, ScanProgressFunc cb = nullptr,
          void* param = nullptr, const std::atomic<bool>* cancel = nullptr, CarveStats* stats = nullptr) {
    std::wstring w = Utf8ToWide(path);
    EXPECT_EQ(0, e.Init(w.data(), L'C'));
    e.SetNodeListener([&](const _FILE_NODE_& n) { out.bySector[n.u64RecordSector] = n; });
    e.InitCallBack(cb, nullptr, param, 90);
    return CarveImage(e, cb, param, cancel, stats);
}

Bytes Saved(CFileTypeRecovery& e, const _FILE_NODE_& n, const std::string& path) {
    _FILE_NODE_ copy = n;
    std::wstring w = Utf8ToWide(path);
    EXPECT_EQ(0, e.SaveFileData(&copy, w.data(), 0)) << n.szFileName;
    return testkit::ReadFile(path);
}

TEST(Carving, RealFilesBetweenFiller) {
    DataDir data;
    Image img;
    img.Zeros(16);
    // Lengths the formats' own structure gives exactly.
    const char* exact[][2] = {{"jpg", "jpg"},   {"exif.jpg", "jpg"}, {"png", "png"},   {"gif", "gif"},
                              {"bmp", "bmp"},   {"zip", "zip"},      {"docx", "docx"}, {"xlsx", "xlsx"},
                              {"pptx", "pptx"}, {"pdf", "pdf"},      {"wav", "wav"},   {"avi", "avi"},
                              {"mp3", "mp3"},   {"mid", "mid"},      {"ico", "ico"},   {"font.ttf", "ttf"},
                              {"cab", "cab"},   {"7z", "7z"},        {"doc", "doc"},   {"xls", "xls"},
                              {"ppt", "ppt"},   {"ts", "ts"}};
    for (auto& k : exact) img.Add(k[0], k[1], true);
    // Formats measured by walking to the next file.
    const char* walked[][2] = {{"gz9", "gz"}, {"mp4", "mp4"}, {"mkv", "mkv"}, {"flv", "flv"}, {"sqlite", "db"}, {"mpg", "mpeg"}};
    for (auto& k : walked) img.Add(k[0], k[1], false);
    img.Add("jpg", "jpg", true, 0);  // a last file right at the end
    FR_REQUIRE(img.files.size() > 20, "too few samples could be made");
    testkit::TempDir dir("carve");
    const std::string path = dir / "img.raw";
    testkit::WriteFile(path, img.bytes);

    CFileTypeRecovery e;
    Carved c;
    CarveStats st;
    ASSERT_EQ(0, Carve(e, path, c, nullptr, nullptr, nullptr, &st));
    EXPECT_EQ(img.bytes.size() / 512, st.u64SectorsSwept);

    for (size_t i = 0; i < img.files.size(); ++i) {
        const Placed& f = img.files[i];
        SCOPED_TRACE(f.kind);
        auto it = c.bySector.find(f.sector);
        ASSERT_NE(it, c.bySector.end()) << "nothing carved at " << f.sector;
        const _FILE_NODE_& n = it->second;
        EXPECT_EQ(std::to_string(f.sector) + "." + f.ext, n.szFileName);
        EXPECT_EQ(4u, n.nEngineType);
        EXPECT_EQ(0xFFFFFFFFu, n.nBytesPerCluster);
        if (f.exact) {
            EXPECT_EQ(f.data.size(), n.u64FileSize);
            Bytes back = Saved(e, n, dir / (std::to_string(i) + "." + f.ext));
            EXPECT_EQ(testkit::Sha256(f.data), testkit::Sha256(back));
        } else {
            const u64 next = i + 1 < img.files.size() ? img.files[i + 1].sector : img.bytes.size() / 512;
            EXPECT_GE(n.u64FileSize, f.data.size());
            EXPECT_LE(n.u64FileSize, (next - f.sector) * 512);
        }
    }
    // The result store lists every carved file at the top level.
    std::vector<_FILE_NODE_> kids;
    ASSERT_EQ(0, e.GetChildrenFileNode(nullptr, 0, kids));
    EXPECT_EQ(c.bySector.size(), e.GetLostFileCount());
    unsigned count = 0;
    EXPECT_EQ(0, e.GetChildrenFileCount(nullptr, 0, count));
    EXPECT_EQ(c.bySector.size(), count);
    std::vector<__SEARCH_FILE_INFO__> jpgs;
    std::wstring pat = L"*.jpg|";
    EXPECT_EQ(0, e.SearchFileNode(pat.data(), jpgs));
    size_t wantJpg = 0;
    for (auto& [s, n] : c.bySector) wantJpg += std::string(n.szFileName).ends_with(".jpg");
    EXPECT_EQ(wantJpg, jpgs.size());
    for (const _FILE_NODE_& k : kids) {
        ASSERT_EQ(1u, c.bySector.count(k.u64RecordSector));
        EXPECT_EQ(c.bySector[k.u64RecordSector].u64FileSize, k.u64FileSize);
        EXPECT_GE(k.nFileIndex, 1u);
    }
    EXPECT_EQ(kids.size(), c.bySector.size());
    // Files measured from their content are stepped over: nothing is carved
    // from inside them.
    for (const Placed& f : img.files) {
        if (f.ext == "wav" || f.ext == "avi" || f.ext == "bmp" || f.ext == "cab" || f.ext == "ttf" ||
            f.ext == "ico" || f.ext == "doc" || f.ext == "xls" || f.ext == "ppt")
            continue;
        const u64 end = f.sector + (f.data.size() + 511) / 512;
        for (auto& [s, n] : c.bySector)
            EXPECT_FALSE(s > f.sector && s < end) << n.szFileName << " inside " << f.kind;
    }
}

// A JPEG at the last sector of the first 64 KiB window, then a bitmap and a
// PDF: skip counts, the sweep carried past the window, saving and previews.
TEST(Carving, SkipsSavesAndPreviews) {
    DataDir data;
    Image img;
    img.Zeros(127);
    ASSERT_TRUE(img.Add("jpg", "jpg", true, 0));
    ASSERT_TRUE(img.Add("bmp", "bmp", true, 4));
    ASSERT_TRUE(img.Add("pdf", "pdf", true, 2));
    testkit::TempDir dir("small");
    const std::string path = dir / "img.raw";
    testkit::WriteFile(path, img.bytes);
    const Placed &jpgFile = img.files[0], &bmpFile = img.files[1], &pdfFile = img.files[2];

    // Measured files are stepped over whole; header-measured ones sector by sector.
    CDiskReader reader;
    ASSERT_EQ(0, reader.Init(path.c_str(), img.bytes.size() / 512));
    CFileTypeRecovery probe;
    u64 skip = 0, count = 5;
    auto parse = [&](u64 sector) {
        return probe.ParseFileBuf(img.bytes.data() + sector * 512, 512, sector, 0, 100, -1, &reader, 512, skip, count);
    };
    ASSERT_EQ(0, parse(jpgFile.sector));
    EXPECT_EQ((jpgFile.data.size() + 511) / 512, skip);
    ASSERT_EQ(0, parse(bmpFile.sector));
    EXPECT_EQ(1u, skip);
    EXPECT_EQ(7u, count);
    skip = 99;
    EXPECT_EQ(87, parse(bmpFile.sector - 1));  // filler: nothing changes
    EXPECT_EQ(99u, skip);
    EXPECT_EQ(7u, count);

    CFileTypeRecovery e;
    Carved c;
    ASSERT_EQ(0, Carve(e, path, c));
    EXPECT_EQ(3u, c.bySector.size());
    ASSERT_EQ(1u, c.bySector.count(127));
    EXPECT_EQ(jpgFile.data.size(), c.bySector[127].u64FileSize);
    // Never over an existing file; a node cut to 1000 bytes gives 1000 bytes.
    const std::string target = dir / "keep.png";
    testkit::WriteFile(target, "mine", 4);
    _FILE_NODE_ n = c.bySector[127];
    std::wstring w = Utf8ToWide(target);
    EXPECT_EQ(EEXIST, e.SaveFileData(&n, w.data(), 0));
    EXPECT_EQ(4u, testkit::ReadFile(target).size());
    n.u64FileSize = 1000;
    EXPECT_EQ(Bytes(jpgFile.data.begin(), jpgFile.data.begin() + 1000), Saved(e, n, dir / "cut.jpg"));
    EXPECT_EQ(87, e.SaveFileData(nullptr, w.data(), 0));
    // Pictures preview into a temporary file, other files into the buffer.
    wchar_t tmp[512] = {0};
    int len = 0;
    ASSERT_EQ(0, e.PreView(&c.bySector[127], tmp, nullptr, len, nullptr, nullptr));
    EXPECT_EQ(GetScanLogDir() + "tmp.jpg", WideToUtf8(tmp));
    EXPECT_EQ(jpgFile.data, testkit::ReadFile(WideToUtf8(tmp)));
    Bytes buf(300);
    len = 300;
    wchar_t none[512] = {0};
    ASSERT_EQ(0, e.PreView(&c.bySector[pdfFile.sector], none, buf.data(), len, nullptr, nullptr));
    EXPECT_EQ(300, len);
    EXPECT_EQ(Bytes(pdfFile.data.begin(), pdfFile.data.begin() + 300), buf);
    EXPECT_EQ(0, none[0]);
    std::vector<_FILE_NODE_> kids;
    EXPECT_EQ(0, e.GetChildrenFileNode(&n, 0, kids));
    EXPECT_TRUE(kids.empty());
}

// A bitmap header claiming 100 MiB near the end of a small image, one
// claiming 0 bytes, and a cabinet claiming more than the volume.
TEST(Carving, UntrustedHeaderSizes) {
    Bytes img(64 * 512, 0);
    auto bmp = [&](size_t sector, uint32_t size) {
        unsigned char* p = img.data() + sector * 512;
        p[0] = 'B';
        p[1] = 'M';
        std::memcpy(p + 2, &size, 4);
        p[14] = 40;
    };
    bmp(10, 100u << 20);
    bmp(20, 0);
    std::memcpy(img.data() + 30 * 512, "MSCF", 4);
    const uint32_t big = 0x30000000;
    std::memcpy(img.data() + 30 * 512 + 8, &big, 4);
    testkit::TempDir dir("hdr");
    testkit::WriteFile(dir / "img.raw", img);
    DataDir data;
    CFileTypeRecovery e;
    Carved c;
    ASSERT_EQ(0, Carve(e, dir / "img.raw", c));
    EXPECT_EQ((64u - 10) * 512, c.bySector.at(10).u64FileSize);
    EXPECT_EQ(0u, c.bySector.count(20));
    EXPECT_EQ((64u - 30) * 512, c.bySector.at(30).u64FileSize);
    EXPECT_EQ((64u - 30) * 512, Saved(e, c.bySector[30], dir / "big.cab").size());
    // A node claiming more than the device holds: a short file, no loop.
    _FILE_NODE_ n = c.bySector[30];
    n.u64FileSize = 1ULL << 40;
    std::wstring w = Utf8ToWide(dir / "short.cab");
    EXPECT_EQ(FR_SHORT_READ, e.SaveFileData(&n, w.data(), 0));
    EXPECT_EQ((64u - 30) * 512, testkit::ReadFile(dir / "short.cab").size());
}

struct StopProbe {
    int calls = 0;
    int stopAt = 3;
    bool sawCompleteEarly = false;
    int last = 0;
    static int Cb(void* p, int prog, int pct, int, u64, u64, u64, wchar_t*) {
        auto* s = static_cast<StopProbe*>(p);
        ++s->calls;
        if (IsScanComplete(prog, pct) && !(prog == 100 && pct == 100)) s->sawCompleteEarly = true;
        s->last = prog;
        return s->stopAt && s->calls >= s->stopAt ? FR_RECOVERY_CANCELLED : 0;
    }
};

// A JPEG without an end marker followed by 8 MiB of zeros: its walk reads
// window after window until the user stops it; it never reports completion.
TEST(Carving, StoppingDuringALongWalkAndCancelling) {
    Bytes jpg = carvekit::SampleBytes("jpg");
    FR_REQUIRE(jpg.size() > 2048, "no JPEG sample");
    Bytes img(8 << 20, 0);
    std::copy_n(jpg.begin(), 1024, img.begin() + 4 * 512);
    testkit::TempDir dir("stop");
    const std::string path = dir / "img.raw";
    testkit::WriteFile(path, img);
    DataDir data;
    CFileTypeRecovery e;
    Carved c;
    StopProbe probe;
    EXPECT_EQ(FR_RECOVERY_CANCELLED, Carve(e, path, c, &StopProbe::Cb, &probe));
    EXPECT_EQ(3, probe.calls);  // the third report, inside the walk, stopped it
    EXPECT_TRUE(c.bySector.empty());
    EXPECT_FALSE(probe.sawCompleteEarly);
    CFileTypeRecovery e2;
    Carved c2;
    StopProbe quiet;
    quiet.stopAt = 0;
    ASSERT_EQ(0, Carve(e2, path, c2, &StopProbe::Cb, &quiet));
    EXPECT_FALSE(quiet.sawCompleteEarly);
    EXPECT_EQ(100, quiet.last);
    EXPECT_EQ(img.size() - 4 * 512, c2.bySector.at(4).u64FileSize);
    // A set cancel flag stops the sweep before its first window.
    CFileTypeRecovery e3;
    Carved c3;
    std::atomic<bool> cancel{true};
    CarveStats st;
    EXPECT_EQ(FR_RECOVERY_CANCELLED, Carve(e3, path, c3, nullptr, nullptr, &cancel, &st));
    EXPECT_EQ(0u, st.u64SectorsSwept);
}

TEST(Carving, DeletedFilesOnARealFatVolume) {
    // Carving alone over a FAT16 volume whose files were deleted: the
    // pictures and documents are found at their data clusters, whole.
    FR_REQUIRE(testkit::HaveTool("mkfs.vfat") && testkit::HaveTool("mcopy"), "mtools and dosfstools are needed");
    testkit::TempDir dir("fatcarve");
    const std::string path = dir / "fat.img";
    testkit::FatImage fat = testkit::FatImage::Create(path, 16, 8192, 1);
    const char* kinds[][2] = {{"jpg", "jpg"}, {"png", "png"}, {"pdf", "pdf"}, {"docx", "docx"}, {"doc", "doc"}, {"mp3", "mp3"}};
    std::map<std::string, Bytes> want;
    fat.Mkdir("DCIM");
    for (auto& k : kinds) {
        Bytes b = carvekit::SampleBytes(k[0]);
        if (b.empty()) continue;
        want[k[1]] = b;
        fat.PutBytes(b, std::string("DCIM/F") + k[1] + "." + k[1]);
    }
    FR_REQUIRE(want.size() >= 4, "too few samples");
    for (auto& [ext, b] : want) fat.Delete("DCIM/F" + ext + "." + ext);
    DataDir data;
    CFileTypeRecovery e;
    Carved c;
    ASSERT_EQ(0, Carve(e, path, c));
    std::map<std::string, int> found;
    for (auto& [sector, n] : c.bySector) {
        std::string name = n.szFileName;
        std::string ext = name.substr(name.find('.') + 1);
        auto it = want.find(ext);
        if (it == want.end() || n.u64FileSize != it->second.size()) continue;
        Bytes back = Saved(e, n, dir / ("out." + std::to_string(sector) + "." + ext));
        if (back == it->second) ++found[ext];
    }
    for (auto& [ext, b] : want) EXPECT_EQ(1, found[ext]) << ext;
}

// Hostile compound and ASF headers: refused or kept inside what was read.
TEST(LengthRules, HostileHeadersAreBounded) {
    CFileTypeJudge j;
    Bytes doc = carvekit::MakeCompoundFile("doc", 4);
    Bytes odd = doc;  // sector shift 10: not a compound file
    odd[30] = 10;
    Bytes many = doc;  // no DIFAT sectors but more FAT sectors than the header's 109
    const uint32_t f = 200;
    std::memcpy(many.data() + 44, &f, 4);
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, odd.data(), 512));
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, many.data(), 512));
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, doc.data(), 100));
    // The ASF properties object too close to the sector end to hold its size.
    Bytes late(512, 0);
    const unsigned char head[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    const unsigned char props[12] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0};
    std::memcpy(late.data(), head, 16);
    std::memcpy(late.data() + 500, props, 12);
    EXPECT_EQ(512u, GetASFFileBytesSize(j, late.data(), 512));
}

}  // namespace
