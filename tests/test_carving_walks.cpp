// Structure walks of the carver: real files made at test time measured to
// the byte, hand-built truncated and hostile structures that fall back
// without reading outside the image, the carver's saving path, and the
// byte-exact recall over an image where random bytes follow every file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "carving/CarveDriver.h"
#include "carving/FileLengthRules.h"
#include "carving/StructureWalks.h"
#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Put(Bytes& v, size_t at, unsigned x, int n, bool be = false) {
    if (v.size() < at + n) v.resize(at + n, 0);
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<unsigned char>(x >> (8 * (be ? n - 1 - i : i)));
}

Bytes Run(const std::string& cmd, const std::string& out) {
    return testkit::Sh(cmd) == 0 ? testkit::ReadFile(out) : Bytes{};
}

// A JPEG whose Exif block holds a complete JPEG thumbnail (with its own
// end marker) before the main image.
Bytes ThumbJpeg(const testkit::TempDir& d) {
    Bytes main = carvekit::SampleBytes("jpg");
    Bytes thumb = Run("convert " + testkit::Quote(testkit::Sample("jpg")) + " -resize 64x36 jpg:" + testkit::Quote(d / "t.jpg"),
                      d / "t.jpg");
    if (main.size() < 20 || thumb.empty() || main[3] != 0xE0) return {};
    // Exif: TIFF header, IFD0 with one entry, IFD1 pointing at the thumbnail.
    Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    Put(tiff, 8, 1, 2);
    Put(tiff, 10, 274, 2), Put(tiff, 12, 3, 2), Put(tiff, 14, 1, 4), Put(tiff, 18, 1, 2);
    Put(tiff, 22, 26, 4);  // IFD1
    Put(tiff, 26, 2, 2);
    Put(tiff, 28, 513, 2), Put(tiff, 30, 4, 2), Put(tiff, 32, 1, 4), Put(tiff, 36, 56, 4);
    Put(tiff, 40, 514, 2), Put(tiff, 42, 4, 2), Put(tiff, 44, 1, 4), Put(tiff, 48, static_cast<unsigned>(thumb.size()), 4);
    Put(tiff, 52, 0, 4);
    tiff.insert(tiff.end(), thumb.begin(), thumb.end());
    Bytes app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    Put(app1, 2, static_cast<unsigned>(app1.size() - 2), 2, true);
    Bytes out = {0xFF, 0xD8};
    out.insert(out.end(), app1.begin(), app1.end());
    out.insert(out.end(), main.begin() + 4 + (main[4] << 8 | main[5]), main.end());
    return out;
}

// A TIFF-family camera file: IFD0 (Make, a strip, the Exif IFD), IFD1 with a
// JPEG thumbnail; the strip or the thumbnail ends the file.
Bytes RawFile(const std::string& kind) {
    Bytes v;
    auto put = [&](size_t at, unsigned x, int n) { Put(v, at, x, n); };
    if (kind == "orf") v = {'I', 'I', 'R', 'O'};
    else if (kind == "rw2") v = {'I', 'I', 'U', 0};
    else v = {'I', 'I', 42, 0};
    put(4, 16, 4);
    if (kind == "cr2") v.insert(v.end(), {'C', 'R', 2, 0});
    const char* make = kind == "nef" ? "NIKON CORPORATION" : kind == "arw" ? "SONY" : "Camera Maker";
    const bool dng = kind == "dng";
    const unsigned n0 = dng ? 5 : 4, ifd1 = 16 + 2 + 12 * n0 + 4, makeAt = ifd1 + 2 + 24 + 4, exifAt = makeAt + 32;
    const unsigned thumbAt = exifAt + 2 + 12 + 4 + 8, stripAt = thumbAt + 700;
    const unsigned stripLen = 9000;
    auto entry = [&](unsigned at, unsigned tag, unsigned type, unsigned count, unsigned value) {
        put(at, tag, 2), put(at + 2, type, 2), put(at + 4, count, 4), put(at + 8, value, type == 3 && count == 1 ? 2 : 4);
    };
    put(16, n0, 2);
    entry(18, 271, 2, static_cast<unsigned>(std::strlen(make) + 1), makeAt);
    entry(30, 273, 4, 1, stripAt);
    entry(42, 279, 4, 1, stripLen);
    entry(54, 34665, 4, 1, exifAt);
    if (dng) entry(66, 50706, 1, 4, 0x00000401);
    put(16 + 2 + 12 * n0, ifd1, 4);
    put(ifd1, 2, 2);
    entry(ifd1 + 2, 513, 4, 1, thumbAt);
    entry(ifd1 + 14, 514, 4, 1, 700);
    put(ifd1 + 26, 0, 4);
    v.resize(exifAt, 0);
    std::memcpy(v.data() + makeAt, make, std::strlen(make) + 1);
    put(exifAt, 1, 2);
    entry(exifAt + 2, 33434, 5, 1, exifAt + 18);  // exposure time, a rational
    put(exifAt + 14, 0, 4);
    put(exifAt + 18, 1, 4), put(exifAt + 22, 250, 4);
    Bytes body = testkit::RandomBytes(700 + stripLen, 4242);
    body[0] = 0xFF, body[1] = 0xD8, body[698] = 0xFF, body[699] = 0xD9;
    v.resize(thumbAt);
    v.insert(v.end(), body.begin(), body.end());
    v.resize(std::max<size_t>(v.size(), stripAt + stripLen));
    return v;
}

