#include "carving/StructureWalks.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "carving/FileLengthRules.h"
#include "carving/WalkBytes.h"
#include "core/ByteOrder.h"

namespace {

using u64L = unsigned long long;

constexpr u64L kPictureMax = 0x8000000ULL;     // 128 MiB, as the picture rules
constexpr u64L kRawMax = 0x40000000ULL;        // 1 GiB: camera raw and large TIFF files
constexpr u64L kAudioMax = 0x80000000ULL;      // 2 GiB, as the MP3 rule

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

u32 Crc32(const unsigned char* p, size_t n, u32 c = 0xFFFFFFFFu) {
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c;
}

}  // namespace

// ---------------------------------------------------------------------------
// JPEG

namespace {

// The end of the further images that a multi-picture (MPF) APP2 segment at
// pos lists, each of which must start with a JPEG start marker; 0 when the
// segment is not one or lists none.
u64L MpfImagesEnd(FileBytes& f, u64L pos) {
    const unsigned char* s = f.At(pos, 16);
    if (!s || std::memcmp(s + 4, "MPF\0", 4) != 0) return 0;
    const u64L tiff = pos + 8;  // offsets count from the TIFF header
    const bool le = std::memcmp(s + 8, "II*\0", 4) == 0;
    if (!le && std::memcmp(s + 8, "MM\0*", 4) != 0) return 0;
    auto u16at = [&](const unsigned char* p) { return le ? GetLe16(p) : GetBe16(p); };
    auto u32at = [&](const unsigned char* p) { return le ? GetLe32(p) : GetBe32(p); };
    const u64L ifd = tiff + u32at(s + 12);
    const unsigned char* c = f.At(ifd, 2);
    if (!c) return 0;
    const unsigned n = std::min<unsigned>(u16at(c), 32u);
    u64L end = 0;
    for (unsigned i = 0; i < n; ++i) {
        const unsigned char* e = f.At(ifd + 2 + 12ULL * i, 12);
        if (!e || u16at(e) != 0xB002) continue;  // the picture entries
        const u32 count = u32at(e + 4) / 16;
        const u64L at = tiff + u32at(e + 8);
        for (u32 k = 0; k < count && k < 64; ++k) {
            const unsigned char* d = f.At(at + 16ULL * k, 16);
            if (!d) return 0;
            const u64L size = u32at(d + 4), off = u32at(d + 8);
            if (off == 0 || size == 0) continue;  // the first image: this file
            const unsigned char* soi = f.At(tiff + off, 2);
            if (!soi || soi[0] != 0xFF || soi[1] != 0xD8 || !f.At(tiff + off + size - 1, 1)) return 0;
            end = std::max(end, tiff + off + size);
        }
    }
    return end;
}

}  // namespace

unsigned long long WalkJpeg(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 4 || buf[0] != 0xFF || buf[1] != 0xD8) return 0;
    FileBytes f(judge, buf, len, kPictureMax);
    u64L pos = 2, extraEnd = 0;
    bool frame = false, scan = false;
    for (;;) {
        const unsigned char* m = f.At(pos, 2);
        if (!m || m[0] != 0xFF) return 0;
        const unsigned char code = m[1];
        if (code == 0xFF) {  // fill byte before a marker
            ++pos;
            continue;
        }
        if (code == 0xD9) {
            if (!frame || !scan) return 0;
            judge.m_bStructureClosed = true;
            // The further images of a multi-picture file follow the first.
            return std::max(pos + 2, extraEnd);
        }
        if (code == 0xE2 && !scan) extraEnd = std::max(extraEnd, MpfImagesEnd(f, pos));
        if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {  // no length
            pos += 2;
            continue;
        }
        if (code < 0xC0 || code == 0xD8) return 0;
        const unsigned char* l = f.At(pos + 2, 2);
        if (!l) return 0;
        const unsigned segLen = GetBe16(l);
        if (segLen < 2) return 0;
        if ((code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)) frame = true;
        pos += 2 + segLen;
        if (code != 0xDA) continue;
        if (!frame) return 0;
        scan = true;
        // Entropy-coded data: runs to the first FF that is neither stuffing
        // (FF 00) nor a restart marker. A long zero run ends the image
        // where it begins (the rest of the file is gone).
        CZeroRun zeros;
        for (;;) {
            unsigned avail = 0;
            const unsigned char* p = f.Run(pos, avail);
            if (!p) return 0;
            const void* hit = std::memchr(p, 0xFF, avail);
            if (!hit) {
                const bool allZero = p[0] == 0 && p[avail - 1] == 0 && std::memcmp(p, p + 1, avail - 1) == 0;
                if (zeros.Feed(pos, avail, allZero)) return zeros.Start();
                pos += avail;
                continue;
            }
            zeros.Feed(pos, 1, false);
            pos += static_cast<u64L>(static_cast<const unsigned char*>(hit) - p);
            const unsigned char* ff = f.At(pos, 2);
            if (!ff) return 0;
            if (ff[1] == 0x00 || (ff[1] >= 0xD0 && ff[1] <= 0xD7)) {
                pos += 2;
                continue;
            }
            if (ff[1] == 0xFF) {
                ++pos;
                continue;
            }
            break;  // a marker: back to the segments
        }
    }
}

