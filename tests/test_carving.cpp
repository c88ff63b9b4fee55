// Carving over images built at test time. The sweep: skip counts, the sweep
// carried past a window, saving, previews and the result store, damaged and
// untrusted header sizes, stopping during a long walk and progress reports.
// Structure walks: real files made at test time recognised and measured to
// the byte; hand-built truncated and hostile structures and containers (ISO
// boxes, RIFF chunks, Ogg pages, FLAC frames, EBML elements) that fall back
// or stop without reading outside the image; signatures on hand-built
// sectors, including buffers too short for what a test reads; the byte-exact
// recall over an image where random bytes follow every file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/CarveDriver.h"
#include "carving/ArchiveWalks.h"
#include "carving/ContainerWalks.h"
#include "carving/FileLengthRules.h"
#include "carving/FileTypeRecovery.h"
#include "carving/StructureWalks.h"
#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;
using carvekit::Box;
using carvekit::Put;

Bytes Sample(const std::string& kind) { return carvekit::SampleBytes(kind); }
using WalkFn = unsigned long long (*)(CFileTypeJudge&, const unsigned char*, int);

// The sweeps write their logs into a data folder of their own.
using Carving = testkit::EngineTest;
using Recall = testkit::EngineTest;

using Carved = std::map<u64, _FILE_NODE_>;