// A compound file with 4096-byte sectors: the header sector, a Word stream
// of k sectors, the FAT, the directory.
Bytes CompoundV4(int k) {
    const size_t CS = 4096;
    Bytes v(CS * (3 + k), 0);
    const unsigned char sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(v.data(), sig, 8);
    Put(v, 24, 0x3E, 2), Put(v, 26, 4, 2), Put(v, 28, 0xFFFE, 2), Put(v, 30, 12, 2), Put(v, 32, 6, 2);
    Put(v, 40, 1, 4), Put(v, 44, 1, 4), Put(v, 48, k + 1, 4), Put(v, 56, 4096, 4);
    Put(v, 60, 0xFFFFFFFE, 4), Put(v, 68, 0xFFFFFFFE, 4);
    for (int i = 0; i < 109; ++i) Put(v, 76 + 4 * i, i ? 0xFFFFFFFF : k, 4);
    Bytes data = testkit::RandomBytes(CS * k, 99);
    std::memcpy(v.data() + CS, data.data(), data.size());
    Put(v, CS, 0xA5EC, 2);
    const size_t fat = CS * (1 + k), dir = CS * (2 + k);
    for (int i = 0; i < 1024; ++i) Put(v, fat + 4 * i, 0xFFFFFFFF, 4);
    for (int i = 0; i < k; ++i) Put(v, fat + 4 * i, i + 1 < k ? i + 1 : 0xFFFFFFFE, 4);
    Put(v, fat + 4 * k, 0xFFFFFFFD, 4), Put(v, fat + 4 * (k + 1), 0xFFFFFFFE, 4);
    auto name = [&](size_t at, const char* n) {
        for (size_t i = 0; n[i]; ++i) Put(v, at + 2 * i, static_cast<unsigned char>(n[i]), 2);
        Put(v, at + 64, static_cast<unsigned>(2 * (std::strlen(n) + 1)), 2);
    };
    name(dir, "Root Entry");
    v[dir + 66] = 5;
    Put(v, dir + 76, 1, 4), Put(v, dir + 116, 0xFFFFFFFE, 4);
    name(dir + 128, "WordDocument");
    v[dir + 128 + 66] = 2;
    Put(v, dir + 128 + 116, 0, 4), Put(v, dir + 128 + 120, static_cast<unsigned>(CS * k), 4);
    return v;
}