// ---------------------------------------------------------------------------
// PNG

unsigned long long WalkPng(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    static const unsigned char sig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (!buf || len < 8 || std::memcmp(buf, sig, 8) != 0) return 0;
    FileBytes f(judge, buf, len, kPictureMax);
    u64L pos = 8;
    for (bool first = true;; first = false) {
        const unsigned char* h = f.At(pos, 8);
        if (!h) return 0;
        const u32 n = GetBe32(h);
        if (n > 0x7FFFFFFFu) return 0;
        for (int i = 4; i < 8; ++i)
            if (!IsAsciiLetter(h[i])) return 0;
        const bool ihdr = std::memcmp(h + 4, "IHDR", 4) == 0;
        if (first != ihdr || (ihdr && n != 13)) return 0;
        const bool iend = std::memcmp(h + 4, "IEND", 4) == 0;
        // Small chunks (header, palette, text, the end) have their CRC
        // checked; image data is only measured.
        if (n <= 0x2000 && std::memcmp(h + 4, "IDAT", 4) != 0) {
            const unsigned char* c = f.At(pos + 4, 4 + n + 4);
            if (!c || (Crc32(c, 4 + n) ^ 0xFFFFFFFFu) != GetBe32(c + 4 + n)) return 0;
        }
        pos += 12 + static_cast<u64L>(n);
        if (iend) {
            judge.m_bStructureClosed = n == 0;
            return n == 0 ? pos : 0;
        }
        if (pos > f.Max()) return 0;
    }
}

// ---------------------------------------------------------------------------
// GIF

namespace {

// Skips a chain of sub-blocks starting at pos; false when it runs out.
bool SkipSubBlocks(FileBytes& f, u64L& pos) {
    for (;;) {
        const unsigned char* b = f.At(pos, 1);
        if (!b) return false;
        pos += 1 + static_cast<u64L>(*b);
        if (*b == 0) return true;
        if (pos > f.Max()) return false;
    }
}

}  // namespace

unsigned long long WalkGif(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 13 || std::memcmp(buf, "GIF8", 4) != 0 || (buf[4] != '7' && buf[4] != '9') || buf[5] != 'a')
        return 0;
    FileBytes f(judge, buf, len, kPictureMax);
    u64L pos = 13;
    if (buf[10] & 0x80) pos += 3ULL << ((buf[10] & 7) + 1);
    bool image = false;
    for (;;) {
        const unsigned char* b = f.At(pos, 1);
        if (!b) return 0;
        if (*b == 0x3B) return image ? pos + 1 : 0;
        if (*b == 0x21) {
            if (!f.At(pos + 1, 1)) return 0;
            pos += 2;
            if (!SkipSubBlocks(f, pos)) return 0;
        } else if (*b == 0x2C) {
            const unsigned char* d = f.At(pos, 11);
            if (!d) return 0;
            pos += 10;
            if (d[9] & 0x80) pos += 3ULL << ((d[9] & 7) + 1);
            const unsigned char* lzw = f.At(pos, 1);
            if (!lzw || *lzw < 1 || *lzw > 12) return 0;
            ++pos;
            if (!SkipSubBlocks(f, pos)) return 0;
            image = true;
        } else {
            return 0;
        }
    }
}

// ---------------------------------------------------------------------------
// MP3

namespace {

// Length of the MPEG audio frame whose header is h, or 0 when h is not a
// frame header. key gets the fields that stay the same from frame to frame.
unsigned Mp3FrameLength(const unsigned char* h, u32& key) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const int bri = h[2] >> 4, sri = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bri == 0 || bri == 15 || sri == 3) return 0;
    static const u16 kRates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layers II, III
    };
    static const u32 kSampleRates[3] = {44100, 48000, 32000};
    const bool v1 = version == 3;
    const int table = v1 ? 3 - layer : (layer == 3 ? 3 : 4);
    const u32 rate = kRates[table][bri] * 1000u;
    const u32 sr = kSampleRates[sri] >> (v1 ? 0 : (version == 2 ? 1 : 2));
    key = static_cast<u32>(h[1] & 0xFE) << 8 | (h[2] & 0x0C);
    if (layer == 3) return (12 * rate / sr + pad) * 4;
    return (layer == 1 && !v1 ? 72 : 144) * rate / sr + pad;
}

