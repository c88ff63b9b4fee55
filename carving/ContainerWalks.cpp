#include "carving/ContainerWalks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "carving/WalkBytes.h"
#include "core/ByteOrder.h"

namespace {

using u64L = unsigned long long;

inline u32 GetBe24(const unsigned char* p) { return (static_cast<u32>(GetBe16(p)) << 8) | p[2]; }
inline u64 GetBe64(const unsigned char* p) { return (static_cast<u64>(GetBe32(p)) << 32) | GetBe32(p + 4); }

inline bool Is4(const unsigned char* p, const char* s) { return std::memcmp(p, s, 4) == 0; }

// Four printable ASCII characters: a chunk or box name.
bool IsFourcc(const unsigned char* p) {
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    return true;
}

constexpr u64L kMiB = 1ULL << 20;

// ---------------------------------------------------------------------------
// ISO base media

bool IsTopLevelBox(const unsigned char* t) {
    static const char* const kTypes[] = {"moov", "mdat", "free", "skip", "wide", "meta", "uuid", "pdin", "moof",
                                         "mfra", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "udta"};
    for (const char* k : kTypes)
        if (Is4(t, k)) return true;
    return false;
}

bool IsBrand(const unsigned char* b, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (Is4(b, n)) return true;
    return false;
}

// The type an ftyp box names by its brands, or FT_NONE.
int IsoBrandType(const unsigned char* ftyp, u32 size) {
    const unsigned char* major = ftyp + 8;
    if (IsBrand(major, {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"})) return FT_HEIC;
    if (IsBrand(major, {"avif", "avis"})) return FT_AVIF;
    if (Is4(major, "crx ")) return FT_CR3;
    if (Is4(major, "M4A ")) return FT_M4A;
    if (IsBrand(major, {"M4V ", "M4VH", "M4VP"})) return FT_M4V;
    if (IsBrand(major, {"mif1", "msf1", "miaf"})) {
        // Generic HEIF: an AVIF when a compatible brand says so.
        for (u32 o = 16; o + 4 <= size; o += 4)
            if (IsBrand(ftyp + o, {"avif", "avis"})) return FT_AVIF;
        return FT_HEIC;
    }
    return FT_NONE;
}

// The payload of a box among a container's payload, or null.
const unsigned char* FindBox(const unsigned char* p, u64L n, const char* type, u64L& size) {
    for (u64L at = 0; at + 8 <= n;) {
        const u64L s = GetBe32(p + at);
        if (s < 8 || s > n - at) return nullptr;
        if (Is4(p + at + 4, type)) return size = s - 8, p + at + 8;
        at += s;
    }
    return nullptr;
}

// Where the data of one sample table (stbl) ends: the furthest chunk
// offset plus the bytes of that chunk's samples; 0 when the tables do not
// agree with one another.
u64L SampleTableEnd(const unsigned char* stbl, u64L n) {
    u64L nsc = 0, nsz = 0, nco = 0;
    const unsigned char* sc = FindBox(stbl, n, "stsc", nsc);
    const unsigned char* sz = FindBox(stbl, n, "stsz", nsz);
    const unsigned char* co = FindBox(stbl, n, "stco", nco);
    const bool wide = !co;
    if (wide) co = FindBox(stbl, n, "co64", nco);
    if (!sc || !sz || !co || nsc < 8 || nsz < 12 || nco < 8) return 0;
    const u64L runs = GetBe32(sc + 4), fixed = GetBe32(sz + 4), samples = GetBe32(sz + 8), chunks = GetBe32(co + 4);
    if (runs * 12 > nsc - 8 || (!fixed && samples * 4 > nsz - 12) || chunks * (wide ? 8 : 4) > nco - 8) return 0;
    u64L end = 0, sample = 0, run = 0;
    for (u64L c = 1; c <= chunks; ++c) {
        while (run + 1 < runs && GetBe32(sc + 8 + 12 * (run + 1)) <= c) ++run;
        if (runs == 0 || GetBe32(sc + 8 + 12 * run) > c) return 0;
        const u64L per = GetBe32(sc + 8 + 12 * run + 4);
        if (per > samples - sample || (fixed && per > (1ULL << 48) / fixed)) return 0;
        u64L bytes = fixed * per;
        for (u64L k = 0; !fixed && k < per; ++k) bytes += GetBe32(sz + 12 + 4 * (sample + k));
        sample += per;
        const u64L at = wide ? GetBe64(co + 8 + 8 * (c - 1)) : GetBe32(co + 8 + 4 * (c - 1));
        if (at > (1ULL << 48)) return 0;
        end = std::max(end, at + bytes);
    }
    return end;
}

// Where the media data a movie box (moov, payload at off) describes ends:
// the furthest end over its tracks' sample tables, or 0 when it describes
// none or cannot be read whole.
u64L MovieDataEnd(FileBytes& f, u64L off, u64L n) {
    constexpr u64L kMaxMovieBox = 16 * kMiB;
    if (n > kMaxMovieBox) return 0;
    std::vector<unsigned char> moov;
    moov.reserve(n);
    while (moov.size() < n) {
        int avail = 0;
        const unsigned char* p = f.At(off + moov.size(), 1, &avail);
        if (!p) return 0;
        moov.insert(moov.end(), p, p + std::min<u64L>(static_cast<u64L>(avail), n - moov.size()));
    }
    u64L end = 0;
    for (u64L at = 0; at + 8 <= n;) {
        const u64L s = GetBe32(moov.data() + at);
        if (s < 8 || s > n - at) break;
        u64L k = s - 8;
        const unsigned char* p = moov.data() + at + 8;
        if (Is4(moov.data() + at + 4, "trak")) {
            for (const char* inner : {"mdia", "minf", "stbl"}) p = p ? FindBox(p, k, inner, k) : nullptr;
            if (p) end = std::max(end, SampleTableEnd(p, k));
        }
        at += s;
    }
    return end;
}

}  // namespace

int IsIsoMediaType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 32 || !Is4(buf + 4, "ftyp")) return FT_NONE;
    const u32 size = GetBe32(buf);
    if (size < 16 || size % 4 != 0 || size > static_cast<u32>(std::min(len, 512))) return FT_NONE;
    for (u32 o = 8; o < size; o += 4)
        if (o != 12 && !IsFourcc(buf + o)) return FT_NONE;  // 12: the minor version
    const int code = IsoBrandType(buf, size);
    if (code == FT_NONE) return FT_NONE;
    // The box after ftyp, when the sector holds it, is a top-level box.
    if (size + 8 <= static_cast<u32>(len) && !IsTopLevelBox(buf + size + 4)) return FT_NONE;
    return code;
}

unsigned long long WalkIsoBoxes(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    constexpr int kMaxBoxes = 1 << 20;
    FileBytes f(judge, buf, len);
    const u64L room = f.Room();
    u64L off = 0;
    bool index = false;  // moov, meta or moof: the file can be read
    // With a movie box read, the data it describes ends the file, whatever
    // the boxes after it say (an mdat that runs to the stream's end or past
    // the volume, or zeros inside it).
    u64L described = 0;
    auto end = [&](u64L walked) {
        return described && described <= room && f.At(described - 1, 1) ? std::max(walked, described) : walked;
    };
    for (int n = 0; n < kMaxBoxes; ++n) {
        if (off == room) break;
        const unsigned char* b = f.At(off, 8);
        if (!b) {
            if (f.Stopped()) return 0;
            break;
        }
        u64L size = GetBe32(b);
        u64L head = 8;
        char type[4];
        std::memcpy(type, b + 4, 4);
        const unsigned char* t = reinterpret_cast<const unsigned char*>(type);
        if (n == 0 ? !Is4(t, "ftyp") : !IsTopLevelBox(t)) break;  // the file ended before this
        if (size == 1) {
            b = f.At(off, 16);
            if (!b) return f.Stopped() ? 0 : end(0);
            size = GetBe64(b + 8);
            head = 16;
        } else if (size == 0) {
            return end(0);  // runs to the end of a stream that is not known here
        }
        if (size < head) return end(0);
        if (size > room - off) return end(0);  // past the volume: cut short or not a box
        if (Is4(t, "moov") || Is4(t, "meta") || Is4(t, "moof")) index = true;
        if (Is4(t, "moov") && !described) described = MovieDataEnd(f, off + head, size - head);
        if (f.Stopped()) return 0;
        // Box payloads are the audio and video data; free and skip boxes
        // are space kept for later (zeros, often), not data.
        if (size > kMiB && !Is4(t, "free") && !Is4(t, "skip")) {
            const u64L z = ZeroRunStart(f, judge.m_nBytesPerSector, off + head, off + size);
            if (f.Stopped()) return 0;
            if (z < off + size) return end(index ? z : 0);
        }
        off += size;
    }
    return end(index ? off : 0);
}

// ---------------------------------------------------------------------------
// RIFF and AIFF

namespace {

// The chunks of one RIFF or FORM container at base: its end (with the last
// chunk's pad byte where the chain has one), or 0 when the chain does not
// land on the container's end.
u64L ChunkChainEnd(FileBytes& f, u64L base, bool bigEndian) {
    constexpr int kMaxChunks = 1 << 16;
    const unsigned char* h = f.At(base, 12);
    if (!h) return 0;
    const u64L total = static_cast<u64L>(bigEndian ? GetBe32(h + 4) : GetLe32(h + 4)) + 8;
    if (total < 12 + 8 || total > f.Room() - base) return 0;
    u64L off = 12;
    for (int n = 0; off + 8 <= total; ++n) {
        const unsigned char* c = f.At(base + off, 8);
        if (n >= kMaxChunks || !c || !IsFourcc(c)) return 0;
        const u64L size = bigEndian ? GetBe32(c + 4) : GetLe32(c + 4);
        off += 8 + size + (size & 1);
    }
    // The last chunk's pad byte may lie outside the container's count.
    if (off != total && off != total + 1) return 0;
    return base + std::min(off, f.Room() - base);
}

}  // namespace

unsigned long long WalkRiffChunks(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    FileBytes f(judge, buf, len);
    const unsigned char* h = f.At(0, 12);
    if (!h || !Is4(h, "RIFF")) return 0;
    const bool avi = Is4(h + 8, "AVI ");
    u64L end = ChunkChainEnd(f, 0, false);
    if (!end) return 0;
    // An AVI over 1 GiB goes on in further RIFF AVIX containers.
    for (int n = 0; avi && n < 4096; ++n) {
        const unsigned char* x = f.At(end, 12);
        if (!x || !Is4(x, "RIFF") || !Is4(x + 8, "AVIX")) break;
        const u64L next = ChunkChainEnd(f, end, false);
        if (!next) break;
        end = next;
    }
    if (avi) {
        const u64L z = ZeroRunStart(f, judge.m_nBytesPerSector, 12, end);
        if (f.Stopped()) return 0;
        end = z;
    }
    return end;
}

int IsWebpType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 20 || !Is4(buf, "RIFF") || !Is4(buf + 8, "WEBP")) return FT_NONE;
    if (!Is4(buf + 12, "VP8 ") && !Is4(buf + 12, "VP8L") && !Is4(buf + 12, "VP8X")) return FT_NONE;
    return static_cast<u64L>(GetLe32(buf + 16)) + 8 + 4 <= GetLe32(buf + 4) ? FT_WEBP : FT_NONE;
}