// Samples of this file (made once), else those of the shared toolkit.
Bytes Sample(const std::string& kind) {
    static std::map<std::string, Bytes> cache;
    if (auto it = cache.find(kind); it != cache.end()) return it->second;
    testkit::TempDir d("walks");
    const std::string o = d / "out", q = testkit::Quote(o);
    const std::string wav = "sox " + testkit::Quote(testkit::Sample("wav")) + " -t wav - | ";
    Bytes v;
    if (kind == "thumb.jpg") v = ThumbJpeg(d);
    else if (kind == "psd") v = Run("convert " + testkit::Quote(testkit::Sample("png")) + " psd:" + q, o);
    else if (kind == "plain.mp3") v = Run(wav + "lame --quiet --id3v2-only --tt Plain - " + q, o);
    else if (kind == "lin.pdf") {
        // Two photographs on two pages, saved for fast web view: larger
        // than one 64 KiB window, with an end marker after the first page.
        const std::string lib = testkit::Capture("ls -d /usr/share/ghostscript/*/lib | head -1");
        const std::string a = d / "a.jpg", b = d / "b.jpg", big = testkit::Quote(testkit::Sample("big.jpg"));
        v = Run("convert " + big + " -quality 95 " + testkit::Quote(a) + " && convert " + big + " -flop -quality 95 " +
                    testkit::Quote(b) + " && gs -q -dNOPAUSE -dBATCH -dFastWebView=true --permit-file-read=" +
                    testkit::Quote(d.path() + "/") + " -sDEVICE=pdfwrite -sOutputFile=" + q + " " +
                    lib.substr(0, lib.find('\n')) + "/viewjpeg.ps -c '(" + a + ") viewJPEG showpage (" + b +
                    ") viewJPEG showpage' >/dev/null",
                o);
    } else if (kind == "comment.zip")
        v = Run("cd " + testkit::Quote(d.path()) + " && zip -q -X out /usr/share/common-licenses/GPL-3 && "
                "echo 'a comment of the archive' | zip -q -z out && mv out.zip out", o);
    else if (kind == "unstated.pdf") {
        // The same without the stated length: the last end marker ends it.
        v = Sample("lin.pdf");
        for (size_t p = 0; p + 3 < std::min<size_t>(v.size(), 1024); ++p)
            if (v[p] == '/' && v[p + 1] == 'L' && v[p + 2] == ' ') v[p + 1] = 'X';
    } else if (kind == "v4.doc") v = CompoundV4(5);
    else if (kind == "wmv" || kind == "rm" || kind == "mxf" || kind == "3gp") {
        const char* codec = kind == "wmv" ? "wmv2" : kind == "rm" ? "rv10" : kind == "3gp" ? "h263" : "mpeg2video";
        v = Run("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=176x144:rate=25 -t 0.5 -an -c:v " + std::string(codec) +
                    " -f " + (kind == "wmv" ? "asf" : kind) + " " + q,
                o);
    } else if (kind == "wma" || kind == "mmf")
        v = Run("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 " +
                    std::string(kind == "wma" ? "-c:a wmav2 -f asf " : "-ar 8000 -c:a adpcm_yamaha -f mmf ") + q,
                o);
    else if (kind.ends_with(".raw")) v = RawFile(kind.substr(0, kind.size() - 4));
    else v = carvekit::SampleBytes(kind);
    return cache[kind] = v;
}

// An image file for single rules: the bytes, then room.
struct Image {
    testkit::TempDir dir{"walk"};
    CDiskReader reader;
    CFileTypeJudge judge;
    Bytes img;
    explicit Image(Bytes b, size_t room = 4096, size_t S = 512) : img(std::move(b)) {
        img.resize((img.size() + room + S - 1) / S * S, 0);
        testkit::WriteFile(dir / "i.raw", img);
        EXPECT_EQ(0, reader.Init((dir / "i.raw").c_str(), img.size() / S));
        judge.m_pDiskReader = &reader;
    }
    // The whole rule as the carver runs it, with sectors of S bytes: name
    // and length.
    std::string Carve(unsigned long long& size, int S = 512) {
        char name[64] = {0};
        EXTEND_NAME_TYPE t = FT_NONE;
        size = 0;
        judge.ParseFileBuf(img.data(), S, 0, 0, img.size() / S, -1, 0, &reader, S, name, t, size);
        return name;
    }
};