// A sector of len bytes that starts with head, zeros after it.
Bytes Sector(std::initializer_list<unsigned char> head, size_t len = 512) {
    Bytes b(len, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

int Carve(CFileTypeRecovery& e, const std::string& path, Carved& out, ScanProgressFunc cb = nullptr,
          void* param = nullptr, const std::atomic<bool>* cancel = nullptr, CarveStats* stats = nullptr) {
    std::wstring w = Utf8ToWide(path);
    EXPECT_EQ(0, e.Init(w.data(), L'C'));
    e.SetNodeListener([&](const _FILE_NODE_& n) { out[n.u64RecordSector] = n; });
    e.InitCallBack(cb, nullptr, param, 90);
    return CarveImage(e, cb, param, cancel, stats);
}

Bytes Saved(CFileTypeRecovery& e, const _FILE_NODE_& n, const std::string& path) {
    _FILE_NODE_ copy = n;
    std::wstring w = Utf8ToWide(path);
    EXPECT_EQ(0, e.SaveFileData(&copy, w.data(), 0)) << n.szFileName;
    return testkit::ReadFile(path);
}

// A JPEG at the last sector of the first 64 KiB window, then a bitmap, a
// PDF, an MP3 with its ID3v1 tag, a WAV and two damaged files, each padded
// with zeros to its sector end: skip counts, the sweep carried past the
// window, exact lengths, saving and previews.
TEST_F(Carving, SkipsSavesAndPreviews) {
    struct Laid {
        u64 sector;
        Bytes data;
    };
    std::vector<Laid> files;
    Bytes img(127 * 512, 0);
    std::map<std::string, Bytes> made;
    // The JPEG's comment segment holds the start of a PNG at the JPEG's second
    // sector, past the window's end: the sweep must not look inside the JPEG.
    Bytes jpg = Sample("jpg"), png = Sample("png"), com = {0xFF, 0xFE};
    ASSERT_TRUE(png.size() > 300 && jpg.size() > 6);
    const size_t app0End = 4 + (jpg[4] << 8 | jpg[5]);
    com.resize(512 - app0End, 0x20);
    com.insert(com.end(), png.begin(), png.begin() + 300);
    Put(com, 2, static_cast<unsigned>(com.size() - 2), 2, true);
    jpg.insert(jpg.begin() + static_cast<long>(app0End), com.begin(), com.end());
    made["jpg"] = jpg;
    // Damaged inner structure: when a file's own chunks or frames cannot be
    // walked, its length still comes from what the header or the closing tag
    // says, exactly. The WAV's data chunk claims two bytes more than its
    // container holds; the MP3's first frame header is damaged, its ID3v1 tag
    // still closes it.
    Bytes wav = Sample("wav"), mp3 = Sample("mp3");
    ASSERT_TRUE(wav.size() > 64 && mp3.size() > 1024 && mp3[0] == 'I' && mp3[1] == 'D' && mp3[2] == '3');
    const auto at = std::search(wav.begin(), wav.end(), std::begin("data"), std::end("data") - 1) - wav.begin();
    ASSERT_LT(at + 8, static_cast<long>(wav.size()));
    wav[at + 4] += 2;
    size_t frame = 10 + (mp3[6] << 21 | mp3[7] << 14 | mp3[8] << 7 | mp3[9]);
    while (frame < mp3.size() && mp3[frame] == 0) ++frame;
    ASSERT_LT(frame, mp3.size());
    mp3[frame] = 0x12;
    made["bad.wav"] = wav;
    made["bad.mp3"] = mp3;
    for (auto [kind, filler] :
         {std::pair{"jpg", 0}, {"bmp", 4}, {"pdf", 2}, {"mp3", 2}, {"wav", 1}, {"bad.wav", 2}, {"bad.mp3", 2}}) {
        files.push_back({img.size() / 512, made.count(kind) ? made[kind] : Sample(kind)});
        ASSERT_FALSE(files.back().data.empty()) << kind;
        img.insert(img.end(), files.back().data.begin(), files.back().data.end());
        img.resize((img.size() + 511) / 512 * 512, 0);
        Bytes f = testkit::RandomBytes(filler * 512, filler);
        for (size_t s = 0; s < f.size(); s += 512) f[s] = 0x55;  // no file starts in the filler
        img.insert(img.end(), f.begin(), f.end());
    }
    testkit::TempDir dir("small");
    const std::string path = dir / "img.raw";
    testkit::WriteFile(path, img);
    const Laid &jpgFile = files[0], &bmpFile = files[1], &pdfFile = files[2];

    // Measured files are stepped over whole; header-measured ones sector by sector.
    CDiskReader reader;
    ASSERT_EQ(0, reader.Init(path.c_str(), img.size() / 512));
    CFileTypeRecovery probe;
    u64 skip = 0;
    u64& count = probe.Progress().u64FilesFound = 5;
    auto parse = [&](u64 sector) { return probe.ParseFileBuf(img.data() + sector * 512, 512, sector, &reader, 512, skip); };
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
    ASSERT_EQ(files.size(), c.size());
    // Each carved file saves back byte for byte, and the store lists them
    // at its top level under their start sectors.
    for (const Laid& f : files) {
        ASSERT_EQ(1u, c.count(f.sector));
        EXPECT_EQ(f.data, Saved(e, c[f.sector], dir / std::to_string(f.sector)));
    }
    EXPECT_EQ("127.jpg", std::string(c[127].szFileName));
    std::vector<_FILE_NODE_> kids;
    ASSERT_EQ(0, e.GetChildrenFileNode(nullptr, 0, kids));
    ASSERT_EQ(files.size(), kids.size());
    for (const _FILE_NODE_& k : kids) EXPECT_EQ(c[k.u64RecordSector].u64FileSize, k.u64FileSize);
    std::vector<__SEARCH_FILE_INFO__> jpgs;
    std::wstring pat = L"*.jpg|";
    EXPECT_EQ(0, e.SearchFileNode(pat.data(), jpgs));
    EXPECT_EQ(1u, jpgs.size());
    // Never over an existing file; a node cut to 1000 bytes gives 1000 bytes.
    const std::string target = dir / "keep.png";
    testkit::WriteFile(target, "mine", 4);
    _FILE_NODE_ n = c[127];
    std::wstring w = Utf8ToWide(target);
    EXPECT_EQ(EEXIST, e.SaveFileData(&n, w.data(), 0));
    EXPECT_EQ(4u, testkit::ReadFile(target).size());
    n.u64FileSize = 1000;
    EXPECT_EQ(Bytes(jpgFile.data.begin(), jpgFile.data.begin() + 1000), Saved(e, n, dir / "cut.jpg"));
    EXPECT_EQ(87, e.SaveFileData(nullptr, w.data(), 0));
    // Pictures preview into a temporary file, other files into the buffer.
    wchar_t tmp[512] = {0};
    int len = 0;
    ASSERT_EQ(0, e.PreView(&c[127], tmp, nullptr, len, nullptr, nullptr));
    EXPECT_EQ(GetScanLogDir() + "tmp.jpg", WideToUtf8(tmp));
    EXPECT_EQ(jpgFile.data, testkit::ReadFile(WideToUtf8(tmp)));
    Bytes buf(300);
    len = 300;
    wchar_t none[512] = {0};
    ASSERT_EQ(0, e.PreView(&c[pdfFile.sector], none, buf.data(), len, nullptr, nullptr));
    EXPECT_EQ(300, len);
    EXPECT_EQ(Bytes(pdfFile.data.begin(), pdfFile.data.begin() + 300), buf);
    EXPECT_EQ(0, none[0]);
    kids.clear();
    EXPECT_EQ(0, e.GetChildrenFileNode(&n, 0, kids));
    EXPECT_TRUE(kids.empty());
    // Destinations of 500 and 516 characters are saved whole, one beyond
    // what a path may hold fails; nothing lands anywhere else.
    testkit::TempDir longDir("longpath");
    for (size_t want : {500u, 516u, 5000u}) {
        SCOPED_TRACE(want);
        std::string dest = longDir / "d";
        while (dest.size() < want) dest += "/" + std::string(std::min<size_t>(200, want - dest.size() + 1), 'x');
        dest.resize(want);
        if (dest.back() == '/') dest.back() = 'y';
        testkit::Sh("mkdir -p " + testkit::Quote(dest + "/photo") + " 2>/dev/null");
        const std::string target = dest + "/photo/1744.jpg";
        _FILE_NODE_ whole = c[127];
        std::wstring wt = Utf8ToWide(target);
        const int r = e.SaveFileData(&whole, wt.data(), 0);
        if (want < 4000) {
            EXPECT_EQ(0, r);
            EXPECT_EQ(jpgFile.data, testkit::ReadFile(target));
        } else {
            EXPECT_NE(0, r);
        }
        EXPECT_EQ("", testkit::Capture("find " + testkit::Quote(longDir.path()) + " -type f ! -path " + testkit::Quote(target)));
        testkit::Sh("rm -f " + testkit::Quote(target) + " 2>/dev/null");
    }
}

// A bitmap header claiming 100 MiB near the end of a small image, one
// claiming 0 bytes, and a cabinet claiming more than the volume.
TEST_F(Carving, UntrustedHeaderSizes) {
    Bytes img(64 * 512, 0);
    auto bmp = [&](size_t sector, unsigned size) {
        Put(img, sector * 512, 'B' << 8 | 'M', 2, true);
        Put(img, sector * 512 + 2, size, 4);
        img[sector * 512 + 14] = 40;
    };
    bmp(10, 100u << 20);
    bmp(20, 0);
    std::memcpy(img.data() + 30 * 512, "MSCF", 4);
    Put(img, 30 * 512 + 8, 0x30000000, 4);
    testkit::TempDir dir("hdr");
    testkit::WriteFile(dir / "img.raw", img);
    CFileTypeRecovery e;
    Carved c;
    ASSERT_EQ(0, Carve(e, dir / "img.raw", c));
    // Cut at the device's end, so listed as damaged; the CAB inside it is
    // not carved again.
    EXPECT_EQ((64u - 10) * 512, c.at(10).u64FileSize);
    EXPECT_EQ(FR_HEALTH_LENGTH_UNPROVEN, c.at(10).bIsHealth);
    EXPECT_EQ(0u, c.count(20) + c.count(30));
    EXPECT_EQ((64u - 10) * 512, Saved(e, c[10], dir / "big.bmp").size());
    // A node claiming more than the device holds: a short file, no loop.
    _FILE_NODE_ n = c[10];
    n.u64FileSize = 1ULL << 40;
    std::wstring w = Utf8ToWide(dir / "short.bmp");
    EXPECT_EQ(FR_SHORT_READ, e.SaveFileData(&n, w.data(), 0));
    EXPECT_EQ((64u - 10) * 512, testkit::ReadFile(dir / "short.bmp").size());
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
// window after window (the zero run must pass 1 MiB) until the user stops
// it; it never reports completion.
TEST_F(Carving, StoppingDuringALongWalkAndCancelling) {
    Bytes jpg = Sample("jpg");
    FR_REQUIRE(jpg.size() > 2048, "no JPEG sample");
    Bytes img(8 << 20, 0);
    std::copy_n(jpg.begin(), 1024, img.begin() + 4 * 512);
    testkit::TempDir dir("stop");
    const std::string path = dir / "img.raw";
    testkit::WriteFile(path, img);
    CFileTypeRecovery e;
    Carved c;
    StopProbe probe;
    EXPECT_EQ(FR_RECOVERY_CANCELLED, Carve(e, path, c, &StopProbe::Cb, &probe));
    EXPECT_EQ(3, probe.calls);  // the third report, inside the walk, stopped it
    EXPECT_TRUE(c.empty());
    EXPECT_FALSE(probe.sawCompleteEarly);
    CFileTypeRecovery e2;
    Carved c2;
    StopProbe quiet;
    quiet.stopAt = 0;
    ASSERT_EQ(0, Carve(e2, path, c2, &StopProbe::Cb, &quiet));
    EXPECT_FALSE(quiet.sawCompleteEarly);
    EXPECT_EQ(100, quiet.last);
    EXPECT_LT(c2.at(4).u64FileSize, 0x100000u);  // unstopped, it ends where the zeros begin
    // A set cancel flag stops the sweep before its first window.
    CFileTypeRecovery e3;
    Carved c3;
    std::atomic<bool> cancel{true};
    CarveStats st;
    EXPECT_EQ(FR_RECOVERY_CANCELLED, Carve(e3, path, c3, nullptr, nullptr, &cancel, &st));
    EXPECT_EQ(0u, st.u64SectorsSwept);
}

// Hostile compound and ASF headers: refused or kept inside what was read.
TEST(LengthRules, HostileHeadersAreBounded) {
    CFileTypeJudge j;
    Bytes doc = carvekit::MakeCompoundFile("doc", 4);
    Bytes odd = doc;  // sector shift 10: not a compound file
    odd[30] = 10;
    Bytes many = doc;  // no DIFAT sectors but more FAT sectors than the header's 109
    Put(many, 44, 200, 4);
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, odd.data(), 512));
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, many.data(), 512));
    EXPECT_EQ(0u, GetOFFICE2003FileBytesSizeByFileHead(j, doc.data(), 100));
    // The ASF properties object too close to the sector end to hold its size.
    Bytes late = Sector({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
    std::memcpy(late.data() + 500, "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0", 12);  // properties
    EXPECT_EQ(512u, GetASFFileBytesSize(j, late.data(), 512));
    // A rule's walk at 90 % of a scan that reports in whole percents never claims the completion band.
    static int reported = 0;
    j.m_progressFunc = [](void*, int progress, int, int, u64, u64, u64, wchar_t*) { return reported = progress, 0; };
    const ScanProgress at{90, 100, -1, 0};
    j.m_nPercent = 100, j.SetScanProgress(&at);
    ReportRuleProgress(j, 0);
    EXPECT_FALSE(IsScanComplete(reported, 100)) << reported;
}

// --- Structure walks --------------------------------------------------------

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
    // The whole rule as the carver runs it on the first sector, with sectors
    // of S bytes: its answer, the length, the name and the type.
    int Parse(unsigned long long& size, int S = 512, std::string* name = nullptr, EXTEND_NAME_TYPE* type = nullptr) {
        char n[64] = {0};
        EXTEND_NAME_TYPE t = FT_NONE;
        size = 0;
        const int r = judge.ParseFileBuf(img.data(), S, 0, &reader, S, n, t, size);
        if (name) *name = n;
        if (type) *type = t;
        return r;
    }
};

