#include "support/CarveKit.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "support/TestKit.h"

namespace carvekit {

void Put(std::vector<unsigned char>& v, size_t at, unsigned x, int n, bool be) {
    if (v.size() < at + n) v.resize(at + n, 0);
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<unsigned char>(x >> (8 * (be ? n - 1 - i : i)));
}

void Box(std::vector<unsigned char>& v, const char* type, const std::vector<unsigned char>& payload) {
    Put(v, v.size(), static_cast<unsigned>(payload.size() + 8), 4, true);
    v.insert(v.end(), type, type + 4);
    v.insert(v.end(), payload.begin(), payload.end());
}

namespace {

// A ZIP-based Office document made with zip from three small parts.
std::vector<unsigned char> OfficeZip(const std::string& kind) {
    if (!testkit::HaveTool("zip")) return {};
    testkit::TempDir d("ooxml");
    std::string dir, main, ctype;
    if (kind == "docx") dir = "word", main = "document.xml", ctype = "wordprocessingml.document.main+xml";
    else if (kind == "xlsx") dir = "xl", main = "workbook.xml", ctype = "spreadsheetml.sheet.main+xml";
    else dir = "ppt", main = "presentation.xml", ctype = "presentationml.presentation.main+xml";
    std::string types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
        "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"xml\" "
        "ContentType=\"application/xml\"/><Override PartName=\"/" + dir + "/" + main +
        "\" ContentType=\"application/vnd.openxmlformats-officedocument." + ctype + "\"/></Types>";
    std::string rels =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
        "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" Target=\"" +
        dir + "/" + main + "\"/></Relationships>";
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root>";
    for (int i = 0; i < 400; ++i) body += "<p>Paragraph " + std::to_string(i * 7919 % 1000) + " of the sample.</p>";
    body += "</root>";
    testkit::Sh("mkdir -p " + testkit::Quote(d / "_rels") + " " + testkit::Quote(d / dir));
    testkit::WriteFile(d / "[Content_Types].xml", types.data(), types.size());
    testkit::WriteFile(d / "_rels/.rels", rels.data(), rels.size());
    testkit::WriteFile(d / (dir + "/" + main), body.data(), body.size());
    if (testkit::Sh("cd " + testkit::Quote(d.path()) + " && zip -q -X -r out.zip '[Content_Types].xml' _rels " + dir) != 0)
        return {};
    return testkit::ReadFile(d / "out.zip");
}

std::vector<unsigned char> Midi() {
    // Two tracks; the second runs past the first sector.
    std::vector<unsigned char> t1 = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xFF, 0x2F, 0x00};
    std::vector<unsigned char> t2;
    for (int i = 0; i < 150; ++i) {
        unsigned char note = static_cast<unsigned char>(60 + i % 12);
        t2.insert(t2.end(), {0x00, 0x90, note, 0x40, 0x60, 0x80, note, 0x40});
    }
    t2.insert(t2.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<unsigned char> v(14);
    std::memcpy(v.data(), "MThd", 4);
    Put(v, 4, 6, 4, true);
    Put(v, 8, 1, 2, true);
    Put(v, 10, 2, 2, true);
    Put(v, 12, 96, 2, true);
    for (auto* t : {&t1, &t2}) {
        size_t at = v.size();
        v.resize(at + 8);
        std::memcpy(v.data() + at, "MTrk", 4);
        Put(v, at + 4, static_cast<unsigned>(t->size()), 4, true);
        v.insert(v.end(), t->begin(), t->end());
    }
    return v;
}

std::vector<unsigned char> Cab() {
    // A cabinet with one folder and one stored file.
    std::vector<unsigned char> payload = testkit::RandomBytes(2500, 77);
    const unsigned hdr = 36, folder = 8, file = 16 + 8, data = 8;
    const unsigned total = hdr + folder + file + data + static_cast<unsigned>(payload.size());
    std::vector<unsigned char> v(total, 0);
    std::memcpy(v.data(), "MSCF", 4);
    Put(v, 8, total, 4);
    Put(v, 16, hdr + folder, 4);  // first file entry
    Put(v, 24, 0x0103, 2);  // version 1.3
    Put(v, 26, 1, 2);  // folders
    Put(v, 28, 1, 2);  // files
    Put(v, hdr, hdr + folder + file, 4);  // first data block
    Put(v, hdr + 4, 1, 2);
    Put(v, hdr + 6, 0, 2);  // stored
    const unsigned f = hdr + folder;
    Put(v, f, static_cast<unsigned>(payload.size()), 4);
    std::memcpy(v.data() + f + 16, "a.bin", 6);
    const unsigned dpos = f + file;
    Put(v, dpos + 4, static_cast<unsigned>(payload.size()), 2);
    Put(v, dpos + 6, static_cast<unsigned>(payload.size()), 2);
    std::memcpy(v.data() + dpos + 8, payload.data(), payload.size());
    return v;
}

std::vector<unsigned char> Pe(bool dll) {
    // Headers (0x400 bytes), .text (0x600) and .data (0x200) sections, then
    // a certificate table of 0x208 bytes.
    std::vector<unsigned char> v = testkit::RandomBytes(0xE08, dll ? 8 : 9);
    std::fill(v.begin(), v.begin() + 0x400, 0);
    std::memcpy(v.data(), "MZ", 2);
    Put(v, 60, 0x80, 4);
    std::memcpy(v.data() + 0x80, "PE\0\0", 4);
    Put(v, 0x84, 0x8664, 2), Put(v, 0x86, 2, 2), Put(v, 0x94, 240, 2), Put(v, 0x96, dll ? 0x2022 : 0x0022, 2);
    const size_t opt = 0x98;
    Put(v, opt, 0x20B, 2), Put(v, opt + 36, 0x200, 4), Put(v, opt + 60, 0x400, 4), Put(v, opt + 108, 16, 4);
    Put(v, opt + 112 + 32, 0xC00, 4), Put(v, opt + 112 + 36, 0x208, 4);
    const unsigned sec[2][3] = {{0x1000, 0x600, 0x400}, {0x2000, 0x200, 0xA00}};
    for (int i = 0; i < 2; ++i) {
        const size_t at = opt + 240 + 40 * i;
        std::memcpy(v.data() + at, i ? ".data" : ".text", 5);
        Put(v, at + 8, sec[i][1], 4), Put(v, at + 12, sec[i][0], 4), Put(v, at + 16, sec[i][1], 4), Put(v, at + 20, sec[i][2], 4);
    }
    return v;
}

// The sample JPEG with its APP0 segment replaced by an Exif APP1 segment
// holding this TIFF structure.
std::vector<unsigned char> WithExif(const std::vector<unsigned char>& tiff) {
    std::vector<unsigned char> j = testkit::ReadFile(testkit::Sample("jpg"));
    if (j.size() < 20 || j[2] != 0xFF || j[3] != 0xE0) return {};
    std::vector<unsigned char> out = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    out.insert(out.end(), tiff.begin(), tiff.end());
    Put(out, 4, static_cast<unsigned>(out.size() - 4), 2, true);
    out.insert(out.end(), j.begin() + 4 + (j[4] << 8 | j[5]), j.end());
    return out;
}

// A JPEG whose Exif block holds a complete JPEG thumbnail (with its own
// end marker) before the main image.
std::vector<unsigned char> ThumbJpeg() {
    testkit::TempDir d("thumb");
    const std::string t = d / "t.jpg";
    if (testkit::Sh("convert " + testkit::Quote(testkit::Sample("jpg")) + " -resize 64x36 jpg:" + testkit::Quote(t)) != 0)
        return {};
    const std::vector<unsigned char> thumb = testkit::ReadFile(t);
    // TIFF header, IFD0 with one entry, IFD1 pointing at the thumbnail.
    std::vector<unsigned char> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    Put(tiff, 8, 1, 2);
    Put(tiff, 10, 274, 2), Put(tiff, 12, 3, 2), Put(tiff, 14, 1, 4), Put(tiff, 18, 1, 2);
    Put(tiff, 22, 26, 4);  // IFD1
    Put(tiff, 26, 2, 2);
    Put(tiff, 28, 513, 2), Put(tiff, 30, 4, 2), Put(tiff, 32, 1, 4), Put(tiff, 36, 56, 4);
    Put(tiff, 40, 514, 2), Put(tiff, 42, 4, 2), Put(tiff, 44, 1, 4), Put(tiff, 48, static_cast<unsigned>(thumb.size()), 4);
    Put(tiff, 52, 0, 4);
    tiff.insert(tiff.end(), thumb.begin(), thumb.end());
    return thumb.empty() ? std::vector<unsigned char>{} : WithExif(tiff);
}

// A TrueType file with a head table right after the directory and two
// more tables; its length is the end of the last table.
std::vector<unsigned char> SmallFont() {
    const unsigned n = 3;
    const unsigned dirEnd = 12 + 16 * n;
    const unsigned lens[n] = {54, 900, 1301};
    const char* tags[n] = {"head", "glyf", "loca"};
    unsigned total = dirEnd;
    for (unsigned l : lens) total += (l + 3) & ~3u;
    std::vector<unsigned char> v(total, 0);
    Put(v, 0, 0x00010000, 4, true);
    Put(v, 4, n, 2, true);
    Put(v, 6, 32, 2, true);
    Put(v, 8, 1, 2, true);
    Put(v, 10, 16, 2, true);
    unsigned off = dirEnd;
    for (unsigned i = 0; i < n; ++i) {
        std::memcpy(v.data() + 12 + 16 * i, tags[i], 4);
        Put(v, 12 + 16 * i + 8, off, 4, true);
        Put(v, 12 + 16 * i + 12, lens[i], 4, true);
        std::vector<unsigned char> body = testkit::RandomBytes(lens[i], 900 + i);
        std::memcpy(v.data() + off, body.data(), lens[i]);
        off += (lens[i] + 3) & ~3u;
    }
    Put(v, dirEnd, 0x00010000, 4, true);  // head table version 1.0
    v.resize(off - ((lens[n - 1] + 3) & ~3u) + lens[n - 1]);
    return v;
}

// A TIFF-family camera file: IFD0 (Make, a strip, the Exif IFD), IFD1 with a
// JPEG thumbnail; the strip or the thumbnail ends the file.
std::vector<unsigned char> RawFile(const std::string& kind) {
    std::vector<unsigned char> v;
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
    std::vector<unsigned char> body = testkit::RandomBytes(700 + stripLen, 4242);
    body[0] = 0xFF, body[1] = 0xD8, body[698] = 0xFF, body[699] = 0xD9;
    v.resize(thumbAt);
    v.insert(v.end(), body.begin(), body.end());
    v.resize(std::max<size_t>(v.size(), stripAt + stripLen));
    return v;
}

// Container formats made by ffmpeg and ImageMagick; "live.webm" is a WebM
// written to a pipe (its segment size unknown, as in a live recording).
std::vector<unsigned char> Container(const std::string& kind) {
    static const std::string ff = "ffmpeg -loglevel error -y -f lavfi -i ";
    static const std::string tone = ff + "sine=frequency=440:duration=2 ", noise = ff + "anoisesrc=d=3:a=0.2 ";
    static const std::string beep = ff + "sine=frequency=440:duration=1 ";
    static const std::string video = ff + "testsrc=size=160x120:rate=10 -t 1 ";
    static const std::string clip = ff + "testsrc=size=176x144:rate=25 -t 0.5 -an -c:v ";
    static const std::string pic =
        "convert /usr/share/desktop-base/joy-theme/login/sddm-preview.jpg -resize 480x270 -quality 90 ";
    static const std::map<std::string, std::string> cmds = {
        {"3gp", clip + "h263 -f 3gp "},             {"m4a", tone + "-c:a aac -f ipod "},
        {"wmv", clip + "wmv2 -f asf "},             {"rm", clip + "rv10 -f rm "},
        {"mxf", clip + "mpeg2video -f mxf "},       {"wma", beep + "-c:a wmav2 -f asf "},
        {"mmf", beep + "-ar 8000 -c:a adpcm_yamaha -f mmf "},
        {"psd", "convert " + testkit::Quote(testkit::Sample("png")) + " psd:"},
        {"plain.mp3", "sox " + testkit::Quote(testkit::Sample("wav")) + " -t wav - | lame --quiet --id3v2-only --tt Plain - "},
        {"aiff", tone + "-f aiff "},                {"ogg", noise + "-c:a libvorbis -f ogg "},
        {"opus", tone + "-c:a libopus -f opus "},   {"flac", noise + "-c:a flac -f flac "},
        {"oggflac", tone + "-c:a flac -f ogg "},    {"webm", video + "-c:v libvpx -f webm "},
        {"live.webm", video + "-c:v libvpx -f webm - > "},
        {"heic", pic + "heic:"},                    {"avif", pic + "avif:"},
        {"webp", pic + "webp:"},
        {"gz9", "gzip -9 -n -c /usr/share/common-licenses/GPL-3 > "},  // its extra-flags byte says best
        {"tar", "tar -c -C /usr/share/common-licenses -f - GPL-3 Apache-2.0 > "},
        {"xz", "xz -c /usr/share/common-licenses/GPL-3 > "},
        {"bz2", "bzip2 -c /usr/share/common-licenses/GPL-3 > "},
        {"otf", "cat /usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf > "},
        {"mp2", beep + "-c:a mp2 -f mp2 "},
        {"bare.mp3", beep + "-c:a libmp3lame -id3v2_version 0 -write_xing 0 -f mp3 "},
        {"m2ts", clip + "mpeg2video -mpegts_m2ts_mode 1 -f mpegts "},
        {"swf", clip + "flv -f swf "},
        {"html", "(echo '<!DOCTYPE html>'; echo '<html><head><title>Licence</title></head><body><pre>'; "
                 "head -c 5000 /usr/share/common-licenses/GPL-3 | tr '<>&' '()+'; echo '</pre></body></html>') > "},
        {"svg", "(echo '<?xml version=\"1.0\"?>'; echo '<svg xmlns=\"http://www.w3.org/2000/svg\">'; "
                "seq 1 60 | sed 's/.*/<circle cx=\"&\" cy=\"&\" r=\"4\"\\/>/'; echo '</svg>') > "},
        {"rtf", "(printf '{\\\\rtf1\\\\ansi{\\\\fonttbl{\\\\f0 Times;}}\\n'; head -c 3000 /usr/share/common-licenses/GPL-3 | "
                "tr '{}\\\\' '()/' | sed 's/$/\\\\par/'; echo '}') > "},
        {"csv", "seq 1 300 | sed 's/.*/&,row &,0.&/' > "}};
    auto it = cmds.find(kind);
    if (it == cmds.end()) return {};
    testkit::TempDir d("container");
    const std::string out = d / "out";
    if (testkit::Sh(it->second + testkit::Quote(out)) != 0) return {};
    return testkit::ReadFile(out);
}

// A PDF of two photographs on two pages, saved for fast web view: larger
// than one 64 KiB window, with an end marker after the first page.
std::vector<unsigned char> LinearPdf() {
    testkit::TempDir d("pdf");
    const std::string lib = testkit::Capture("ls -d /usr/share/ghostscript/*/lib | head -1");
    const std::string a = d / "a.jpg", b = d / "b.jpg", o = d / "out", big = testkit::Quote(testkit::Sample("big.jpg"));
    if (testkit::Sh("convert " + big + " -quality 95 " + testkit::Quote(a) + " && convert " + big + " -flop -quality 95 " +
                    testkit::Quote(b) + " && gs -q -dNOPAUSE -dBATCH -dFastWebView=true --permit-file-read=" +
                    testkit::Quote(d.path() + "/") + " -sDEVICE=pdfwrite -sOutputFile=" + testkit::Quote(o) + " " +
                    lib.substr(0, lib.find('\n')) + "/viewjpeg.ps -c '(" + a + ") viewJPEG showpage (" + b +
                    ") viewJPEG showpage' >/dev/null") != 0)
        return {};
    return testkit::ReadFile(o);
}

// A JPEG followed by a second picture that its multi-picture (MPF) APP2
// segment lists, as phones write them.
std::vector<unsigned char> MpfJpeg() {
    std::vector<unsigned char> a = testkit::ReadFile(testkit::Sample("jpg")), b = SampleBytes("thumb.jpg");
    if (a.size() < 20 || b.empty()) return {};
    const unsigned at = 4 + (a[4] << 8 | a[5]), main = static_cast<unsigned>(a.size()) + 66;
    std::vector<unsigned char> s = {0xFF, 0xE2, 0, 64, 'M', 'P', 'F', 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0};
    Put(s, 18, 0xB002, 2), Put(s, 20, 7, 2), Put(s, 22, 32, 4), Put(s, 26, 26, 4), Put(s, 30, 0, 4);
    Put(s, 34, 0x20030000, 4), Put(s, 38, main, 4), Put(s, 42, 0, 4), Put(s, 46, 0, 4);
    Put(s, 50, 0, 4), Put(s, 54, static_cast<unsigned>(b.size()), 4), Put(s, 58, main - at - 8, 4), Put(s, 62, 0, 4);
    a.insert(a.begin() + at, s.begin(), s.end());
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A ZIP archive with a comment after its central directory.
std::vector<unsigned char> CommentedZip() {
    testkit::TempDir d("zip");
    if (testkit::Sh("cd " + testkit::Quote(d.path()) + " && zip -q -X out /usr/share/common-licenses/GPL-3 && "
                    "echo 'a comment of the archive' | zip -q -z out") != 0)
        return {};
    return testkit::ReadFile(d / "out.zip");
}

// A Canon CR3 in outline (no free encoder writes one): ftyp with the crx
// brand, moov, a uuid box and the picture data.
std::vector<unsigned char> Cr3() {
    std::vector<unsigned char> v;
    const char brands[] = "crx \0\0\0\1crx isom";
    Box(v, "ftyp", std::vector<unsigned char>(brands, brands + sizeof brands - 1));
    Box(v, "moov", testkit::RandomBytes(700, 3));
    Box(v, "uuid", testkit::RandomBytes(300, 4));
    Box(v, "mdat", testkit::RandomBytes(5000, 5));
    return v;
}

}  // namespace

std::vector<unsigned char> MakeCompoundFile(const std::string& kind, int k, int sectorShift) {
    // Header, then the stream (sectors 0..k-1), the FAT (k), the directory (k+1).
    const size_t S = size_t(1) << sectorShift;
    std::vector<unsigned char> v(S * (1 + k + 2), 0);
    std::memcpy(v.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    Put(v, 24, 0x3E, 2);
    Put(v, 26, S == 512 ? 3 : 4, 2);
    Put(v, 28, 0xFFFE, 2);
    Put(v, 30, static_cast<unsigned>(sectorShift), 2);
    Put(v, 32, 6, 2);
    if (S > 512) Put(v, 40, 1, 4);  // version 4 counts its directory sectors
    Put(v, 44, 1, 4);                  // one FAT sector
    Put(v, 48, static_cast<unsigned>(k + 1), 4);  // directory
    Put(v, 56, 4096, 4);
    Put(v, 60, 0xFFFFFFFE, 4);
    Put(v, 68, 0xFFFFFFFE, 4);
    for (int i = 0; i < 109; ++i) Put(v, 76 + 4 * i, 0xFFFFFFFF, 4);
    Put(v, 76, static_cast<unsigned>(k), 4);
    // Stream contents.
    std::vector<unsigned char> data = testkit::RandomBytes(S * k, 1234);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>('A' + data[i] % 26);
    if (kind == "doc") data[0] = 0xEC, data[1] = 0xA5;
    if (kind == "xls") std::memcpy(data.data(), "\x09\x08\x10\x00\x00\x06\x05\x00", 8);  // BIFF8 BOF
    std::memcpy(v.data() + S, data.data(), data.size());
    // FAT.
    const size_t fat = S * (1 + k);
    for (size_t i = 0; i < S / 4; ++i) Put(v, fat + 4 * i, 0xFFFFFFFF, 4);
    for (int i = 0; i < k; ++i) Put(v, fat + 4 * i, i + 1 < k ? static_cast<unsigned>(i + 1) : 0xFFFFFFFE, 4);
    Put(v, fat + 4 * k, 0xFFFFFFFD, 4);
    Put(v, fat + 4 * (k + 1), 0xFFFFFFFE, 4);
    // Directory: root and one stream.
    const size_t dir = S * (2 + k);
    auto name = [&](size_t at, const char* n) {
        size_t len = std::strlen(n);
        for (size_t i = 0; i < len; ++i) Put(v, at + 2 * i, static_cast<unsigned char>(n[i]), 2);
        Put(v, at + 64, static_cast<unsigned>(2 * (len + 1)), 2);
    };
    for (int e = 0; e < 4; ++e) {
        Put(v, dir + 128 * e + 68, 0xFFFFFFFF, 4);
        Put(v, dir + 128 * e + 72, 0xFFFFFFFF, 4);
        Put(v, dir + 128 * e + 76, 0xFFFFFFFF, 4);
    }
    name(dir, "Root Entry");
    v[dir + 66] = 5;
    Put(v, dir + 76, 1, 4);
    Put(v, dir + 116, 0xFFFFFFFE, 4);
    if (kind == "ppt")  // the PowerPoint class id
        std::memcpy(v.data() + dir + 80, "\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8", 16);
    const char* stream = kind == "doc" ? "WordDocument" : kind == "xls" ? "Workbook" : kind == "ppt" ? "PowerPoint Document" : "Contents";
    name(dir + 128, stream);
    v[dir + 128 + 66] = 2;
    Put(v, dir + 128 + 116, 0, 4);
    Put(v, dir + 128 + 120, static_cast<unsigned>(S * k), 4);
    return v;
}

std::vector<unsigned char> SampleBytes(const std::string& kind) {
    static std::recursive_mutex mu;  // some samples are made from others
    static std::map<std::string, std::vector<unsigned char>> cache;
    std::lock_guard<std::recursive_mutex> lock(mu);
    auto it = cache.find(kind);
    if (it != cache.end()) return it->second;
    std::vector<unsigned char> v;
    if (kind == "docx" || kind == "xlsx" || kind == "pptx") v = OfficeZip(kind);
    else if (kind == "doc" || kind == "xls" || kind == "ppt" || kind == "ole") v = MakeCompoundFile(kind, 9);
    else if (kind == "v4.doc") v = MakeCompoundFile("doc", 5, 12);
    else if (kind == "mid") v = Midi();
    else if (kind == "cab") v = Cab();
    else if (kind == "exe") v = Pe(false);
    else if (kind == "dll") v = Pe(true);
    else if (kind == "exif.jpg") v = WithExif({'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0});
    else if (kind == "thumb.jpg") v = ThumbJpeg();
    else if (kind == "lin.pdf") v = LinearPdf();
    else if (kind == "mpf.jpg") v = MpfJpeg();
    else if (kind == "comment.zip") v = CommentedZip();
    else if (kind == "cr3") v = Cr3();
    else if (kind == "font.ttf") v = SmallFont();
    else if (kind.ends_with(".raw")) v = RawFile(kind.substr(0, kind.size() - 4));
    else if (kind == "tag.mp3") {
        // "TAG" inside a frame of an MP3 without an ID3v1 tag is not its end.
        if ((v = SampleBytes("plain.mp3")).size() > 4000) std::memcpy(v.data() + v.size() / 2, "TAG", 3);
    } else if (kind == "ape.mp3") {
        // A version 1 APE tag after the audio: one item and the footer.
        if (!(v = SampleBytes("bare.mp3")).empty()) {
            std::vector<unsigned char> t = {5, 0, 0, 0, 0, 0, 0, 0, 'T', 'i', 't', 'l', 'e', 0, 'H', 'e', 'l', 'l', 'o'};
            t.insert(t.end(), {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'});
            Put(t, 27, 1000, 4), Put(t, 31, 51, 4), Put(t, 35, 1, 4), Put(t, 39, 0, 4), Put(t, 43, 0, 4), Put(t, 47, 0, 4);
            v.insert(v.end(), t.begin(), t.end());
        }
    } else if (kind == "unstated.pdf") {
        // "lin.pdf" without its stated length: the last end marker ends it.
        v = SampleBytes("lin.pdf");
        for (size_t p = 0; p + 3 < std::min<size_t>(v.size(), 1024); ++p)
            if (v[p] == '/' && v[p + 1] == 'L' && v[p + 2] == ' ') v[p + 1] = 'X';
    } else if (v = Container(kind); v.empty()) {
        std::string p = testkit::Sample(kind);
        if (!p.empty()) v = testkit::ReadFile(p);
    }
    cache[kind] = v;
    return v;
}

}  // namespace carvekit