// Real files with bytes after their end that are not zeros: each rule
// measures them exactly and names them after their kind.
TEST(StructureWalks, RealFilesMeasuredExactly) {
    const struct {
        const char* kind;
        const char* name;
    } cases[] = {
        {"jpg", "0.jpg"},         {"thumb.jpg", "0.jpg"},   {"png", "0.png"},           {"gif", "0.gif"},
        {"tif", "0.tif"},         {"psd", "0.psd"},         {"mp3", "0.mp3"},           {"plain.mp3", "0.mp3"},
        {"lin.pdf", "0.pdf"},     {"unstated.pdf", "0.pdf"}, {"comment.zip", "0.zip"}, {"v4.doc", "0.doc"},        {"cr2.raw", "0.cr2"},
        {"nef.raw", "0.nef"},     {"arw.raw", "0.arw"},     {"dng.raw", "0.dng"},       {"orf.raw", "0.orf"},
        {"rw2.raw", "0.rw2"},     {"tif.raw", "0.tif"},     {"flv", "0.flv"},           {"sqlite", "0.db"},
        {"mpg", "0.mpeg"},        {"mxf", "0.mxf"},         {"mmf", "0.mmf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        Bytes file = Sample(c.kind);
        if (file.empty()) {
            ADD_FAILURE() << "sample could not be made";
            continue;
        }
        Bytes b = file;
        Bytes junk = testkit::RandomBytes(70000, 7);
        b.insert(b.end(), junk.begin(), junk.end());
        for (int S : {512, 4096}) {
            Image im(b, 4096, S);
            unsigned long long size = 0;
            EXPECT_EQ(c.name, im.Carve(size, S)) << S;
            EXPECT_EQ(file.size(), size) << S;
        }
    }
}

TEST(StructureWalks, Mp3WithTagBytesInItsAudio) {
    // "TAG" inside a frame of an MP3 without an ID3v1 tag is not its end.
    Bytes mp3 = Sample("plain.mp3");
    FR_REQUIRE(mp3.size() > 4000, "no MP3 sample");
    std::memcpy(mp3.data() + mp3.size() / 2, "TAG", 3);
    Bytes b = mp3;
    b.resize(b.size() + 300, 0);
    Image im(b);
    unsigned long long size = 0;
    im.Carve(size);
    EXPECT_EQ(mp3.size(), size);
}

// Truncated and hostile structures: the walk answers 0 (the row's rule then
// falls back) and never reads outside the image.
TEST(StructureWalks, BrokenStructuresFallBack) {
    auto cut = [](Bytes b, size_t n) { return b.resize(std::min(n, b.size())), b; };
    Bytes png = Sample("png"), jpg = Sample("jpg"), gif = Sample("gif"), mp3 = Sample("plain.mp3"), tif = Sample("tif");
    FR_REQUIRE(!png.empty() && !jpg.empty() && !gif.empty() && !mp3.empty() && !tif.empty(), "samples missing");
    Bytes pngHuge = png;
    Put(pngHuge, 33, 0x7FFFFFF0, 4, true);  // the chunk after IHDR claims 2 GiB
    Bytes pngCrc = png;
    pngCrc[29] ^= 1;  // IHDR's CRC no longer matches
    Bytes jpgBad = jpg;
    Put(jpgBad, 4, 0xFFFF, 2, true);  // APP0 runs past the image
    Bytes mp3Stop = mp3;
    const size_t tag = 10 + ((mp3[6] & 0x7F) << 21 | (mp3[7] & 0x7F) << 14 | (mp3[8] & 0x7F) << 7 | (mp3[9] & 0x7F));
    std::memset(mp3Stop.data() + tag, 0x11, 8);  // no frame after the tag
    Bytes tifLoop = tif;
    Put(tifLoop, 4, 0x7FFFFFF0, 4, tif[0] == 'M');  // first IFD beyond the volume
    Bytes gifBad = gif;
    gifBad[13 + ((gif[10] & 0x80) ? 3 << ((gif[10] & 7) + 1) : 0)] = 0x55;  // not a block
    Bytes jpgZeroed = cut(jpg, 1024);  // its data zeroed for 3 MiB, then an end marker
    jpgZeroed.resize(jpgZeroed.size() + 0x300000, 0);
    jpgZeroed.insert(jpgZeroed.end(), {0xFF, 0xD9});
    Bytes mxfHuge = Sample("mxf");
    FR_REQUIRE(mxfHuge.size() > 100, "no MXF sample");
    Put(mxfHuge, 16, 0x847FFFFF, 4, true);  // a 4-byte BER length of about 2 GiB
    const struct {
        const char* what;
        Bytes bytes;
        unsigned long long (*walk)(CFileTypeJudge&, const unsigned char*, int);
    } cases[] = {
        {"png cut", cut(png, png.size() - 20), WalkPng},     {"png chunk past the volume", pngHuge, WalkPng},
        {"png bad CRC", pngCrc, WalkPng},                     {"jpeg cut", cut(jpg, jpg.size() - 2), WalkJpeg},
        {"jpeg segment past the volume", jpgBad, WalkJpeg},   {"jpeg data zeroed", jpgZeroed, WalkJpeg},   {"gif cut", cut(gif, gif.size() - 1), WalkGif},
        {"gif unknown block", gifBad, WalkGif},               {"mp3 frame chain stops", mp3Stop, WalkMp3},
        {"tiff IFD past the volume", tifLoop, WalkTiff},      {"psd cut", cut(Sample("psd"), 3000), WalkPsd},
        {"flv cut in its first tag", cut(Sample("flv"), 100), WalkFlv},
        {"sqlite pages past the volume", cut(Sample("sqlite"), 4096), WalkSqlite},
        {"mxf length past the volume", mxfHuge, WalkMxf},  {"mpeg cut in its first pack", cut(Sample("mpg"), 20), WalkMpegPs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Image im(c.bytes, 0);  // zeros up to the sector end, then the volume ends
        EXPECT_EQ(0u, c.walk(im.judge, im.img.data(), 512));
        unsigned long long size = 0;
        im.Carve(size);  // the fallback stays within the volume
        EXPECT_LE(size, im.img.size());
    }
}

TEST(StructureWalks, HostileTiffDirectories) {
    // Directories that point at each other, and a strip that claims more
    // than the walk may cover.
    Bytes loop = {'I', 'I', 42, 0, 8, 0, 0, 0};
    Put(loop, 8, 1, 2), Put(loop, 10, 256, 2), Put(loop, 12, 3, 2), Put(loop, 14, 1, 4), Put(loop, 22, 8, 4);
    Image a(loop);
    EXPECT_EQ(0u, WalkTiff(a.judge, a.img.data(), 512));  // no image data anywhere
    Bytes big = RawFile("tif");
    Put(big, 42 + 8, 0xF0000000u, 4);  // strip byte count
    Image b(big);
    EXPECT_EQ(0u, WalkTiff(b.judge, b.img.data(), 512));
}

TEST(StructureWalks, LongZeroRunEndsAVideoWalk) {
    // An FLV head, a sector of data, 1.5 MiB of zeros, then random bytes.
    Bytes b = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9};
    Bytes data = testkit::RandomBytes(1024 - b.size(), 3);
    b.insert(b.end(), data.begin(), data.end());
    b.resize(b.size() + 0x180000, 0);
    Bytes tail = testkit::RandomBytes(64 * 512, 5);
    b.insert(b.end(), tail.begin(), tail.end());
    Image im(b);
    unsigned long long size = 0;
    EXPECT_EQ("0.flv", im.Carve(size));
    EXPECT_EQ(1024u, size);
}

TEST(StructureWalks, RawExtensionsArePhotos) {
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r) {
        const auto& row = CFileTypeJudge::szExtendNameAndType[r];
        if (row.pfnLength != GetTIFFFileBytesSize) continue;
        const std::string name = std::string("1.") + row.szExtendName;
        EXPECT_EQ(CATEGORY_PHOTO, GetFileCategory(name.c_str())) << name;
        EXPECT_TRUE(IsPictureFileName(name.c_str())) << name;
    }
}