// Every kind of file the carver knows, as Sample() makes it: the extension
// it is carved with (null: recognised but never carved), the type its first
// sector is recognised as, and where else it is checked: kExact, its rule
// alone measures it to the byte among random bytes on sectors of 512 and
// 4096 bytes; kRecall, the whole carver finds it in the recall image. Add a
// format with one line.
enum { kExact = 1, kRecall = 2, kBoth = 3 };
const struct Format {
    const char* kind;
    const char* ext;
    int type;
    int checks;
} kFormats[] = {
    {"jpg", "jpg", FT_JPG, kBoth},          {"exif.jpg", "jpg", FT_JPG, kRecall}, {"thumb.jpg", "jpg", FT_JPG, kBoth},
    {"png", "png", FT_PNG, kBoth},          {"gif", "gif", FT_GIF, kBoth},        {"bmp", "bmp", FT_BMP, kRecall},
    {"tif", "tif", FT_TIF, kBoth},          {"psd", "psd", FT_PSD, kBoth},        {"ico", "ico", FT_ICO, kRecall},
    {"cr2.raw", "cr2", FT_CR2, kBoth},      {"nef.raw", "nef", FT_NEF, kBoth},    {"arw.raw", "arw", FT_ARW, kBoth},
    {"dng.raw", "dng", FT_DNG, kBoth},      {"orf.raw", "orf", FT_ORF, kBoth},    {"rw2.raw", "rw2", FT_RW2, kBoth},
    {"tif.raw", "tif", FT_TIF, kExact},     {"mp3", "mp3", FT_MP3, kBoth},        {"plain.mp3", "mp3", FT_MP3, kBoth},
    {"tag.mp3", "mp3", FT_MP3, kExact},     {"wav", "wav", FT_WAV, kBoth},        {"mid", "mid", FT_MID, kRecall},
    {"avi", "avi", FT_AVI, kBoth},          {"mp4", "mp4", FT_MP4, kBoth},        {"mov", "mov", FT_MOV, kBoth},
    {"mkv", "mkv", FT_MKV, kBoth},          {"flv", "flv", FT_FLV, kBoth},        {"mpg", "mpeg", FT_MPEG, kBoth},
    {"ts", "ts", FT_TS, kRecall},           {"pdf", "pdf", FT_PDF, kRecall},      {"lin.pdf", "pdf", FT_PDF, kBoth},
    {"unstated.pdf", "pdf", FT_PDF, kExact}, {"zip", "zip", FT_ZIP, kRecall},     {"comment.zip", "zip", FT_ZIP, kBoth},
    {"docx", "docx", FT_DOCX, kRecall},     {"xlsx", "xlsx", FT_XLSX, kRecall},   {"pptx", "pptx", FT_PPTX, kRecall},
    {"doc", "doc", FT_DOC, kRecall},        {"xls", "xls", FT_XLS, kRecall},      {"ppt", "ppt", FT_PPT, kRecall},
    {"v4.doc", "doc", FT_DOC, kBoth},       {"ole", "ole", FT_OLE, 0},            {"7z", "7z", FT_7Z, kRecall},
    {"gz9", "gz", FT_GZ, kBoth},            {"cab", "cab", FT_CAB, kRecall},      {"sqlite", "db", FT_DB, kBoth},
    {"font.ttf", "ttf", FT_TTF, kBoth},     {"exe", "exe", FT_EXE, kBoth},        {"dll", "dll", FT_DLL, kBoth},
    {"wmv", "wmv", FT_WMV, kRecall},        {"wma", "wmv", FT_WMV, kRecall},      {"rm", "rmvb", FT_RMVB, kBoth},
    {"mxf", "mxf", FT_MXF, kBoth},          {"mmf", "mmf", FT_MMF, kBoth},        {"3gp", "3gp", FT_3GP, kBoth},
    {"heic", "heic", FT_HEIC, kBoth},       {"avif", "avif", FT_AVIF, kBoth},     {"cr3", "cr3", FT_CR3, kBoth},
    {"webp", "webp", FT_WEBP, kBoth},       {"m4a", "m4a", FT_M4A, kBoth},        {"aiff", "aiff", FT_AIFF, kBoth},
    {"ogg", "ogg", FT_OGG, kBoth},          {"oga", "ogg", FT_OGG, kExact},       {"oggflac", "ogg", FT_OGG, kBoth},
    {"opus", "opus", FT_OPUS, kBoth},       {"flac", "flac", FT_FLAC, kBoth},     {"webm", "webm", FT_WEBM, kBoth},
    {"live.webm", "webm", FT_WEBM, kBoth},  {"gz", "gz", FT_GZ, kBoth},           {"tar", "tar", FT_TAR, kBoth},
    {"xz", "xz", FT_XZ, kBoth},             {"bz2", "bz2", FT_BZ2, kBoth},        {"ttf", "ttf", FT_TTF, kBoth},
    {"otf", "otf", FT_OTF, kBoth},          {"mp2", "mp2", FT_MP2, kBoth},        {"bare.mp3", "mp3", FT_MP3, kBoth},
    {"m2ts", "mts", FT_MTS, kBoth},         {"swf", "swf", FT_SWF, kBoth},        {"txt", "txt", FT_TXT, kBoth},
    {"html", "html", FT_HTML, kBoth},       {"svg", "svg", FT_SVG, kBoth},        {"rtf", "rtf", FT_RTF, kBoth},
    {"csv", "csv", FT_CSV, kBoth},          {"mpf.jpg", "jpg", FT_JPG, kBoth},    {"ape.mp3", "mp3", FT_MP3, kBoth},
};