// The MPEG audio test past the sync byte (kept out of line, so that the
// sectors without one cost no more than that byte's load).
[[gnu::noinline]] int MpegAudioTypeOf(CFileTypeJudge& j, const unsigned char* buf) {
    u32 key0 = 0, key = 0;
    if (Mp3FrameLength(buf, key0) == 0) return FT_NONE;
    // Four frames in a row with the same version, layer and sample rate;
    // one sync word alone is not enough.
    const int S = j.m_nBytesPerSector;
    if (S <= 0) return FT_NONE;
    const unsigned want = static_cast<unsigned>(std::max(1, 16384 / S));
    const unsigned got = j.ReadSectorsInto(j.ScratchBuf(), j.ScratchBufSize(), j.m_u64CurrentSector, want);
    const unsigned char* p = j.ScratchBuf();
    const size_t n = static_cast<size_t>(got) * static_cast<unsigned>(S);
    size_t pos = 0;
    for (int k = 0; k < 4; ++k) {
        if (pos + 4 > n) return FT_NONE;
        const unsigned l = Mp3FrameLength(p + pos, key);
        if (l == 0 || key != key0) return FT_NONE;
        pos += l;
    }
    const int layer = (buf[1] >> 1) & 3;
    return layer == 1 ? FT_MP3 : layer == 2 ? FT_MP2 : FT_MP1;
}

}  // namespace

int IsMpegAudioType(CFileTypeJudge& j, const unsigned char* buf, int len) {
    // Every frame header starts with a 0xFF byte.
    if (!buf || len < 4 || buf[0] != 0xFF) return FT_NONE;
    return MpegAudioTypeOf(j, buf);
}

unsigned long long WalkMp3(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    u32 key = 0;
    const bool tagged = buf && len >= 10 && std::memcmp(buf, "ID3", 3) == 0;
    if (!tagged && (!buf || len < 4 || Mp3FrameLength(buf, key) == 0)) return 0;
    FileBytes f(judge, buf, len, kAudioMax);
    // The ID3v2 tag: a synch-safe size after the 10-byte header, and a
    // footer of 10 more bytes when flag 0x10 says so.
    u64L pos = tagged ? 10 + ((static_cast<u64L>(buf[6] & 0x7F) << 21) | ((buf[7] & 0x7F) << 14) |
                              ((buf[8] & 0x7F) << 7) | (buf[9] & 0x7F))
                      : 0;
    if (tagged && (buf[5] & 0x10)) pos += 10;
    // Some writers pad after the tag's stated size.
    for (int i = 0; i < 4096; ++i) {
        const unsigned char* b = f.At(pos, 1);
        if (!b) return 0;
        if (*b != 0) break;
        ++pos;
    }
    u32 key0 = 0;
    u64L frames = 0;
    for (;;) {
        const unsigned char* h = f.At(pos, 4);
        u32 key = 0;
        const unsigned n = h ? Mp3FrameLength(h, key) : 0;
        if (n == 0 || (frames && key != key0)) break;
        if (!f.At(pos + n - 1, 1)) break;  // a frame cut by the volume end
        key0 = key;
        pos += n;
        ++frames;
    }
    if (f.Stopped() || frames < (tagged ? 2u : 4u)) return 0;
    // An APE tag, then an ID3v1 tag. A version 2 tag may start with a header
    // that gives its size; a tag without one is found by its footer, whose
    // size counts the items and the footer.
    if (const unsigned char* a = f.At(pos, 32); a && std::memcmp(a, "APETAGEX", 8) == 0 && (a[23] & 0x20)) {
        const u64L size = GetLe32(a + 12);
        const unsigned char* foot = size >= 32 ? f.At(pos + size, 32) : nullptr;  // the footer closes the tag
        if (foot && std::memcmp(foot, "APETAGEX", 8) == 0) pos += 32 + size;
    } else if (unsigned avail = 0; const unsigned char* w = f.Run(pos, avail)) {
        const unsigned look = std::min(avail, 0x4000u);
        for (unsigned q = 0; q + 32 <= look; ++q)
            if (w[q] == 'A' && std::memcmp(w + q, "APETAGEX", 8) == 0) {
                if (!(w[q + 23] & 0x20) && GetLe32(w + q + 12) == q + 32) pos += q + 32;
                break;
            }
    }
    if (const unsigned char* t = f.At(pos, 128); t && std::memcmp(t, "TAG", 3) == 0) pos += 128;
    return pos;
}

// ---------------------------------------------------------------------------
// TIFF and camera raw files