int IsAiffType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 20 || !Is4(buf, "FORM")) return FT_NONE;
    if (!Is4(buf + 8, "AIFF") && !Is4(buf + 8, "AIFC")) return FT_NONE;
    if (!IsFourcc(buf + 12)) return FT_NONE;
    return static_cast<u64L>(GetBe32(buf + 16)) + 8 + 4 <= GetBe32(buf + 4) ? FT_AIFF : FT_NONE;
}

unsigned long long WalkAiffChunks(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    FileBytes f(judge, buf, len);
    const unsigned char* h = f.At(0, 12);
    if (!h || !Is4(h, "FORM")) return 0;
    return ChunkChainEnd(f, 0, true);
}

// ---------------------------------------------------------------------------
// Ogg

namespace {

// The Ogg checksum (polynomial 0x04C11DB7, most significant bit first),
// four bytes a step.
using OggCrcTables = std::array<std::array<u32, 256>, 4>;
constexpr OggCrcTables MakeOggCrcTables() {
    OggCrcTables t{};
    for (u32 i = 0; i < 256; ++i) {
        u32 r = i << 24;
        for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[0][i] = r;
    }
    for (int k = 1; k < 4; ++k)
        for (u32 i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}
constexpr OggCrcTables kOggCrc = MakeOggCrcTables();

u32 OggCrc(u32 crc, const unsigned char* p, u64L n) {
    u64L i = 0;
    for (; i + 4 <= n; i += 4) {
        crc ^= GetBe32(p + i);
        crc = kOggCrc[3][crc >> 24] ^ kOggCrc[2][(crc >> 16) & 0xFF] ^ kOggCrc[1][(crc >> 8) & 0xFF] ^
              kOggCrc[0][crc & 0xFF];
    }
    for (; i < n; ++i) crc = (crc << 8) ^ kOggCrc[0][((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

// Whether the page of n bytes at off carries its own checksum (computed
// with the checksum field as zeros).
bool OggPageCrcHolds(FileBytes& f, u64L off, u64L n) {
    const unsigned char* h = f.At(off, 27);
    if (!h || n < 27) return false;
    unsigned char head[27];
    std::memcpy(head, h, 27);
    const u32 want = GetLe32(head + 22);
    std::memset(head + 22, 0, 4);
    u32 crc = OggCrc(0, head, 27);
    for (u64L i = 27; i < n;) {
        int avail = 0;
        const unsigned char* p = f.At(off + i, 1, &avail);
        if (!p) return false;
        const u64L take = std::min<u64L>(static_cast<u64L>(avail), n - i);
        crc = OggCrc(crc, p, take);
        i += take;
    }
    return crc == want;
}

}  // namespace

int IsOggType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 28 || !Is4(buf, "OggS") || buf[4] != 0) return FT_NONE;
    // The first page of a stream: beginning of stream, position 0, page 0.
    if (buf[5] != 0x02 && buf[5] != 0x06) return FT_NONE;
    for (int i = 6; i < 14; ++i)
        if (buf[i]) return FT_NONE;
    if (GetLe32(buf + 18) != 0) return FT_NONE;
    const int segs = buf[26];
    const int at = 27 + segs;
    if (segs == 0 || at + 8 > len || buf[27] < 8) return FT_NONE;
    const unsigned char* id = buf + at;
    if (std::memcmp(id, "OpusHead", 8) == 0) return FT_OPUS;
    if (std::memcmp(id, "\x01vorbis", 7) == 0 || std::memcmp(id, "\x7F" "FLAC", 5) == 0 ||
        std::memcmp(id, "Speex   ", 8) == 0)
        return FT_OGG;
    return FT_NONE;
}

unsigned long long WalkOggPages(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    constexpr int kMaxPages = 1 << 24;
    constexpr size_t kMaxStreams = 32;
    struct Stream {
        u32 serial, next;
        bool open;
    };
    std::vector<Stream> streams;
    FileBytes f(judge, buf, len);
    const u64L room = f.Room();
    u64L off = 0;
    int pages = 0;
    for (; pages < kMaxPages; ++pages) {
        const unsigned char* h = f.At(off, 27);
        if (!h || !Is4(h, "OggS") || h[4] != 0 || (h[5] & ~7) != 0) break;
        const int segs = h[26];
        const u32 serial = GetLe32(h + 14), seq = GetLe32(h + 18);
        const unsigned char flags = h[5];
        u64L bytes = 27 + static_cast<u64L>(segs);
        if (segs) {
            const unsigned char* lace = f.At(off + 27, segs);
            if (!lace) break;
            for (int i = 0; i < segs; ++i) bytes += lace[i];
        }
        if (bytes > room - off) break;
        auto it = std::find_if(streams.begin(), streams.end(), [&](const Stream& s) { return s.serial == serial; });
        if (flags & 0x02) {
            if (it != streams.end() || streams.size() >= kMaxStreams || seq != 0) break;
            streams.push_back({serial, 1, true});
            it = streams.end() - 1;
        } else {
            if (it == streams.end() || !it->open || it->next != seq) break;  // another stream's page
            ++it->next;
        }
        if (flags & 0x04) {
            // The last page of a stream: its checksum decides.
            if (!OggPageCrcHolds(f, off, bytes)) break;
            it->open = false;
        }
        off += bytes;
        if (std::none_of(streams.begin(), streams.end(), [](const Stream& s) { return s.open; })) return off;
    }
    if (f.Stopped()) return 0;
    // A stream cut short: its last whole page, once the headers are past.
    return pages >= 3 ? off : 0;
}

// ---------------------------------------------------------------------------
// FLAC

namespace {

struct StreamInfo {
    u32 minBlock, maxBlock, minFrame, maxFrame, rate, channels, bits;
    u64 samples;
};

StreamInfo ParseStreamInfo(const unsigned char* si) {
    const u64 x = GetBe64(si + 10);
    return {GetBe16(si),
            GetBe16(si + 2),
            GetBe24(si + 4),
            GetBe24(si + 7),
            static_cast<u32>(x >> 44),
            static_cast<u32>((x >> 41) & 7) + 1,
            static_cast<u32>((x >> 36) & 31) + 1,
            x & 0xFFFFFFFFFULL};
}

unsigned char Crc8(const unsigned char* p, int n) {
    unsigned char c = 0;
    for (int i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = static_cast<unsigned char>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    }
    return c;
}

constexpr std::array<u16, 256> MakeCrc16Table() {
    std::array<u16, 256> t{};
    for (u32 i = 0; i < 256; ++i) {
        u32 r = i << 8;
        for (int k = 0; k < 8; ++k) r = (r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1;
        t[i] = static_cast<u16>(r);
    }
    return t;
}
constexpr std::array<u16, 256> kCrc16 = MakeCrc16Table();

struct FrameHead {
    int length;      // bytes of the header
    u32 block;       // samples in the frame
    u64 number;      // frame number, or first sample's number
    bool variable;   // variable block sizes: number counts samples
};

// A valid frame header at p (avail bytes) that agrees with the stream's
// parameters; length 0 when there is none.
FrameHead ParseFrameHead(const unsigned char* p, int avail, const StreamInfo& si) {
    FrameHead fh{0, 0, 0, false};
    if (avail < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return fh;
    const int bs = p[2] >> 4, sr = p[2] & 15, ch = p[3] >> 4, ss = (p[3] >> 1) & 7;
    if (bs == 0 || sr == 15 || ch > 10 || ss == 3 || (p[3] & 1)) return fh;
    if ((ch < 8 ? static_cast<u32>(ch) + 1 : 2u) != si.channels) return fh;
    static const u32 kBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    if (ss != 0 && kBits[ss] != si.bits) return fh;
    // The frame or sample number, coded like UTF-8.
    const unsigned char c = p[4];
    int n;
    u64 number;
    if (c < 0x80) n = 1, number = c;
    else if ((c & 0xE0) == 0xC0) n = 2, number = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 3, number = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 4, number = c & 0x07;
    else if ((c & 0xFC) == 0xF8) n = 5, number = c & 0x03;
    else if ((c & 0xFE) == 0xFC) n = 6, number = c & 0x01;
    else if (c == 0xFE) n = 7, number = 0;
    else return fh;
    int at = 4 + n;
    if (at + 5 > avail) return fh;
    for (int i = 5; i < at; ++i) {
        if ((p[i] & 0xC0) != 0x80) return fh;
        number = (number << 6) | (p[i] & 0x3F);
    }
    u32 block;
    if (bs == 1) block = 192;
    else if (bs <= 5) block = 576u << (bs - 2);
    else if (bs == 6) block = p[at++] + 1u;
    else if (bs == 7) block = GetBe16(p + at) + 1u, at += 2;
    else block = 256u << (bs - 8);
    if (sr == 12) at += 1;
    else if (sr == 13 || sr == 14) at += 2;
    if (si.maxBlock >= 16 && block > si.maxBlock) return fh;
    if (Crc8(p, at) != p[at]) return fh;
    return {at + 1, block, number, (p[1] & 1) != 0};
}

}  // namespace

int IsFlacType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 42 || !Is4(buf, "fLaC") || (buf[4] & 0x7F) != 0 || GetBe24(buf + 5) != 34) return FT_NONE;
    const StreamInfo si = ParseStreamInfo(buf + 8);
    if (si.minBlock < 16 || si.maxBlock < si.minBlock || si.rate == 0) return FT_NONE;
    if (si.maxFrame != 0 && si.minFrame > si.maxFrame) return FT_NONE;
    return FT_FLAC;
}

unsigned long long WalkFlacStream(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    constexpr int kMaxBlocks = 4096;
    constexpr u64L kMaxFrameBytes = 16 * kMiB;
    FileBytes f(judge, buf, len);
    const u64L room = f.Room();
    const unsigned char* h = f.At(0, 42);
    if (!h || !Is4(h, "fLaC") || (h[4] & 0x7F) != 0 || GetBe24(h + 5) != 34) return 0;
    const StreamInfo si = ParseStreamInfo(h + 8);
    // Metadata blocks, up to the one marked last.
    u64L off = 4;
    for (int n = 0;; ++n) {
        const unsigned char* b = f.At(off, 4);
        if (n >= kMaxBlocks || !b || (n > 0 && ((b[0] & 0x7F) == 0 || (b[0] & 0x7F) == 127))) return 0;
        const bool last = b[0] & 0x80;
        off += 4 + static_cast<u64L>(GetBe24(b + 1));
        if (off > room) return 0;
        if (last) break;
    }
    // Frames: each one ends where the next one's header begins (its sync
    // code, CRC-8 and the next frame or sample number); the last one where
    // its CRC-16 holds, once the stream's samples are all counted or when
    // no frame follows.
    u64L end = 0;
    u64 samples = 0;
    const u64L longest = si.maxFrame ? si.maxFrame : kMaxFrameBytes;
    auto headAt = [&](u64L at) {
        int avail = 0;
        const int want = static_cast<int>(std::min<u64L>(16, room - at));
        const unsigned char* p = want > 0 ? f.At(at, want, &avail) : nullptr;
        return p ? ParseFrameHead(p, avail, si) : FrameHead{0, 0, 0, false};
    };
    for (FrameHead cur = headAt(off); cur.length;) {
        samples += cur.block;
        const bool last = si.samples && samples >= si.samples;
        const u64L minEnd = off + std::max<u64L>(static_cast<u64L>(cur.length) + 2, si.minFrame);
        const u64L limit = std::min(room, off + longest);  // the frame's last byte lies before
        const u64 want = cur.variable ? cur.number + cur.block : cur.number + 1;
        u64L next = 0;
        // The next header: at a 0xFF byte, with the number that follows.
        for (u64L q = minEnd; !last && q <= limit && q < room && !next;) {
            int avail = 0;
            const unsigned char* s = f.At(q, 1, &avail);
            if (!s) break;
            const int take = static_cast<int>(std::min<u64L>(static_cast<u64L>(avail), limit + 1 - q));
            const void* hit = std::memchr(s, 0xFF, static_cast<size_t>(take));
            if (!hit) {
                q += static_cast<u64L>(take);
                continue;
            }
            const u64L e = q + static_cast<u64L>(static_cast<const unsigned char*>(hit) - s);
            const FrameHead nh = headAt(e);
            if (nh.length && nh.variable == cur.variable && nh.number == want) next = e;
            q = e + 1;
        }
        if (f.Stopped()) return 0;
        if (next) {
            end = off = next;
            cur = headAt(off);
            continue;
        }
        if (si.samples && !last) break;  // samples are missing: the chain broke here
        // The last frame: where its CRC-16 first holds.
        u16 crc = 0;
        for (u64L q = off; q < limit && !next;) {
            int avail = 0;
            const unsigned char* s = f.At(q, 1, &avail);
            if (!s) break;
            const u64L take = std::min<u64L>(static_cast<u64L>(avail), limit - q);
            for (u64L k = 0; k < take; ++k) {
                crc = static_cast<u16>((crc << 8) ^ kCrc16[((crc >> 8) ^ s[k]) & 0xFF]);
                if (crc == 0 && q + k + 1 >= minEnd) {
                    next = q + k + 1;
                    break;
                }
            }
            q += take;
        }
        if (f.Stopped()) return 0;
        if (next) end = next;
        break;
    }
    if (!end) return 0;
    // An ID3v1 tag may close the file.
    const unsigned char* tag = end + 128 <= room ? f.At(end, 3) : nullptr;
    if (tag && std::memcmp(tag, "TAG", 3) == 0) end += 128;
    return end;
}

// ---------------------------------------------------------------------------
// Matroska and WebM

namespace {

// An EBML variable-length number at p: its length in bytes (0 when
// invalid). Identifiers keep their length marker; sizes lose it, and a
// size of all ones is unknown.
int Vint(const unsigned char* p, int avail, bool id, u64& value, bool& unknown) {
    if (avail < 1 || p[0] == 0) return 0;
    int n = 1;
    while (!(p[0] & (0x80 >> (n - 1)))) ++n;
    if (n > avail || (id && n > 4)) return 0;
    u64 v = id ? p[0] : p[0] & (0xFFu >> n);
    bool ones = v == (0xFFu >> n);
    for (int i = 1; i < n; ++i) {
        v = (v << 8) | p[i];
        ones = ones && p[i] == 0xFF;
    }
    value = v;
    unknown = !id && ones;
    return n;
}

// The document type of an EBML header held in buf ("matroska", "webm"),
// and the header's length; empty when buf does not hold a whole header.
std::string EbmlDocType(const unsigned char* buf, int len, u64L& headerEnd) {
    u64 id = 0, size = 0;
    bool unknown = false;
    if (!buf || len < 8 || Vint(buf, len, true, id, unknown) != 4 || id != 0x1A45DFA3) return {};
    const int n = Vint(buf + 4, len - 4, false, size, unknown);
    if (!n || unknown || size > static_cast<u64>(len - 4 - n)) return {};
    const int end = 4 + n + static_cast<int>(size);
    headerEnd = static_cast<u64L>(end);
    for (int at = 4 + n; at < end;) {
        u64 cid = 0, csize = 0;
        const int a = Vint(buf + at, end - at, true, cid, unknown);
        const int b = a ? Vint(buf + at + a, end - at - a, false, csize, unknown) : 0;
        if (!b || unknown || csize > static_cast<u64>(end - at - a - b)) return {};
        if (cid == 0x4282) {
            std::string s(reinterpret_cast<const char*>(buf + at + a + b), static_cast<size_t>(csize));
            return s.substr(0, s.find('\0'));
        }
        at += a + b + static_cast<int>(csize);
    }
    return {};
}

bool IsSegmentChild(u64 id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case 0x1F43B675:  // Cluster
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
        return true;
    default:
        return false;
    }
}

bool IsClusterChild(u64 id) {
    switch (id) {
    case 0xE7:    // Timecode
    case 0xA3:    // SimpleBlock
    case 0xA0:    // BlockGroup
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xAF:    // EncryptedBlock
    case 0x5854:  // SilentTracks
    case 0xEC:    // Void
    case 0xBF:    // CRC-32
        return true;
    default:
        return false;
    }
}

// The end of a segment whose size is unknown (a live recording): its
// elements one by one, a cluster of unknown size through its own
// elements, up to the first element that belongs to no segment; 0 when
// nothing could be walked.
u64L UnknownSegmentEnd(FileBytes& f, u64L off) {
    constexpr int kMaxElements = 1 << 22;
    const u64L room = f.Room();
    bool inCluster = false;
    int walked = 0;
    for (int n = 0; n < kMaxElements && off < room; ++n) {
        int avail = 0;
        const unsigned char* e = f.At(off, static_cast<int>(std::min<u64L>(12, room - off)), &avail);
        if (!e) break;
        u64 id = 0, size = 0;
        bool unknown = false;
        const int a = Vint(e, avail, true, id, unknown);
        const int b = a ? Vint(e + a, avail - a, false, size, unknown) : 0;
        if (!b) break;
        const bool top = IsSegmentChild(id);
        if (!top && !(inCluster && IsClusterChild(id))) break;
        if (top) inCluster = false;
        off += static_cast<u64L>(a + b);
        if (unknown) {
            if (id != 0x1F43B675) return 0;  // only a cluster is walked into
            inCluster = true;
            continue;
        }
        if (size > room - off) return 0;
        off += size;
        ++walked;
    }
    if (f.Stopped()) return 0;
    return walked ? off : 0;
}

}  // namespace

int IsWebmType(CFileTypeJudge&, const unsigned char* buf, int len) {
    u64L end = 0;
    return EbmlDocType(buf, len, end) == "webm" ? FT_WEBM : FT_NONE;
}

unsigned long long WalkEbmlSegment(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    FileBytes f(judge, buf, len);
    int avail = 0;
    const unsigned char* h = f.At(0, 8, &avail);
    u64L off = 0;
    const std::string doc = h ? EbmlDocType(h, std::min(avail, 4096), off) : std::string();
    if (doc != "matroska" && doc != "webm") return 0;
    u64 id = 0, size = 0;
    bool unknown = false;
    // Void elements may stand between the header and the segment.
    for (int n = 0; n < 16; ++n) {
        const unsigned char* e = f.At(off, 12, &avail);
        if (!e) return 0;
        const int a = Vint(e, avail, true, id, unknown);
        const int b = a ? Vint(e + a, avail - a, false, size, unknown) : 0;
        if (!b) return 0;
        if (id == 0x18538067) {
            const u64L data = off + static_cast<u64L>(a + b);
            if (unknown) return UnknownSegmentEnd(f, data);  // a live recording
            if (size > f.Room() - data) return 0;
            const unsigned char* c = f.At(data, 8, &avail);
            u64 child = 0;
            if (!c || !Vint(c, avail, true, child, unknown) || !IsSegmentChild(child)) return 0;
            const u64L end = data + size;
            const u64L z = ZeroRunStart(f, judge.m_nBytesPerSector, data, end);
            return f.Stopped() ? 0 : z;
        }
        if (id != 0xEC || unknown || size > f.Room() - off) return 0;
        off += static_cast<u64L>(a + b) + size;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Length rules

namespace {

template <unsigned long long (*WalkRule)(CFileTypeJudge&, const unsigned char*, int), FileLengthRuleFunc Plain>
unsigned long long WalkOr(CFileTypeJudge& j, const unsigned char* buf, int len) {
    const u64L n = WalkRule(j, buf, len);
    if (j.m_ErrorCode != 0) return n ? n : static_cast<u64L>(j.m_nBytesPerSector);  // stopped
    if (n) return n;
    j.m_u64CurrentSector = j.m_u64StartSector;
    return Plain(j, buf, len);
}

}  // namespace

FR_LENGTH_RULE(GetIsoMp4FileBytesSize) { return WalkOr<WalkIsoBoxes, GetMP4FileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetIsoVideoFileBytesSize) { return WalkOr<WalkIsoBoxes, GetDefaultVedioFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetIsoPictureFileBytesSize) {
    return WalkOr<WalkIsoBoxes, GetDefaultPictureFileBytesSize>(judge, buf, len);
}
FR_LENGTH_RULE(GetIsoAudioFileBytesSize) { return WalkOr<WalkIsoBoxes, GetDefaultAudioFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetRiffWavFileBytesSize) { return WalkOr<WalkRiffChunks, GetWAVFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetRiffAviFileBytesSize) { return WalkOr<WalkRiffChunks, GetAVIFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetWebpFileBytesSize) { return WalkOr<WalkRiffChunks, GetDefaultPictureFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetAiffFileBytesSize) { return WalkOr<WalkAiffChunks, GetDefaultAudioFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetOggFileBytesSize) { return WalkOr<WalkOggPages, GetDefaultAudioFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetFlacFileBytesSize) { return WalkOr<WalkFlacStream, GetDefaultAudioFileBytesSize>(judge, buf, len); }
FR_LENGTH_RULE(GetEbmlMkvFileBytesSize) { return WalkOr<WalkEbmlSegment, GetMKVFileBytes>(judge, buf, len); }