// Real files with bytes after their end that are not zeros: each rule
// recognises its file by the first sector, names it after its kind and
// measures it (exactly where it can), and the data-health check of the
// file-system engines agrees.
TEST(StructureWalks, RealFilesMeasuredExactly) {
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.kind);
        Bytes file = Sample(f.kind);
        if (file.empty()) {
            ADD_FAILURE() << "sample could not be made";
            continue;
        }
        Bytes b = file;
        Bytes junk = testkit::RandomBytes(70000, 7);
        b.insert(b.end(), junk.begin(), junk.end());
        for (int S : {512, 4096}) {
            if (S > 512 && !(f.checks & kExact)) continue;
            Image im(b, 4096, S);
            unsigned long long size = 0;
            std::string name;
            EXTEND_NAME_TYPE type = FT_NONE;
            const int r = im.Parse(size, S, &name, &type);
            if (!f.ext) {
                EXPECT_EQ(87, r);
                EXPECT_EQ(f.type, im.judge.GetDataBufType(im.img.data(), S));
                continue;
            }
            EXPECT_EQ(0, r) << S;
            EXPECT_EQ(f.type, static_cast<int>(type)) << S;
            EXPECT_EQ(std::string("0.") + f.ext, name) << S;
            if (f.checks & kExact)
                EXPECT_EQ(file.size(), size) << S;
            else
                EXPECT_GT(size, 0u);
            EXPECT_EQ(1, im.judge.IsFileTypeMatching(im.img.data(), S, f.ext, &im.reader, S, 0)) << S;
        }
    }
}