namespace {

struct Tiff {
    bool le = true;
    u16 U16(const unsigned char* p) const { return le ? GetLe16(p) : GetBe16(p); }
    u32 U32(const unsigned char* p) const { return le ? GetLe32(p) : GetBe32(p); }
};

// Size of one value of a TIFF field type; 0 for types not known here.
unsigned TiffTypeSize(u16 type) {
    static const unsigned char k[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? k[type] : 0;
}

// Header kinds of the family: byte order, or none.
int TiffHeader(const unsigned char* buf, int len, Tiff& t) {
    if (!buf || len < 8) return FT_NONE;
    if (std::memcmp(buf, "II*\0", 4) == 0) return t.le = true, FT_TIF;
    if (std::memcmp(buf, "MM\0*", 4) == 0) return t.le = false, FT_TIF;
    if (std::memcmp(buf, "IIRO", 4) == 0 || std::memcmp(buf, "IIRS", 4) == 0) return t.le = true, FT_ORF;
    if (std::memcmp(buf, "MMOR", 4) == 0) return t.le = false, FT_ORF;
    if (std::memcmp(buf, "IIU\0", 4) == 0) return t.le = true, FT_RW2;
    return FT_NONE;
}

// The raw kind that a Make text or a DNGVersion tag gives.
int KindFromMake(const unsigned char* make, unsigned n) {
    auto starts = [&](const char* s) {
        const unsigned k = static_cast<unsigned>(std::strlen(s));
        return n >= k && std::memcmp(make, s, k) == 0;
    };
    if (starts("NIKON")) return FT_NEF;
    if (starts("SONY")) return FT_ARW;
    return FT_TIF;
}

constexpr u16 kTagMake = 271, kTagStripOffsets = 273, kTagStripByteCounts = 279, kTagSubIfds = 330,
              kTagTileOffsets = 324, kTagTileByteCounts = 325, kTagJpegOffset = 513, kTagJpegLength = 514,
              kTagExifIfd = 34665, kTagGpsIfd = 34853, kTagInteropIfd = 40965, kTagDngVersion = 50706;

// Reads value i of an entry's SHORT or LONG array.
bool ArrayValue(FileBytes& f, const Tiff& t, const unsigned char* entry, u32 i, u32& v) {
    const u16 type = t.U16(entry + 2);
    const unsigned sz = type == 3 ? 2 : type == 4 || type == 13 ? 4 : 0;
    if (!sz) return false;
    const u32 count = t.U32(entry + 4);
    if (i >= count) return false;
    const unsigned char* p;
    if (static_cast<u64L>(count) * sz <= 4) p = entry + 8 + i * sz;
    else if (!(p = f.At(static_cast<u64L>(t.U32(entry + 8)) + static_cast<u64L>(i) * sz, sz))) return false;
    v = sz == 2 ? t.U16(p) : t.U32(p);
    return true;
}

// The values of an entry's SHORT or LONG array in order, taken from the
// device a window at a time: two arrays read side by side cost a read per
// window of values, not one per value, however far apart they lie.
class TiffArray {
public:
    TiffArray(FileBytes& f, const Tiff& t, const unsigned char* entry) : m_f(f), m_t(t), m_entry(entry) {
        const u16 type = t.U16(entry + 2);
        m_sz = type == 3 ? 2 : type == 4 || type == 13 ? 4 : 0;
        m_count = t.U32(entry + 4);
        m_off = t.U32(entry + 8);
    }
    bool Next(u32& v) {
        if (!m_sz || m_i >= m_count) return false;
        const unsigned char* p;
        if (static_cast<u64L>(m_count) * m_sz <= 4) {
            p = m_entry + 8 + m_i * m_sz;
        } else {
            if (m_pos + m_sz > m_buf.size() && !Fill()) return false;
            p = m_buf.data() + m_pos;
            m_pos += m_sz;
        }
        ++m_i;
        v = m_sz == 2 ? m_t.U16(p) : m_t.U32(p);
        return true;
    }

private:
    bool Fill() {
        const u64L at = m_off + static_cast<u64L>(m_i) * m_sz, left = static_cast<u64L>(m_count - m_i) * m_sz;
        int avail = 0;
        const unsigned char* p = m_f.At(at, static_cast<unsigned>(std::min<u64L>(left, m_sz)), &avail);
        if (!p) return false;
        const u64L take = std::min<u64L>(left, static_cast<u64L>(avail)) / m_sz * m_sz;
        m_buf.assign(p, p + take);
        m_pos = 0;
        return true;
    }

    FileBytes& m_f;
    const Tiff& m_t;
    const unsigned char* m_entry;
    unsigned m_sz = 0;
    u32 m_count = 0, m_i = 0;
    u64L m_off = 0;
    std::vector<unsigned char> m_buf;
    size_t m_pos = 0;
};

// What one TIFF header may cost, whatever it claims: the bytes its walk
// reads from the device (directories, arrays and the last byte's check):
// enough for the largest strip arrays a directory may have.
constexpr u64L kTiffReadBound = 16ULL << 20;

}  // namespace

int ClassifyTiff(const unsigned char* buf, int len) {
    Tiff t;
    const int kind = TiffHeader(buf, len, t);
    if (kind != FT_TIF) return kind;
    if (len >= 12 && buf[8] == 'C' && buf[9] == 'R' && t.le) return FT_CR2;
    const u32 ifd = t.U32(buf + 4);
    if (ifd < 8 || static_cast<u64L>(ifd) + 2 > static_cast<u64L>(len)) return FT_TIF;
    const u32 n = t.U16(buf + ifd);
    int found = FT_TIF;
    for (u32 i = 0; i < n && static_cast<u64L>(ifd) + 2 + 12 * (i + 1) <= static_cast<u64L>(len); ++i) {
        const unsigned char* e = buf + ifd + 2 + 12 * i;
        const u16 tag = t.U16(e);
        if (tag == kTagDngVersion) return FT_DNG;
        if (tag == kTagMake && t.U16(e + 2) == 2) {
            const u32 cnt = t.U32(e + 4);
            if (cnt <= 4) found = KindFromMake(e + 8, cnt);
            else if (t.U32(e + 8) < static_cast<u32>(len) && cnt <= static_cast<u32>(len) - t.U32(e + 8))
                found = KindFromMake(buf + t.U32(e + 8), cnt);
        }
    }
    return found;
}

unsigned long long WalkTiff(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    Tiff t;
    int kind = TiffHeader(buf, len, t);
    if (kind == FT_NONE) return 0;
    if (kind == FT_TIF && len >= 12 && buf[8] == 'C' && buf[9] == 'R' && t.le) kind = FT_CR2;
    FileBytes f(judge, buf, len, kRawMax);
    f.LimitReads(kTiffReadBound);
    std::vector<u32> todo{t.U32(buf + 4)}, seen;
    u64L end = 8;
    bool data = false, dng = false;
    int makeKind = FT_NONE;
    // At most 256 directories, each visited once.
    while (!todo.empty() && seen.size() < 256) {
        const u32 ifd = todo.back();
        todo.pop_back();
        if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) {
            if (seen.empty()) return 0;
            continue;
        }
        seen.push_back(ifd);
        const unsigned char* c = f.At(ifd, 2);
        if (!c) return 0;
        const u32 n = t.U16(c);
        if (n == 0 || n > 1000) return 0;
        const unsigned char* dir = f.At(ifd, 2 + 12 * n + 4);
        if (!dir) return 0;
        std::vector<unsigned char> d(dir, dir + 2 + 12 * n + 4);  // the window may move below
        end = std::max<u64L>(end, static_cast<u64L>(ifd) + d.size());
        const unsigned char* offs = nullptr;
        const unsigned char* lens = nullptr;
        u32 jpegOff = 0, jpegLen = 0;
        for (u32 i = 0; i < n; ++i) {
            const unsigned char* e = d.data() + 2 + 12 * i;
            const u16 tag = t.U16(e), type = t.U16(e + 2);
            const u32 count = t.U32(e + 4);
            const unsigned sz = TiffTypeSize(type);
            if (sz == 0) continue;
            const u64L bytes = static_cast<u64L>(count) * sz;
            if (bytes > 4) {
                const u64L valueEnd = static_cast<u64L>(t.U32(e + 8)) + bytes;
                if (valueEnd > f.Max()) return 0;
                end = std::max(end, valueEnd);
            }
            if (tag == kTagStripOffsets || tag == kTagTileOffsets) offs = e;
            else if (tag == kTagStripByteCounts || tag == kTagTileByteCounts) lens = e;
            else if (tag == kTagJpegOffset || tag == kTagJpegLength) {
                u32 v = 0;
                if (count == 1 && !ArrayValue(f, t, e, 0, v)) return 0;
                (tag == kTagJpegOffset ? jpegOff : jpegLen) = v;
            } else if (tag == kTagDngVersion) {
                dng = true;
            } else if (tag == kTagMake && type == 2 && makeKind == FT_NONE) {
                const unsigned char* m = count <= 4 ? e + 8 : f.At(t.U32(e + 8), std::min<u32>(count, 64));
                if (m) makeKind = KindFromMake(m, std::min<u32>(count, 64));
            } else if ((tag == kTagSubIfds || tag == kTagExifIfd || tag == kTagGpsIfd || tag == kTagInteropIfd) &&
                       (type == 4 || type == 13)) {
                for (u32 k = 0; k < count && k < 64 && todo.size() < 256; ++k) {
                    u32 sub;
                    if (!ArrayValue(f, t, e, k, sub)) return 0;
                    todo.push_back(sub);
                }
            }
        }
        if (offs && lens) {
            const u32 count = t.U32(offs + 4);
            if (count != t.U32(lens + 4) || count == 0 || count > 0x100000) return 0;
            TiffArray offsets(f, t, offs), lengths(f, t, lens);
            for (u32 k = 0; k < count; ++k) {
                u32 o, l;
                if (!offsets.Next(o) || !lengths.Next(l)) return 0;
                if (l == 0) return 0;  // a strip of unknown length: the end cannot be known
                const u64L stripEnd = static_cast<u64L>(o) + l;
                if (stripEnd > f.Max()) return 0;
                end = std::max(end, stripEnd);
            }
            data = true;
        } else if (offs || lens) {
            return 0;
        }
        if (jpegOff && jpegLen) {
            const u64L jpegEnd = static_cast<u64L>(jpegOff) + jpegLen;
            if (jpegEnd > f.Max()) return 0;
            end = std::max(end, jpegEnd);
        }
        // The next directory of the chain.
        const u32 next = t.U32(d.data() + 2 + 12 * n);
        if (next) todo.push_back(next);
    }
    if (kind == FT_TIF) kind = dng ? static_cast<int>(FT_DNG) : makeKind == FT_NONE ? static_cast<int>(FT_TIF) : makeKind;
    judge.m_nNamedType = static_cast<u32>(kind);
    if (f.Stopped() || !data) return 0;
    // The last byte must be on the volume.
    return f.At(end - 1, 1) ? end : 0;
}