// A carving engine on an image file, with its logs in a private data folder.
struct Carver {
    testkit::TempDir dir{"carver"};
    CFileTypeRecovery engine;
    explicit Carver(const std::string& image) {
        setenv("FOTORETTA_DATA_DIR", (dir / "data").c_str(), 1);
        ResetDataDirCache();
        CLogFileManager::ResetInstance();
        std::wstring w = Utf8ToWide(image);
        EXPECT_EQ(0, engine.Init(w.data(), L'C'));
    }
    ~Carver() {
        unsetenv("FOTORETTA_DATA_DIR");
        ResetDataDirCache();
        CLogFileManager::ResetInstance();
    }
};

// A node of a file carved at sector 0.
_FILE_NODE_ NodeAt0(const char* name, u64 size) {
    _FILE_NODE_ n{};
    n.u64FileSize = size;
    std::snprintf(n.szFileName, sizeof n.szFileName, "%s", name);
    return n;
}

// --- Saving ----------------------------------------------------------------

TEST(CarvedFiles, LongDestinationsSaveWholeOrFail) {
    testkit::TempDir dir("longpath");
    Bytes png = Sample("png");
    FR_REQUIRE(!png.empty(), "no PNG sample");
    Image im(png);
    Carver c(im.dir / "i.raw");
    CFileTypeRecovery& e = c.engine;
    _FILE_NODE_ n = NodeAt0("0.png", png.size());
    // Destinations of 500 and 516 characters, and one beyond what a path
    // may hold.
    for (size_t want : {500u, 516u, 5000u}) {
        SCOPED_TRACE(want);
        std::string dest = dir / "d";
        while (dest.size() < want) dest += "/" + std::string(std::min<size_t>(200, want - dest.size() + 1), 'x');
        dest.resize(want);
        if (dest.back() == '/') dest.back() = 'y';
        testkit::Sh("mkdir -p " + testkit::Quote(dest + "/photo") + " 2>/dev/null");
        const std::string target = dest + "/photo/1744.png";
        std::wstring w = Utf8ToWide(target);
        const int r = e.SaveFileData(&n, w.data(), 0);
        if (want < 4000) {
            EXPECT_EQ(0, r);
            EXPECT_EQ(png, testkit::ReadFile(target));
        } else {
            EXPECT_NE(0, r);
        }
        // Nothing lands anywhere else.
        EXPECT_EQ("", testkit::Capture("find " + testkit::Quote(dir.path()) + " -type f ! -path " + testkit::Quote(target)));
        testkit::Sh("rm -f " + testkit::Quote(target) + " 2>/dev/null");
    }
}