// Truncated and hostile structures: the walk answers 0 (the row's rule then
// falls back, to a closing marker or ZIP's end record alone where one is
// left) and never reads outside the image.
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
    Bytes tifCycle = {'I', 'I', 42, 0, 8, 0, 0, 0};  // a directory that points at itself, no image data
    Put(tifCycle, 8, 1, 2), Put(tifCycle, 10, 256, 2), Put(tifCycle, 12, 3, 2), Put(tifCycle, 14, 1, 4);
    Put(tifCycle, 22, 8, 4);
    Bytes tifStrip = Sample("tif.raw");
    Put(tifStrip, 42 + 8, 0xF0000000u, 4);  // a strip far longer than a walk may cover
    // Chained TIFF directories, strip offsets and counts 128 KiB apart, the last strip 1 KiB past them.
    auto tifFar = [](u32 dirs, u32 strips) {
        const u32 offs = 0x2000 + dirs * 30, lens = offs + 4 * strips + 0x20000, end = lens + 4 * strips + 1024;
        Bytes b(end, 0);
        Put(b, 0, 0x002A4949, 4), Put(b, 4, 8, 4);
        for (u32 d = 0, at = 8; d < dirs; ++d, at += 30) {
            Put(b, at, 2, 2), Put(b, at + 2, 273, 2), Put(b, at + 4, 4, 2), Put(b, at + 6, strips, 4);
            Put(b, at + 10, offs, 4), Put(b, at + 14, 279, 2), Put(b, at + 16, 4, 2), Put(b, at + 18, strips, 4);
            Put(b, at + 22, lens, 4), Put(b, at + 26, d + 1 < dirs ? at + 30 : 0, 4);
        }
        for (u32 k = 0; k < strips; ++k) Put(b, offs + 4 * k, 8, 4), Put(b, lens + 4 * k, 1, 4);
        Put(b, offs + 4 * strips - 4, end - 24, 4), Put(b, lens + 4 * strips - 4, 24, 4);
        return b;
    };
    Bytes mxfHuge = Sample("mxf");
    FR_REQUIRE(mxfHuge.size() > 100, "no MXF sample");
    Put(mxfHuge, 16, 0x847FFFFF, 4, true);  // a 4-byte BER length of about 2 GiB
    Bytes zip = Sample("zip");  // its central directory no longer where the end record says, a comment after it
    const size_t eocd = std::search(zip.rbegin(), zip.rend(), std::begin("\6\5KP"), std::end("\6\5KP") - 1).base() - zip.begin() - 4;
    ASSERT_LT(eocd + 22, zip.size() + 1);
    zip[eocd + 16] ^= 1, zip[eocd + 20] = 5, zip.insert(zip.end(), {'n', 'o', 't', 'e', '.'});
    const struct {
        const char* what;
        Bytes bytes;
        WalkFn walk;  // null: no structure walk, only the end record's check
        u64 fallback = 0;  // the length the fallback finds (0: just within the volume)
    } cases[] = {
        {"png cut", cut(png, png.size() - 20), WalkPng},     {"png chunk past the volume", pngHuge, WalkPng},
        {"png bad CRC", pngCrc, WalkPng, png.size()},         {"jpeg cut", cut(jpg, jpg.size() - 2), WalkJpeg},
        {"jpeg segment past the volume", jpgBad, WalkJpeg},   {"gif cut", cut(gif, gif.size() - 1), WalkGif},
        {"gif unknown block", gifBad, WalkGif, gif.size()},               {"mp3 frame chain stops", mp3Stop, WalkMp3},
        {"tiff IFD past the volume", tifLoop, WalkTiff},      {"tiff IFD cycle", tifCycle, WalkTiff},
        {"tiff strip too long", tifStrip, WalkTiff},      {"psd cut", cut(Sample("psd"), 3000), WalkPsd},
        {"tiff directories that would read without end", tifFar(300, 20000), WalkTiff},
        {"flv cut in its first tag", cut(Sample("flv"), 100), WalkFlv},
        {"sqlite pages past the volume", cut(Sample("sqlite"), 4096), WalkSqlite},
        {"mxf length past the volume", mxfHuge, WalkMxf},  {"mpeg cut in its first pack", cut(Sample("mpg"), 20), WalkMpegPs},
        {"zip end record that does not check out", zip, nullptr, eocd + 22},
    };
    // The sectors a walk read, from its progress reports.
    static u64 read = 0;
    auto count = [](void*, int, int, int, u64 cur, u64, u64, wchar_t*) { return read = std::max(read, cur), 0; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Image im(c.bytes, 0);  // zeros up to the sector end, then the volume ends
        im.judge.InitCallBack(count, nullptr, nullptr, 1), read = 0;
        EXPECT_TRUE(!c.walk || c.walk(im.judge, im.img.data(), 512) == 0);
        EXPECT_LE(read, 0x8100u);  // 16 MiB and a window at most
        unsigned long long size = 0;
        im.Parse(size);  // the fallback stays within the volume
        EXPECT_LE(size, im.img.size());
        EXPECT_TRUE(!c.fallback || size == c.fallback) << size;
    }
    // One directory of such arrays is measured, each array read a window at a time.
    Image far(tifFar(1, 20000), 0);
    far.judge.InitCallBack(count, nullptr, nullptr, 1), read = 0;
    EXPECT_EQ(tifFar(1, 20000).size(), WalkTiff(far.judge, far.img.data(), 512));
    EXPECT_LE(read, far.img.size() / 512);
    // A long zero run ends the image where it begins, never at the marker after it.
    Image zeroed(jpgZeroed, 0);
    const unsigned long long n = WalkJpeg(zeroed.judge, zeroed.img.data(), 512);
    EXPECT_GE(n, 1024u);
    EXPECT_LT(n, 0x100000u);
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
    std::string name;
    im.Parse(size, 512, &name);
    EXPECT_EQ("0.flv", name);
    EXPECT_EQ(1024u, size);
}

// --- Containers ---------------------------------------------------------