// ---------------------------------------------------------------------------
// PSD

unsigned long long WalkPsd(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 30 || std::memcmp(buf, "8BPS", 4) != 0) return 0;
    const u16 version = GetBe16(buf + 4);
    if (version != 1 && version != 2) return 0;
    for (int i = 6; i < 12; ++i)
        if (buf[i] != 0) return 0;
    const u32 channels = GetBe16(buf + 12), height = GetBe32(buf + 14), width = GetBe32(buf + 18);
    const u32 depth = GetBe16(buf + 22), mode = GetBe16(buf + 24);
    const u32 maxSide = version == 1 ? 30000 : 300000;
    if (channels < 1 || channels > 56 || height < 1 || width < 1 || height > maxSide || width > maxSide) return 0;
    if ((depth != 1 && depth != 8 && depth != 16 && depth != 32) || mode > 9) return 0;
    FileBytes f(judge, buf, len, kRawMax);
    u64L pos = 26;
    // Colour-mode data and image resources: 32-bit lengths; layers and
    // masks: 32-bit in PSD, 64-bit in PSB.
    for (int section = 0; section < 3; ++section) {
        const bool wide = section == 2 && version == 2;
        const unsigned char* l = f.At(pos, wide ? 8 : 4);
        if (!l) return 0;
        const u64L n = wide ? (static_cast<u64L>(GetBe32(l)) << 32 | GetBe32(l + 4)) : GetBe32(l);
        pos += (wide ? 8 : 4) + n;
        if (pos > f.Max()) return 0;
    }
    const unsigned char* c = f.At(pos, 2);
    if (!c) return 0;
    const u16 compression = GetBe16(c);
    pos += 2;
    const u64L rows = static_cast<u64L>(channels) * height;
    if (compression == 0) {
        pos += rows * ((static_cast<u64L>(width) * depth + 7) / 8);
    } else if (compression == 1) {
        // A table of the compressed length of every row comes first.
        const unsigned w = version == 1 ? 2 : 4;
        u64L data = 0;
        for (u64L r = 0; r < rows; ++r) {
            const unsigned char* e = f.At(pos + r * w, w);
            if (!e) return 0;
            data += w == 2 ? GetBe16(e) : GetBe32(e);
        }
        pos += rows * w + data;
    } else {
        return 0;  // ZIP-compressed data has no length of its own
    }
    if (pos > f.Max() || f.Stopped()) return 0;
    return f.At(pos - 1, 1) ? pos : 0;
}