TEST(CarvedFiles, PreviewNeverWritesThroughALink) {
    testkit::TempDir dir("prevlink");
    Bytes png = Sample("png");
    FR_REQUIRE(!png.empty(), "no PNG sample");
    Image im(png);
    Carver c(im.dir / "i.raw");
    // Someone left a link where the preview goes, pointing at their file.
    const std::string victim = dir / "victim";
    testkit::WriteFile(victim, "keep", 4);
    testkit::Sh("mkdir -p " + testkit::Quote(GetScanLogDir()) + " && ln -sf " + testkit::Quote(victim) + " " +
                testkit::Quote(GetScanLogDir() + "tmp.png"));
    _FILE_NODE_ n = NodeAt0("0.png", png.size());
    wchar_t tmp[512] = {0};
    int len = 0;
    EXPECT_EQ(0, c.engine.PreView(&n, tmp, nullptr, len, nullptr, nullptr));
    EXPECT_EQ(Bytes({'k', 'e', 'e', 'p'}), testkit::ReadFile(victim));
    EXPECT_EQ(png, testkit::ReadFile(WideToUtf8(tmp)));
}

// --- Recall ----------------------------------------------------------------

// One file of every format the carver knows, as Sample() makes it, and the
// extension it must be carved with. Add a format with one line.
const struct {
    const char* kind;
    const char* ext;
} kRecallFormats[] = {
    {"jpg", "jpg"},       {"exif.jpg", "jpg"},   {"thumb.jpg", "jpg"},    {"png", "png"},       {"gif", "gif"},
    {"bmp", "bmp"},       {"tif", "tif"},        {"psd", "psd"},          {"ico", "ico"},       {"cr2.raw", "cr2"},
    {"nef.raw", "nef"},   {"arw.raw", "arw"},    {"dng.raw", "dng"},      {"orf.raw", "orf"},   {"rw2.raw", "rw2"},
    {"mp3", "mp3"},       {"plain.mp3", "mp3"},  {"wav", "wav"},          {"mid", "mid"},       {"avi", "avi"},
    {"mp4", "mp4"},       {"mov", "mov"},        {"mkv", "mkv"},          {"flv", "flv"},       {"mpg", "mpeg"},
    {"ts", "ts"},         {"pdf", "pdf"},        {"lin.pdf", "pdf"},      {"zip", "zip"},       {"comment.zip", "zip"},
    {"docx", "docx"},     {"xlsx", "xlsx"},      {"pptx", "pptx"},        {"doc", "doc"},       {"xls", "xls"},
    {"ppt", "ppt"},       {"v4.doc", "doc"},     {"7z", "7z"},            {"gz9", "gz"},        {"cab", "cab"},
    {"sqlite", "db"},     {"font.ttf", "ttf"},     {"wmv", "wmv"},          {"wma", "wmv"},       {"rm", "rmvb"},
    {"mxf", "mxf"},        {"mmf", "mmf"},          {"3gp", "3gp"},
    {"heic", "heic"},     {"avif", "avif"},      {"cr3", "cr3"},          {"webp", "webp"},     {"m4a", "m4a"},
    {"aiff", "aiff"},     {"ogg", "ogg"},        {"oggflac", "ogg"},      {"opus", "opus"},     {"flac", "flac"},
    {"webm", "webm"},     {"live.webm", "webm"},
};