template <size_t N>
Bytes Lit(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

// The walk over a file at sector 8 of an image, random bytes after it: a
// walk that reads from the image's start instead of the file's is seen.
u64 WalkOver(const Bytes& file, WalkFn walk) {
    Bytes b(8 * 512, 0);
    b.insert(b.end(), file.begin(), file.end());
    const Bytes junk = testkit::RandomBytes(40 * 512, 9);
    b.insert(b.end(), junk.begin(), junk.end());
    Image im(b, 0);
    im.judge.m_u64StartSector = im.judge.m_u64CurrentSector = 8;
    return walk(im.judge, im.img.data() + 8 * 512, 512);
}

TEST(ContainerWalks, IsoBoxesCutShortOrHostile) {
    Bytes head;
    Box(head, "ftyp", Lit("heic\0\0\0\0mif1heic"));
    Box(head, "meta", testkit::RandomBytes(200, 1));
    // A 64-bit box size.
    Bytes big = head;
    big.insert(big.end(), {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0x10, 0});
    big.resize(big.size() + 0x1000 - 16, 0x77);
    EXPECT_EQ(big.size(), WalkOver(big, WalkIsoBoxes));
    // Size 0 (to the end of a stream) and a size past the volume: fallback.
    Bytes zero = head;
    zero.insert(zero.end(), {0, 0, 0, 0, 'm', 'd', 'a', 't'});
    EXPECT_EQ(0u, WalkOver(zero, WalkIsoBoxes));
    Bytes past = head;
    past.insert(past.end(), {0x10, 0, 0, 0, 'm', 'd', 'a', 't'});
    EXPECT_EQ(0u, WalkOver(past, WalkIsoBoxes));
    // Data wiped to zeros for over 1 MiB ends the file where the zeros begin.
    Bytes wiped = head;
    const size_t mdat = wiped.size();
    Box(wiped, "mdat", Bytes(3 << 20, 0));
    std::fill(wiped.begin() + static_cast<long>(mdat) + 8, wiped.begin() + static_cast<long>(mdat) + 5000, 0x42);
    Box(wiped, "free", Bytes(8, 0));
    EXPECT_EQ((mdat + 5000 + 511) / 512 * 512, WalkOver(wiped, WalkIsoBoxes));
    // Space a recorder reserved as a zero-filled free box ends nothing.
    Bytes reserved = head;
    Box(reserved, "free", Bytes(3 << 19, 0));
    Box(reserved, "mdat", testkit::RandomBytes(5000, 2));
    EXPECT_EQ(reserved.size(), WalkOver(reserved, WalkIsoBoxes));
    // The movie box first: the data its sample tables describe (3 samples of 1000 bytes at the data's
    // start, 2 of 2000 at its end) ends the file, whatever the mdat claims; zeros inside it end nothing.
    auto movie = [](u32 mdatSize, const Bytes& data) {
        auto be = [](std::initializer_list<u32> w) {
            Bytes b(4 * w.size());
            for (size_t i = 0; i < w.size(); ++i) Put(b, 4 * i, w.begin()[i], 4, true);
            return b;
        };
        Bytes v, stbl, box;
        Box(v, "ftyp", Lit("isom\0\0\0\0isommp41"));
        const u32 at = static_cast<u32>(v.size()) + 144 + 8, last = at + static_cast<u32>(data.size()) - 4000;
        Box(stbl, "stsc", be({0, 2, 1, 3, 1, 2, 2, 1})), Box(stbl, "stsz", be({0, 0, 5, 1000, 1000, 1000, 2000, 2000}));
        Box(stbl, "stco", be({0, 2, at, last}));
        for (const char* b : {"stbl", "minf", "mdia", "trak"}) box.clear(), Box(box, b, stbl), stbl = box;
        Box(v, "moov", stbl);
        return Box(v, "mdat", data), Put(v, v.size() - data.size() - 8, mdatSize, 4, true), v;
    };
    Bytes data = testkit::RandomBytes(7000, 3), gap = data;
    gap.insert(gap.begin() + 3000, 0x180000, 0);
    for (const Bytes& m : {movie(0, data), movie(0x10000000, data), movie(static_cast<u32>(gap.size() + 8), gap)})
        EXPECT_EQ(m.size(), WalkOver(m, WalkIsoBoxes));
}

TEST(ContainerWalks, ChunksPagesAndFramesThatStop) {
    // A RIFF chunk running past its container; an odd last chunk's pad byte.
    Bytes riff = Lit("RIFF\x24\0\0\0WEBPVP8 \x40\0\0\0");
    riff.resize(44, 1);
    EXPECT_EQ(0u, WalkOver(riff, WalkRiffChunks));
    Bytes odd = Lit("RIFF\x1b\0\0\0WEBPVP8L\x0f\0\0\0");
    odd.resize(35, 1);
    EXPECT_EQ(36u, WalkOver(odd, WalkRiffChunks));
    // An Ogg stream cut after some pages ends at its last whole page; a
    // broken checksum on the last page ends it at the page before.
    const Bytes ogg = Sample("ogg"), flac = Sample("flac");
    FR_REQUIRE(ogg.size() > 8192 && flac.size() > 8192, "ffmpeg is needed");
    size_t page = 0;
    for (size_t at = 4; at + 4 < ogg.size(); ++at)
        if (std::memcmp(ogg.data() + at, "OggS", 4) == 0) page = at;  // the last page
    Bytes cut(ogg.begin(), ogg.begin() + static_cast<long>(page) + 20);
    EXPECT_EQ(page, WalkOver(cut, WalkOggPages));
    Bytes bad = ogg;
    bad[page + 23] ^= 1;
    EXPECT_EQ(page, WalkOver(bad, WalkOggPages));
    // A FLAC frame chain broken in the middle stops at a frame before it.
    Bytes broken = flac;
    std::fill(broken.begin() + static_cast<long>(flac.size() / 2), broken.end(), 0x5A);
    const u64 got = WalkOver(broken, WalkFlacStream);
    EXPECT_GT(got, 1000u);
    EXPECT_LE(got, flac.size() / 2);
    // The user stops the job at the walk's first read: the carve ends with
    // the stop code at once.
    Image im(flac);
    int calls = 0;
    auto stop = [](void* c, int, int, int, u64, u64, u64, wchar_t*) {
        ++*static_cast<int*>(c);
        return FR_RECOVERY_CANCELLED;
    };
    im.judge.InitCallBack(stop, nullptr, &calls, 90);
    unsigned long long size = 0;
    EXPECT_EQ(static_cast<int>(FR_STOP_CODE), im.Parse(size));
    EXPECT_EQ(1, calls);
    // A live WebM recording (segment size unknown) is walked element by
    // element; one whose cluster runs past the volume falls back.
    Bytes live = Sample("live.webm");
    FR_REQUIRE(live.size() > 1000, "ffmpeg is needed");
    EXPECT_EQ(live.size(), WalkOver(live, WalkEbmlSegment));
    size_t cl = 0;
    while (cl + 4 < live.size() && std::memcmp(live.data() + cl, "\x1F\x43\xB6\x75", 4) != 0) ++cl;
    live[cl + 4] = 0x08;  // a 5-byte size: 0x??????.. bytes, far past the image
    EXPECT_EQ(0u, WalkOver(live, WalkEbmlSegment));
}

TEST(ContainerSignatures, StructureBeyondTheMagic) {
    CFileTypeJudge j;
    Bytes heic;
    Box(heic, "ftyp", Lit("heic\0\0\0\0mif1heic"));
    heic.resize(512, 0);
    EXPECT_EQ(FT_NONE, j.GetDataBufType(heic.data(), 512));  // no top-level box follows
    Box(heic, "meta", {});
    std::copy(heic.begin() + 512, heic.end(), heic.begin() + 24);
    EXPECT_EQ(FT_HEIC, j.GetDataBufType(heic.data(), 512));
    heic[10] = 0x01;  // a brand that is not text
    EXPECT_EQ(FT_NONE, j.GetDataBufType(heic.data(), 512));
    Bytes ogg = Sample("ogg"), flac = Sample("flac");
    FR_REQUIRE(ogg.size() > 512 && flac.size() > 512, "ffmpeg is needed");
    EXPECT_EQ(FT_OGG, j.GetDataBufType(ogg.data(), 512));
    ogg[6] = 1;  // a stream's first page is at position 0
    EXPECT_EQ(FT_NONE, j.GetDataBufType(ogg.data(), 512));
    flac[7] = 33;  // STREAMINFO is 34 bytes
    EXPECT_EQ(FT_NONE, j.GetDataBufType(flac.data(), 512));
    // The new extensions are listed where users look for them.
    EXPECT_EQ(CATEGORY_PHOTO, GetFileCategory("IMG_0001.HEIC"));
    EXPECT_STREQ("audio", GetCategoryFolderName("a.flac"));
    EXPECT_STREQ("video", GetCategoryFolderName("a.fla"));  // Flash stays video
    EXPECT_EQ(CATEGORY_VIDEO, GetFileCategory("a.webm"));
    // Every camera raw extension (a TIFF-family length rule) is a photo.
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r) {
        const auto& row = CFileTypeJudge::szExtendNameAndType[r];
        if (row.pfnLength != GetTIFFFileBytesSize) continue;
        const std::string name = std::string("1.") + row.szExtendName;
        EXPECT_EQ(CATEGORY_PHOTO, GetFileCategory(name.c_str())) << name;
        EXPECT_TRUE(IsPictureFileName(name.c_str())) << name;
    }
}