// ---------------------------------------------------------------------------
// PDF

unsigned long long WalkLinearizedPdf(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 16) return 0;
    const int n = std::min(len, 1024);
    const unsigned char* lin = nullptr;
    for (int p = 0; p + 11 <= n && !lin; ++p)
        if (buf[p] == '/' && std::memcmp(buf + p, "/Linearized", 11) == 0) lin = buf + p;
    if (!lin) return 0;
    // "/L <length>" in the same dictionary.
    const unsigned char* endDict = buf + n;
    for (const unsigned char* p = lin; p + 3 < endDict; ++p) {
        if (p[0] == '>' && p[1] == '>') return 0;
        if (p[0] != '/' || p[1] != 'L' || (p[2] != ' ' && p[2] != '\r' && p[2] != '\n')) continue;
        u64L size = 0;
        const unsigned char* q = p + 2;
        while (q < endDict && (*q == ' ' || *q == '\r' || *q == '\n')) ++q;
        int digits = 0;
        while (q < endDict && *q >= '0' && *q <= '9' && digits < 12) size = size * 10 + (*q++ - '0'), ++digits;
        if (digits == 0 || size < 64 || size > 0x40000000ULL) return 0;
        // The stated end must close with %%EOF and its end of line.
        FileBytes f(judge, buf, len, size);
        const unsigned char* tail = f.At(size - 32, 32);
        if (!tail) return 0;
        for (int k = 32 - 5; k >= 20; --k)
            if (std::memcmp(tail + k, "%%EOF", 5) == 0) {
                for (int e = k + 5; e < 32; ++e)
                    if (tail[e] != '\r' && tail[e] != '\n' && tail[e] != ' ') return 0;
                return size;
            }
        return 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// SQLite and FLV

unsigned long long WalkSqlite(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 100 || std::memcmp(buf, "SQLite format 3\0", 16) != 0) return 0;
    // The page count in the header is valid while the change counter and
    // the version-valid-for number agree.
    const u32 pageSize = GetBe16(buf + 16) == 1 ? 65536 : GetBe16(buf + 16);
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return 0;
    const u32 pages = GetBe32(buf + 28);
    if (pages == 0 || GetBe32(buf + 24) != GetBe32(buf + 92)) return 0;
    const u64L size = static_cast<u64L>(pageSize) * pages;
    FileBytes f(judge, buf, len, 0x180000000ULL);
    return f.At(size - 1, 1) ? size : 0;
}