TEST(Recall, RandomBytesAfterEveryFile) {
    Bytes img(16 * 512, 0);
    struct At {
        std::string kind, ext;
        size_t sector;
        Bytes data;
    };
    std::vector<At> placed;
    uint32_t seed = 100;
    for (const auto& f : kRecallFormats) {
        Bytes d = Sample(f.kind);
        if (d.empty()) {
            ADD_FAILURE() << f.kind << " could not be made";
            continue;
        }
        placed.push_back({f.kind, f.ext, img.size() / 512, d});
        img.insert(img.end(), d.begin(), d.end());
        // Random bytes to the sector end and a few sectors more, as on
        // flash media written many times.
        Bytes junk = testkit::RandomBytes((512 - img.size() % 512) % 512 + 512 * (2 + seed % 5), seed);
        ++seed;
        img.insert(img.end(), junk.begin(), junk.end());
    }
    testkit::TempDir dir("recall");
    testkit::WriteFile(dir / "img.raw", img);
    Carver c(dir / "img.raw");
    CFileTypeRecovery& e = c.engine;
    std::map<u64, _FILE_NODE_> carved;
    e.SetNodeListener([&](const _FILE_NODE_& n) { carved[n.u64RecordSector] = n; });
    ASSERT_EQ(0, CarveImage(e, nullptr, nullptr));
    size_t exact = 0;
    std::set<u64> starts;
    std::string missed;
    for (const At& p : placed) {
        starts.insert(p.sector);
        auto it = carved.find(p.sector);
        const bool ok = it != carved.end() && it->second.u64FileSize == p.data.size() &&
                        std::string(it->second.szFileName) == std::to_string(p.sector) + "." + p.ext &&
                        Bytes(img.begin() + p.sector * 512, img.begin() + p.sector * 512 + p.data.size()) == p.data;
        exact += ok;
        if (!ok)
            missed += " " + p.kind + (it == carved.end() ? "(not found)" : "(" + std::string(it->second.szFileName) + " " +
                                                                             std::to_string(it->second.u64FileSize) + " of " +
                                                                             std::to_string(p.data.size()) + ")");
    }
    size_t junk = 0;
    for (auto& [s, n] : carved) junk += !starts.count(s);
    std::printf("byte-exact recall: %zu of %zu (%.0f %%), junk: %zu of %zu carved\nnot exact:%s\n", exact,
                placed.size(), 100.0 * exact / placed.size(), junk, carved.size(), missed.c_str());
    EXPECT_GE(exact * 100, placed.size() * 85);
    EXPECT_LE(junk * 10, carved.size());
}

}  // namespace