// --- Recall ----------------------------------------------------------------

TEST_F(Recall, RandomBytesAfterEveryFile) {
    Bytes img(16 * 512, 0);
    struct At {
        std::string kind, ext;
        size_t sector;
        Bytes data;
    };
    std::vector<At> placed;
    uint32_t seed = 100;
    for (const Format& f : kFormats) {
        if (!(f.checks & kRecall)) continue;
        Bytes d = Sample(f.kind);
        if (d.empty()) continue;  // StructureWalks.RealFilesMeasuredExactly reports it
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
    CFileTypeRecovery e;
    Carved carved;
    ASSERT_EQ(0, Carve(e, dir / "img.raw", carved));
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
        EXPECT_TRUE(ok) << p.kind;
        if (!ok) missed += " " + p.kind + (it == carved.end() ? "(not found)" : "(" + std::string(it->second.szFileName) + " " + std::to_string(it->second.u64FileSize) + "/" + std::to_string(p.data.size()) + ")");
    }
    size_t junk = 0;
    for (auto& [s, n] : carved)
        if (!starts.count(s)) ++junk, missed += std::string(" junk:") + n.szFileName;
    std::printf("byte-exact recall: %zu of %zu (%.0f %%), junk: %zu of %zu carved\nnot exact:%s\n", exact,
                placed.size(), 100.0 * exact / placed.size(), junk, carved.size(), missed.c_str());
    EXPECT_LE(junk * 10, carved.size());
}

// --- Recognition -----------------------------------------------------------

using Test = int (*)(CFileTypeJudge&, const unsigned char*, int);
int AnyType(CFileTypeJudge& j, const unsigned char* b, int n) { return j.GetDataBufType(b, n); }

// One signature test on a hand-built buffer of len bytes.
struct SignatureCase {
    const char* name;
    Test test;
    Bytes bytes;
    int len;
    int want;
};