unsigned long long WalkFlv(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 16 || std::memcmp(buf, "FLV\x01", 4) != 0 || GetBe32(buf + 5) != 9 || GetBe32(buf + 9) != 0) return 0;
    FileBytes f(judge, buf, len, 0x100000000ULL);
    u64L pos = 13, tags = 0;
    for (;;) {
        // A tag: type, 24-bit data size, timestamp, stream id 0, the data,
        // then the tag's whole size again.
        const unsigned char* h = f.At(pos, 11);
        if (!h) break;
        const unsigned type = h[0] & 0x1F;
        if ((type != 8 && type != 9 && type != 18) || (h[0] & 0xC0) || h[8] || h[9] || h[10]) break;
        const u64L size = static_cast<u64L>(h[1]) << 16 | h[2] << 8 | h[3];
        const unsigned char* back = f.At(pos + 11 + size, 4);
        if (!back || GetBe32(back) != 11 + size) break;
        pos += 15 + size;
        ++tags;
    }
    return tags && !f.Stopped() ? pos : 0;
}

// ---------------------------------------------------------------------------
// RealMedia, MXF and MMF

unsigned long long WalkRealMedia(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 18 || std::memcmp(buf, ".RMF", 4) != 0 || GetBe32(buf + 4) < 18) return 0;
    FileBytes f(judge, buf, len, 0x100000000ULL);
    // Chunks: a four-character name and a 32-bit size that counts the
    // chunk's own header; the file ends where no chunk follows.
    u64L pos = 0;
    bool data = false;
    auto known = [](const unsigned char* h) {
        static const char* const kNames[] = {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX", "RMMD", "RJMD"};
        for (const char* n : kNames)
            if (std::memcmp(h, n, 4) == 0) return true;
        return false;
    };
    for (int chunks = 0;; ++chunks) {
        const unsigned char* h = f.At(pos, 18);
        if (!h) break;
        u64L size = GetBe32(h + 4);
        if (!known(h) || size < 10 || (chunks == 0) != (std::memcmp(h, ".RMF", 4) == 0)) break;
        if (std::memcmp(h, "DATA", 4) == 0) {
            data = true;
            // Some muxers state the last data chunk ten bytes longer than
            // the file: its packets (each with its own length) and the
            // 8 zero bytes that close the file end ten bytes before.
            const u64L packets = GetBe32(h + 10);
            u64L q = pos + 18, i = 0;
            for (; i < packets && i <= size / 12 && q < pos + size; ++i) {
                const unsigned char* ph = f.At(q, 4);
                if (!ph || GetBe16(ph + 2) < 12) break;
                q += GetBe16(ph + 2);
            }
            const unsigned char* z = i == packets ? f.At(q, 8) : nullptr;
            if (z && q + 18 == pos + size && GetBe32(z) == 0 && GetBe32(z + 4) == 0) size -= 10;
        }
        pos += size;
        if (pos > f.Max()) return 0;
    }
    return data && !f.Stopped() && f.At(pos - 1, 1) ? pos : 0;
}

unsigned long long WalkMxf(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    static const unsigned char key[4] = {0x06, 0x0E, 0x2B, 0x34};
    if (!buf || len < 20 || std::memcmp(buf, key, 4) != 0) return 0;
    FileBytes f(judge, buf, len, 0x100000000ULL);
    // Key-length-value triplets: a 16-byte key with the SMPTE prefix, a BER
    // length, the value.
    u64L pos = 0, items = 0;
    for (;;) {
        const unsigned char* k = f.At(pos, 17);
        if (!k || std::memcmp(k, key, 4) != 0) break;
        u64L n = k[16];
        unsigned head = 17;
        if (n >= 0x80) {
            const unsigned bytes = n & 0x7F;
            const unsigned char* l = bytes >= 1 && bytes <= 8 ? f.At(pos + 17, bytes) : nullptr;
            if (!l) break;
            n = 0;
            for (unsigned i = 0; i < bytes; ++i) n = n << 8 | l[i];
            head += bytes;
        }
        if (n > f.Max() || pos + head + n > f.Max() || !f.At(pos + head + n - 1, 1)) break;
        pos += head + n;
        ++items;
    }
    return items >= 2 && !f.Stopped() ? pos : 0;
}

// ---------------------------------------------------------------------------
// MPEG program streams

unsigned long long WalkMpegPs(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    static const unsigned char pack[4] = {0, 0, 1, 0xBA};
    if (!buf || len < 16 || std::memcmp(buf, pack, 4) != 0) return 0;
    FileBytes f(judge, buf, len, 0x100000000ULL);
    // Pack headers (MPEG-1: 12 bytes; MPEG-2: 14 and stuffing), then the
    // system header and PES packets with their 16-bit lengths, up to the
    // program end code or the first bytes that start nothing.
    u64L pos = 0, packs = 0;
    for (;;) {
        const unsigned char* h = f.At(pos, 14);
        if (!h || h[0] || h[1] || h[2] != 1) break;
        if (h[3] == 0xB9) {
            pos += 4;
            break;
        }
        if (h[3] == 0xBA) {
            if ((h[4] >> 6) == 1) pos += 14 + (h[13] & 7);
            else if ((h[4] >> 4) == 2) pos += 12;
            else break;
            ++packs;
        } else if (h[3] >= 0xBB) {
            pos += 6 + static_cast<u64L>(GetBe16(h + 4));
        } else {
            break;
        }
    }
    return packs >= 2 && !f.Stopped() && f.At(pos - 1, 1) ? pos : 0;
}

// ---------------------------------------------------------------------------
// ZIP

bool ZipEndOfArchive(const unsigned char* w, int bytes, int p, unsigned long long fileOffset,
                     unsigned long long& end) {
    if (!w || p < 0 || p + 22 > bytes || std::memcmp(w + p, "PK\x05\x06", 4) != 0) return false;
    const u32 cdSize = GetLe32(w + p + 12), cdOffset = GetLe32(w + p + 16);
    const u16 comment = GetLe16(w + p + 20);
    const bool zip64 = cdSize == 0xFFFFFFFFu || cdOffset == 0xFFFFFFFFu || GetLe16(w + p + 10) == 0xFFFF;
    if (!zip64) {
        if (GetLe16(w + p + 4) != 0 || GetLe16(w + p + 6) != 0 || GetLe16(w + p + 8) != GetLe16(w + p + 10)) return false;
        if (static_cast<u64L>(cdOffset) + cdSize != fileOffset) return false;
    }
    end = fileOffset + 22 + comment;
    return true;
}

// ---------------------------------------------------------------------------
// Camera raw rows

namespace {

int RawRow(const unsigned char* buf, int len, int want) {
    const int kind = ClassifyTiff(buf, len);
    // Make and DNG tags outside the first sector cannot be seen here: a
    // plain TIFF header is taken to match a Make-named raw extension.
    if (kind == want) return want;
    if (kind == FT_TIF && (want == FT_NEF || want == FT_ARW || want == FT_DNG)) return want;
    return FT_NONE;
}

// A plausible first IFD for the raw kinds with their own magic: at least one
// entry, at most 1000, when the entry count lies within the buffer.
bool FirstIfdPlausible(const unsigned char* buf, int len, bool le) {
    if (len < 8) return false;
    const u32 ifd = le ? GetLe32(buf + 4) : GetBe32(buf + 4);
    if (ifd < 8 || ifd > 0x100000) return false;
    if (static_cast<u64L>(ifd) + 2 > static_cast<u64L>(len)) return true;
    const u16 n = le ? GetLe16(buf + ifd) : GetBe16(buf + ifd);
    return n >= 1 && n <= 1000;
}

}  // namespace

int IsCr2Type(CFileTypeJudge&, const unsigned char* buf, int len) { return RawRow(buf, len, FT_CR2); }
int IsNefType(CFileTypeJudge&, const unsigned char* buf, int len) { return RawRow(buf, len, FT_NEF); }
int IsArwType(CFileTypeJudge&, const unsigned char* buf, int len) { return RawRow(buf, len, FT_ARW); }
int IsDngType(CFileTypeJudge&, const unsigned char* buf, int len) { return RawRow(buf, len, FT_DNG); }
int IsOrfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (RawRow(buf, len, FT_ORF) != FT_ORF) return FT_NONE;
    return FirstIfdPlausible(buf, len, buf[0] == 'I') ? FT_ORF : FT_NONE;
}
int IsRw2Type(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (RawRow(buf, len, FT_RW2) != FT_RW2) return FT_NONE;
    return FirstIfdPlausible(buf, len, true) ? FT_RW2 : FT_NONE;
}

// ---------------------------------------------------------------------------
// Length rules of the rows that walk first

FR_LENGTH_RULE(GetTIFFFileBytesSize) {
    if (u64L n = WalkTiff(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return GetDefaultPictureFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetFLVFileBytesSize) {
    if (u64L n = WalkFlv(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return GetDefaultVedioFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetMXFFileBytesSize) {
    if (u64L n = WalkMxf(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return GetDefaultVedioFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetMMFFileBytesSize) {
    // "MMMD" and the size of what follows the first 8 bytes.
    if (buf && len >= 8) {
        const u64L size = 8ULL + GetBe32(buf + 4);
        FileBytes f(judge, buf, len, 0x10000000ULL);
        if (size > 8 && f.At(size - 1, 1)) return size;
    }
    if (judge.m_ErrorCode) return 0;
    return GetDefaultAudioFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetPSDFileBytesSize) {
    if (u64L n = WalkPsd(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return GetDefaultPictureFileBytesSize(judge, buf, len);
}