TEST(Signatures, HandBuiltSectorsAndFileSystemSectors) {
    Bytes ct(49, 0);  // "[Content_Types].xml" at 31 needs 50 bytes
    std::memcpy(ct.data() + 31, "[Content_Types].x", 17);
    Bytes exe = Sample("exe");
    Bytes far = exe;  // a PE header offset that would put the header past the sector
    if (far.size() > 61) far[60] = 0xE9, far[61] = 0x01;
    const SignatureCase cases[] = {
        {"JFIF JPEG", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}), 512, FT_JPG},
        {"Exif JPEG", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f'}), 512, FT_JPG},
        {"JPEG without JFIF or Exif", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xDB, 0, 0x43}), 512, FT_NONE},
        {"JPEG in 15 bytes", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}), 15, FT_NONE},
        {"GIF89a", AnyType, Sector({'G', 'I', 'F', '8', '9', 'a'}), 512, FT_GIF},
        {"GIF8xa", AnyType, Sector({'G', 'I', 'F', '8', 'x', 'a'}), 512, FT_NONE},
        {"compound header alone", AnyType, Sector({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), 8, FT_OLE},
        {"first four compound bytes", AnyType, Sector({0xD0, 0xCF, 0x11, 0xE0}), 512, FT_FLA},
        {"Ghost image", AnyType, Sector({0xFE, 0xEF, 0, 0}), 512, FT_GHO},
        {"7z in 4 bytes", Is7zType, {0x37, 0x7A, 0xBC, 0xAF}, 4, FT_NONE},
        {"7z in 5 bytes", Is7zType, {0x37, 0x7A, 0xBC, 0xAF, 0x27}, 5, FT_7Z},
        {"Ghost in 3 bytes", IsGhoType, {0xFE, 0xEF, 0}, 3, FT_NONE},
        {"ID3 in 9 bytes", IsMp3Type, {'I', 'D', '3', 3, 0, 0, 0, 0, 0}, 9, FT_NONE},
        {"ID3 in 10 bytes", IsMp3Type, {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0x10}, 10, FT_MP3},
        {"Office 2007 in 49 bytes", IsOffice2007Type, ct, 49, FT_NONE},
        {"MIDI header without its track", IsMidType, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 96, 'M', 'T', 'r'},
         17, FT_NONE},
        {"30 icons in 300 bytes", IsIcoType, Sector({0, 0, 1, 0, 30, 0}), 300, FT_NONE},
        {"one icon", IsIcoType, Sector({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}), 512,
         FT_ICO},
        {"icon image not after its directory", IsIcoType,
         Sector({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 23, 0, 0, 0}), 512, FT_NONE},
        {"font with 40 tables in 512 bytes", IsTtfType, Sector({0, 1, 0, 0, 0, 40, 1, 0, 1, 0, 1, 0}), 512, FT_NONE},
        {"PE header past the sector", IsPeType, far, 512, FT_NONE},
        {"text", AnyType, Sample("txt"), 512, FT_NONE},
    };
    CFileTypeJudge j;
    for (const auto& c : cases) {
        if (c.bytes.size() < static_cast<size_t>(c.len)) continue;  // a sample that could not be made
        EXPECT_EQ(c.want, c.test(j, c.bytes.data(), c.len)) << c.name;
        // The sweep's quick test lets every match through.
        EXPECT_TRUE(c.want == FT_NONE || CFileTypeJudge::MayRecognise(c.bytes.data(), c.len)) << c.name;
    }
    EXPECT_EQ(FT_NONE, j.GetDataBufType(nullptr, 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(cases[0].bytes.data(), 0));
    // Matching a sector against the extension a file-system entry names.
    const Bytes& jfif = cases[0].bytes;
    const std::pair<const char*, int> matching[] = {{"JPG", 1}, {"jpeg", 1}, {"png", 0}, {"txt", 1}};
    for (auto [ext, want] : matching) EXPECT_EQ(want, j.IsFileTypeMatching(jfif.data(), 512, ext, nullptr, 512, 10)) << ext;
    Bytes zeros(512, 0);
    EXPECT_EQ(0, j.IsFileTypeMatching(zeros.data(), 512, "mp3", nullptr, 512, 10));

    Bytes rstr = Sector({'R', 'S', 'T', 'R'});
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(rstr.data(), 512));
    const unsigned char n[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    std::memcpy(rstr.data() + 300, n, 8);
    const std::pair<const char*, Bytes> metadata[] = {
        {"NTFS record", Sector({'F', 'I', 'L', 'E', '0'})},
        {"NTFS index", Sector({'I', 'N', 'D', 'X'})},
        {"FAT boot", Sector({0xEB, 0x58, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'})},
        {"NTFS boot", Sector({0xEB, 0x52, 0x90, 'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '})},
        {"restart area", rstr},
        {"$STA", Sector({'$', 0, 'S', 0, 'T', 0, 'A', 0})}};
    for (const auto& [name, b] : metadata) EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(b.data(), 512)) << name;
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(metadata[0].second.data(), 31));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(zeros.data(), 512));
}

// The text gate tests 16 bytes at once; it agrees with the byte rule for
// every byte, wherever it stands in the first 64.
TEST(Signatures, TextGateAgreesWithTheByteRule) {
    for (int b = 0; b < 256; ++b)
        for (int at : {0, 15, 16, 47, 63}) {
            std::vector<unsigned char> buf(512, 'a');
            buf[at] = static_cast<unsigned char>(b);
            EXPECT_EQ(MayStartText(buf.data(), 512), !IsNeverTextByte(buf[at])) << b << " at " << at;
        }
}

TEST(Signatures, TransportStreamContinuingFromTheSectorBefore) {
    // The scan state lives in each judge, not in statics shared between them.
    CFileTypeJudge a, b;
    a.m_tsFileRangeVec.push_back({10, 20});
    EXPECT_TRUE(b.m_tsFileRangeVec.empty());
    a.InitCallBack(nullptr, nullptr, &a, 90);
    EXPECT_EQ(100, b.m_nPercent);
    EXPECT_EQ(90, a.m_nPercent);
    Bytes ts = Sample("ts");
    FR_REQUIRE(ts.size() > 8192, "ffmpeg is needed for a transport stream");
    Image im(ts);
    CFileTypeJudge& j = im.judge;
    j.m_bIsNeedCheckTsFileRange = 1;
    EXPECT_EQ(FT_TS, IsTsType(j, im.img.data(), 512));
    // 47 sectors on (47 x 512 = 128 x 188) a packet starts again, but the
    // stream runs on from the sector before it.
    const unsigned char* mid = im.img.data() + 47 * 512;
    ASSERT_EQ(0x47, mid[0]);
    j.m_u64StartSector = j.m_u64CurrentSector = 47;
    EXPECT_EQ(FT_NONE, IsTsType(j, mid, 512));
    j.m_bIsNeedCheckTsFileRange = 0;
    EXPECT_EQ(FT_TS, IsTsType(j, mid, 512));
}

}  // namespace
