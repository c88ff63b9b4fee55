#include "carving/ArchiveWalks.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/ByteOrder.h"

namespace {

using u64L = unsigned long long;

constexpr u64L kArchiveMax = 0x100000000ULL;   // 4 GiB, as the archive rules
constexpr u64L kOutputMax = 0x40000000ULL;     // 1 GiB of decompressed data per candidate
constexpr u64L kProgramMax = 0x40000000ULL;    // 1 GiB
constexpr u64L kFontMax = 0x8000000ULL;        // 128 MiB

// Reads the candidate file front to back in windows of its own buffer,
// reporting progress per window; stops at the volume end, at maxLen and
// when the progress callback asks to stop.
class SeqReader {
public:
    SeqReader(CFileTypeJudge& j, u64L maxLen) : m_j(j), m_max(maxLen), m_buf(Buffer(0)) {}
    // The windows and the decompressors' throw-away output live as long
    // as the thread: a carve meets thousands of small streams.
    static std::vector<unsigned char>& Buffer(int which) {
        thread_local std::vector<unsigned char> b[2] = {std::vector<unsigned char>(0x10000),
                                                        std::vector<unsigned char>(0x10000)};
        return b[which];
    }
    // The next window; n = 0 at the end.
    const unsigned char* Next(unsigned& n) {
        n = 0;
        const unsigned S = static_cast<unsigned>(m_j.m_nBytesPerSector);
        if (S == 0 || m_stopped || m_off >= m_max) return nullptr;
        // Small files are the many: the windows start at 4 KiB and double.
        const unsigned want = static_cast<unsigned>(std::max<size_t>(1, std::min(m_buf.size(), m_next) / S));
        m_next = std::min(m_buf.size(), 2 * m_next);
        const unsigned got = m_j.ReadSectorsInto(m_buf.data(), m_buf.size(), m_j.m_u64StartSector + m_off / S, want);
        if (got == 0) return nullptr;
        m_read += got;
        if (ReportRuleProgress(m_j, m_read) != 0) {
            m_stopped = true;
            return nullptr;
        }
        n = static_cast<unsigned>(std::min<u64L>(static_cast<u64L>(got) * S, m_max - m_off));
        m_off += n;
        return m_buf.data();
    }
    bool Stopped() const { return m_stopped; }

private:
    CFileTypeJudge& m_j;
    u64L m_max;
    std::vector<unsigned char>& m_buf;
    size_t m_next = 0x1000;
    u64L m_off = 0;
    u64 m_read = 0;
    bool m_stopped = false;
};

// Bytes at a file offset of the candidate, or false when they are not all
// on the volume.
bool ReadAt(CFileTypeJudge& j, u64L off, unsigned char* dst, int n) { return ReadFileBytes(j, off, dst, n); }

// Whether the byte just before end can be read: a length never runs past
// the volume.
bool Reaches(CFileTypeJudge& j, u64L end) {
    unsigned char b;
    return end > 0 && ReadAt(j, end - 1, &b, 1);
}

// Drives one decompressor over the candidate: feed(in, n, out, cap,
// consumed, produced) returns 1 at the end of the stream, 0 to go on and -1
// on an error. The answer is the number of input bytes up to the stream's
// end, or 0.
template <class Feed>
u64L Decompress(CFileTypeJudge& j, u64L maxLen, Feed&& feed) {
    SeqReader r(j, maxLen);
    std::vector<unsigned char>& out = SeqReader::Buffer(1);
    u64L inTotal = 0, outTotal = 0;
    for (;;) {
        unsigned n = 0;
        const unsigned char* in = r.Next(n);
        if (!in) return 0;
        unsigned used = 0;
        while (used < n) {
            unsigned consumed = 0, produced = 0;
            const int s = feed(in + used, n - used, out.data(), static_cast<unsigned>(out.size()), consumed, produced);
            used += consumed;
            outTotal += produced;
            if (s < 0 || outTotal > kOutputMax) return 0;
            if (s > 0) return inTotal + used;
            if (consumed == 0 && produced == 0) return 0;  // no progress: broken stream
        }
        inTotal += n;
    }
}

bool AllZero(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// The octal (or base-256) number of a tar header field.
bool TarNumber(const unsigned char* p, int n, u64L& v) {
    v = 0;
    if (p[0] & 0x80) {  // base-256
        for (int i = 1; i < n; ++i) v = v << 8 | p[i];
        return (p[0] & 0x7F) == 0 && v < (1ULL << 56);
    }
    int i = 0;
    while (i < n && p[i] == ' ') ++i;
    bool any = false;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i) v = v * 8 + (p[i] - '0'), any = true;
    for (; i < n; ++i)
        if (p[i] != ' ' && p[i] != 0) return false;
    return any;
}

// A ustar header: its magic and its checksum (counted with the checksum
// field as blanks, unsigned or signed as old writers did).
bool TarHeaderValid(const unsigned char* h) {
    if (std::memcmp(h + 257, "ustar", 5) != 0) return false;
    u64L want = 0;
    if (!TarNumber(h + 148, 8, want)) return false;
    unsigned sum = 0;
    int ssum = 0;
    for (int i = 0; i < 512; ++i) {
        const unsigned char c = i >= 148 && i < 156 ? ' ' : h[i];
        sum += c;
        ssum += static_cast<signed char>(c);
    }
    return want == sum || static_cast<long long>(want) == ssum;
}

}  // namespace

// ---------------------------------------------------------------------------
// tar

int IsTarType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 512 && TarHeaderValid(buf) ? FT_TAR : FT_NONE;
}

unsigned long long WalkTar(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (IsTarType(judge, buf, len) == FT_NONE) return 0;
    unsigned char h[512];
    u64L pos = 0, members = 0;
    for (;;) {
        if (pos + 1024 > kArchiveMax || !ReadAt(judge, pos, h, 512)) return 0;
        if (AllZero(h, 512)) break;
        u64L size = 0;
        if (!TarHeaderValid(h) || !TarNumber(h + 124, 12, size)) return 0;
        // Entries without data of their own (links, folders, devices).
        if (h[156] == '1' || h[156] == '2' || h[156] == '3' || h[156] == '4' || h[156] == '5' || h[156] == '6') size = 0;
        pos += 512 + (size + 511) / 512 * 512;
        ++members;
        if (ReportRuleProgress(judge, pos / 512) != 0) return 0;
    }
    // Two zero blocks close the archive; tar writes whole records of 20
    // blocks, and zero blocks up to the record's end belong to it too.
    if (!ReadAt(judge, pos + 512, h, 512) || !AllZero(h, 512) || members == 0) return 0;
    u64L end = pos + 1024;
    constexpr u64L kRecord = 10240;
    const u64L recordEnd = (end + kRecord - 1) / kRecord * kRecord;
    u64L p = end;
    while (p < recordEnd && ReadAt(judge, p, h, 512) && AllZero(h, 512)) p += 512;
    return p == recordEnd ? recordEnd : end;
}

// ---------------------------------------------------------------------------
// Compressed streams

unsigned long long WalkGzip(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 10 || buf[0] != 0x1F || buf[1] != 0x8B || buf[2] != 8) return 0;
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return 0;
    const u64L n = Decompress(judge, kArchiveMax, [&](const unsigned char* in, unsigned avail, unsigned char* out,
                                                        unsigned cap, unsigned& used, unsigned& made) {
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = avail;
        z.next_out = out;
        z.avail_out = cap;
        const int s = inflate(&z, Z_NO_FLUSH);
        used = avail - z.avail_in;
        made = cap - z.avail_out;
        return s == Z_STREAM_END ? 1 : (s == Z_OK || s == Z_BUF_ERROR) ? 0 : -1;
    });
    inflateEnd(&z);
    return n;
}

unsigned long long WalkXz(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (IsXzType(judge, buf, len) == FT_NONE) return 0;
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&z, 256ULL << 20, 0) != LZMA_OK) return 0;
    const u64L n = Decompress(judge, kArchiveMax, [&](const unsigned char* in, unsigned avail, unsigned char* out,
                                                        unsigned cap, unsigned& used, unsigned& made) {
        z.next_in = in;
        z.avail_in = avail;
        z.next_out = out;
        z.avail_out = cap;
        const lzma_ret s = lzma_code(&z, LZMA_RUN);
        used = avail - static_cast<unsigned>(z.avail_in);
        made = cap - static_cast<unsigned>(z.avail_out);
        return s == LZMA_STREAM_END ? 1 : (s == LZMA_OK || s == LZMA_BUF_ERROR) ? 0 : -1;
    });
    lzma_end(&z);
    return n;
}

unsigned long long WalkBzip2(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (IsBzip2Type(judge, buf, len) == FT_NONE) return 0;
    bz_stream z{};
    if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return 0;
    const u64L n = Decompress(judge, kArchiveMax, [&](const unsigned char* in, unsigned avail, unsigned char* out,
                                                        unsigned cap, unsigned& used, unsigned& made) {
        z.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
        z.avail_in = avail;
        z.next_out = reinterpret_cast<char*>(out);
        z.avail_out = cap;
        const int s = BZ2_bzDecompress(&z);
        used = avail - z.avail_in;
        made = cap - z.avail_out;
        return s == BZ_STREAM_END ? 1 : s == BZ_OK ? 0 : -1;
    });
    BZ2_bzDecompressEnd(&z);
    return n;
}

int IsXzType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char magic[6] = {0xFD, '7', 'z', 'X', 'Z', 0};
    // Stream flags: a zero byte, then a check type of 0 to 15; the header's
    // CRC32 covers them.
    if (!buf || len < 12 || std::memcmp(buf, magic, 6) != 0 || buf[6] != 0 || buf[7] > 15) return FT_NONE;
    return crc32(0, buf + 6, 2) == GetLe32(buf + 8) ? FT_XZ : FT_NONE;
}

int IsBzip2Type(CFileTypeJudge&, const unsigned char* buf, int len) {
    // "BZh", the block size 1-9, then the first block's magic (pi) or the
    // end-of-stream magic of an empty stream.
    static const unsigned char block[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    if (!buf || len < 10 || std::memcmp(buf, "BZh", 3) != 0 || buf[3] < '1' || buf[3] > '9') return FT_NONE;
    return std::memcmp(buf + 4, block, 6) == 0 ? FT_BZ2 : FT_NONE;
}

// ---------------------------------------------------------------------------
// PE executables

unsigned long long WalkPe(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (IsPeType(judge, buf, len) == FT_NONE) return 0;
    const u32 h = GetLe32(buf + 60);
    const unsigned nSect = GetLe16(buf + h + 6), optSize = GetLe16(buf + h + 20);
    if (nSect == 0 || nSect > 96 || optSize < 96 || optSize > 0x1000) return 0;
    const u64L opt = h + 24, sects = opt + optSize, headEnd = sects + 40ULL * nSect;
    std::vector<unsigned char> hd(static_cast<size_t>(headEnd));
    if (!ReadAt(judge, 0, hd.data(), static_cast<int>(hd.size()))) return 0;
    const unsigned char* o = hd.data() + opt;
    const u16 magic = GetLe16(o);
    if (magic != 0x10B && magic != 0x20B) return 0;
    const unsigned dirAt = magic == 0x10B ? 96 : 112;
    const u32 nDirs = optSize >= dirAt ? std::min<u32>(GetLe32(o + dirAt - 4), (optSize - dirAt) / 8) : 0;
    u64L end = GetLe32(o + 60);  // size of the headers
    if (end < headEnd || end > kProgramMax) return 0;
    // Sections: where their raw data lies in the file.
    for (unsigned i = 0; i < nSect; ++i) {
        const unsigned char* s = hd.data() + sects + 40 * i;
        const u64L size = GetLe32(s + 16), at = GetLe32(s + 20);
        if (size == 0) continue;
        if (at == 0 || at + size > kProgramMax) return 0;
        end = std::max(end, at + size);
    }
    auto dir = [&](u32 k, u64L& a, u64L& n) {
        a = n = 0;
        if (k < nDirs) a = GetLe32(o + dirAt + 8 * k), n = GetLe32(o + dirAt + 8 * k + 4);
        return a != 0 && n != 0;
    };
    u64L a, n;
    // The certificate table is addressed by file offset and usually comes last.
    if (dir(4, a, n)) {
        if (a + n > kProgramMax) return 0;
        end = std::max(end, a + n);
    }
    // Debug data may lie outside every section: the directory's entries
    // give its file offsets.
    if (dir(6, a, n) && n <= 28 * 16) {
        for (unsigned i = 0; i < nSect; ++i) {
            const unsigned char* s = hd.data() + sects + 40 * i;
            const u64L va = GetLe32(s + 12), raw = GetLe32(s + 16), at = GetLe32(s + 20);
            if (a < va || a + n > va + raw) continue;
            unsigned char e[28 * 16];
            if (!ReadAt(judge, at + (a - va), e, static_cast<int>(n))) break;
            for (u64L k = 0; k + 28 <= n; k += 28) {
                const u64L size = GetLe32(e + k + 16), ptr = GetLe32(e + k + 24);
                if (ptr && size && ptr + size <= kProgramMax) end = std::max(end, ptr + size);
            }
            break;
        }
    }
    // A COFF symbol table and its string table after the sections.
    const u64L sym = GetLe32(buf + h + 12), nSym = GetLe32(buf + h + 16);
    if (sym && nSym && sym + 18 * nSym + 4 <= kProgramMax) {
        unsigned char s4[4];
        if (ReadAt(judge, sym + 18 * nSym, s4, 4) && GetLe32(s4) >= 4)
            end = std::max(end, sym + 18 * nSym + GetLe32(s4));
    }
    return end <= kProgramMax && Reaches(judge, end) ? end : 0;
}

// ---------------------------------------------------------------------------
// TrueType, OpenType and font collections

namespace {

// The end of the tables of the font whose table directory is at off; 0
// when the directory does not hold together.
u64L SfntEnd(CFileTypeJudge& j, u64L off) {
    unsigned char hd[12];
    if (!ReadAt(j, off, hd, 12)) return 0;
    const unsigned n = GetBe16(hd + 4);
    if (n == 0 || n > 512) return 0;
    std::vector<unsigned char> recs(16 * n);
    if (!ReadAt(j, off + 12, recs.data(), static_cast<int>(recs.size()))) return 0;
    u64L end = 0;
    for (unsigned i = 0; i < n; ++i) {
        const unsigned char* r = recs.data() + 16 * i;
        for (int k = 0; k < 4; ++k)
            if (r[k] < 0x20 || r[k] > 0x7E) return 0;
        const u64L at = GetBe32(r + 8), size = GetBe32(r + 12);
        if (at < 12 + 16ULL * n || at + size > kFontMax) return 0;
        end = std::max(end, at + size);
    }
    return end;
}

}  // namespace

unsigned long long WalkSfnt(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 16) return 0;
    u64L end = 0;
    if (std::memcmp(buf, "ttcf", 4) == 0) {
        const u32 ver = GetBe32(buf + 4), nFonts = GetBe32(buf + 8);
        if ((ver != 0x10000 && ver != 0x20000) || nFonts == 0 || nFonts > 1024) return 0;
        std::vector<unsigned char> offs(4 * nFonts + 12);
        if (!ReadAt(judge, 12, offs.data(), static_cast<int>(offs.size()))) return 0;
        for (u32 i = 0; i < nFonts; ++i) {
            const u64L e = SfntEnd(judge, GetBe32(offs.data() + 4 * i));
            if (e == 0) return 0;
            end = std::max(end, e);
        }
        // Version 2 names a signature table as well.
        const unsigned char* dsig = offs.data() + 4 * nFonts;
        if (ver == 0x20000 && std::memcmp(dsig, "DSIG", 4) == 0 && GetBe32(dsig + 8))
            end = std::max<u64L>(end, static_cast<u64L>(GetBe32(dsig + 8)) + GetBe32(dsig + 4));
    } else {
        static const unsigned char tt[4] = {0, 1, 0, 0};
        if (std::memcmp(buf, tt, 4) != 0 && std::memcmp(buf, "OTTO", 4) != 0 && std::memcmp(buf, "true", 4) != 0)
            return 0;
        end = SfntEnd(judge, 0);
    }
    if (end == 0 || end > kFontMax) return 0;
    // Tables are padded to four bytes; zero padding after the last one
    // belongs to the file.
    unsigned char pad[4] = {1, 1, 1, 1};
    const u64L padded = (end + 3) / 4 * 4;
    if (padded > end && ReadAt(judge, end, pad, static_cast<int>(padded - end)) && AllZero(pad, padded - end))
        end = padded;
    return Reaches(judge, end) ? end : 0;
}

// ---------------------------------------------------------------------------
// SWF

unsigned long long WalkSwf(CFileTypeJudge& judge, const unsigned char* buf, int len) {
    if (!buf || len < 16) return 0;
    const u64L stated = GetLe32(buf + 4);
    if (buf[0] == 'F') return stated >= 21 && stated <= kArchiveMax && Reaches(judge, stated) ? stated : 0;
    if (buf[0] != 'C') return 0;
    // The rest of a compressed file is one zlib stream of stated - 8 bytes.
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return 0;
    bool first = true;
    u64L made = 0;
    const u64L n = Decompress(judge, kArchiveMax, [&](const unsigned char* in, unsigned avail, unsigned char* out,
                                                        unsigned cap, unsigned& used, unsigned& produced) {
        const unsigned skip = first ? 8 : 0;  // the uncompressed header
        first = false;
        z.next_in = const_cast<Bytef*>(in + skip);
        z.avail_in = avail - skip;
        z.next_out = out;
        z.avail_out = cap;
        const int s = inflate(&z, Z_NO_FLUSH);
        used = avail - z.avail_in;
        produced = cap - z.avail_out;
        made += produced;
        return s == Z_STREAM_END ? 1 : (s == Z_OK || s == Z_BUF_ERROR) ? 0 : -1;
    });
    inflateEnd(&z);
    return n && made + 8 == stated ? n : 0;
}

// ---------------------------------------------------------------------------
// Length rules

FR_LENGTH_RULE(GetTARFileBytesSize) {
    if (u64L n = WalkTar(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetDefaultVedioFileBytesSize(judge, buf, len);
}
FR_LENGTH_RULE(GetGZFileBytesSize) {
    if (u64L n = WalkGzip(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetDefaultVedioFileBytesSize(judge, buf, len);
}
FR_LENGTH_RULE(GetXZFileBytesSize) {
    if (u64L n = WalkXz(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetDefaultVedioFileBytesSize(judge, buf, len);
}
FR_LENGTH_RULE(GetBZ2FileBytesSize) {
    if (u64L n = WalkBzip2(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetDefaultVedioFileBytesSize(judge, buf, len);
}
FR_LENGTH_RULE(GetPEFileBytesSize) { return WalkPe(judge, buf, len); }
FR_LENGTH_RULE(GetFontFileBytesSize) {
    if (u64L n = WalkSfnt(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetTTFFileBytesSize(judge, buf, len);
}
FR_LENGTH_RULE(GetSWFWalkFileBytesSize) {
    if (u64L n = WalkSwf(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetSWFFileBytesSize(judge, buf, len);
}

// ---------------------------------------------------------------------------
// Text

namespace {

constexpr u64L kTextMax = 0x10000000ULL;  // 256 MiB

// Checks UTF-8 text byte by byte: what a text file may hold is tab, line
// breaks, form feed, printable ASCII and well-formed multi-byte sequences.
class TextState {
public:
    // False at the first byte text cannot hold.
    bool Feed(unsigned char c) {
        if (m_need) {
            if (c < m_lo || c > m_hi) return false;
            m_lo = 0x80, m_hi = 0xBF;
            --m_need;
            return true;
        }
        if (c >= 0x20 && c < 0x7F) return true;
        if (c == '\t' || c == '\n' || c == '\r' || c == '\f') return true;
        m_lo = 0x80, m_hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) m_need = 1;
        else if (c >= 0xE0 && c <= 0xEF) m_need = 2, m_lo = c == 0xE0 ? 0xA0 : 0x80, m_hi = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) m_need = 3, m_lo = c == 0xF0 ? 0x90 : 0x80, m_hi = c == 0xF4 ? 0x8F : 0xBF;
        else return false;
        return true;
    }
    // Whether the bytes fed so far end on a whole character.
    bool Whole() const { return m_need == 0; }

private:
    int m_need = 0;
    unsigned char m_lo = 0x80, m_hi = 0xBF;
};

bool StartsNoCase(const unsigned char* p, size_t n, const char* word) {
    const size_t k = std::strlen(word);
    if (n < k) return false;
    for (size_t i = 0; i < k; ++i)
        if (std::tolower(p[i]) != word[i]) return false;
    return true;
}

// The kind of a text from its first bytes.
int TextKind(const unsigned char* p, size_t n) {
    size_t i = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;  // byte-order mark
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) ++i;
    p += i, n -= i;
    if (StartsNoCase(p, n, "{\\rtf")) return FT_RTF;
    if (StartsNoCase(p, n, "<!doctype html") || StartsNoCase(p, n, "<html")) return FT_HTML;
    if (StartsNoCase(p, n, "<svg")) return FT_SVG;
    if (StartsNoCase(p, n, "<?xml")) {
        for (size_t k = 0; k + 4 <= n; ++k)
            if (StartsNoCase(p + k, n - k, "<svg")) return FT_SVG;
        return FT_XML;
    }
    // Three or more lines with the same number (at least one) of commas,
    // semicolons or tabs.
    for (char sep : {',', ';', '\t'}) {
        int lines = 0, want = -1, count = 0;
        bool same = true;
        for (size_t k = 0; k < n && same; ++k) {
            if (p[k] == static_cast<unsigned char>(sep)) ++count;
            if (p[k] != '\n') continue;
            same = count > 0 && (want < 0 || count == want);
            want = count, count = 0, ++lines;
        }
        if (same && lines >= 3) return FT_CSV;
    }
    return FT_TXT;
}

// ASCII letters and digits: what isalnum answers for a byte in the C locale
// and in UTF-8 ones, without a library call per byte.
constexpr std::array<bool, 256> kAlnum = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return t;
}();

// 1 for a byte that text holds nowhere: what TextState refuses whatever
// came before it (control codes other than tab, line breaks and form feed,
// DEL, and bytes UTF-8 never uses).
constexpr std::array<u8, 256> kNeverText = [] {
    std::array<u8, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const bool ascii = (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        t[c] = !(ascii || (c >= 0x80 && c <= 0xBF) || (c >= 0xC2 && c <= 0xF4));
    }
    return t;
}();

// At least 64 bytes of text from the first byte, a quarter of them letters
// or digits, and not one byte over and over (a filled sector).
constexpr int kTextMin = 64;

// The text test past its quick gate (kept out of line, so that the gate
// that rules out most sectors costs no more than its loads).
[[gnu::noinline]] int TextTypeOf(const unsigned char* buf, int len) {
    TextState t;
    int n = 0, letters = 0;
    bool varied = false;
    while (n < len && t.Feed(buf[n])) {
        letters += kAlnum[buf[n]];
        varied = varied || buf[n] != buf[0];
        ++n;
    }
    if (n < kTextMin || letters * 4 < n || !varied) return FT_NONE;
    return TextKind(buf, static_cast<size_t>(n));
}

// Whether one of the 16 bytes at p is one text never holds: kNeverText, in
// one go where the processor has 16-byte registers.
bool AnyNeverText16(const unsigned char* p) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto set = [](unsigned c) { return _mm_set1_epi8(static_cast<char>(c)); };
    // v in [lo, lo + width] (wrapping past 0xFF): v - lo equals its minimum
    // with width.
    const auto in = [&](unsigned lo, unsigned width) {
        const __m128i d = _mm_sub_epi8(v, set(lo));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, set(width)), d);
    };
    // Bytes past any UTF-8 lead and control codes up to backspace; vertical
    // tab; the control codes after return; DEL; the leads of overlong pairs.
    const __m128i never = _mm_or_si128(
        _mm_or_si128(in(0xF5, 0x13), _mm_cmpeq_epi8(v, set(0x0B))),
        _mm_or_si128(_mm_or_si128(in(0x0E, 0x11), _mm_cmpeq_epi8(v, set(0x7F))),
                     _mm_cmpeq_epi8(_mm_and_si128(v, set(0xFE)), set(0xC0))));
    return _mm_movemask_epi8(never) != 0;
#else
    u8 any = 0;
    for (int i = 0; i < 16; ++i) any |= kNeverText[p[i]];
    return any != 0;
#endif
}

}  // namespace

bool IsNeverTextByte(unsigned char c) { return kNeverText[c] != 0; }

bool MayStartText(const unsigned char* buf, int len) {
    if (!buf || len < kTextMin) return false;
    // Most sectors that hold no text give themselves away in the first 16
    // bytes.
    for (int i = 0; i < kTextMin; i += 16)
        if (AnyNeverText16(buf + i)) return false;
    return true;
}

int IsTextType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return MayStartText(buf, len) ? TextTypeOf(buf, len) : static_cast<int>(FT_NONE);
}

FR_LENGTH_RULE(GetTextFileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    const int kind = IsTextType(judge, buf, len);
    if (S <= 0 || kind == FT_NONE) return 0;
    SeqReader r(judge, kTextMax);
    TextState t;
    u64L pos = 0, whole = 0, lastBreak = 0, closed = 0;
    int depth = 0;
    bool escaped = false;
    // The closing tag of the kinds that have one.
    const char* close = kind == FT_HTML ? "</html>" : kind == FT_SVG ? "</svg>" : nullptr;
    size_t matched = 0;
    for (;;) {
        unsigned n = 0;
        const unsigned char* w = r.Next(n);
        if (!w) break;
        unsigned i = 0;
        for (; i < n; ++i) {
            const u64L at = pos + i;
            if (at % static_cast<unsigned>(S) == 0 && at > 0) {
                // A sector that starts another file or is file-system
                // metadata ends the text.
                const unsigned char* sec = w + i;
                const int left = static_cast<int>(std::min<unsigned>(n - i, static_cast<unsigned>(S)));
                judge.m_u64CurrentSector = judge.m_u64StartSector + at / static_cast<unsigned>(S);
                if (left == S && (judge.GetDataBufType(sec, S) != FT_NONE || CFileTypeJudge::IsFileSystemSector(sec, S)))
                    break;
            }
            const unsigned char c = w[i];
            if (!t.Feed(c)) break;
            if (!t.Whole()) continue;
            whole = at + 1;
            if (c == '\n') lastBreak = at + 1;
            if (kind == FT_RTF) {
                if (escaped) escaped = false;
                else if (c == '\\') escaped = true;
                else if (c == '{') ++depth;
                else if (c == '}' && --depth == 0) {
                    closed = at + 1;
                    break;
                }
            } else if (close) {
                matched = std::tolower(c) == close[matched] ? matched + 1 : std::tolower(c) == close[0] ? 1 : 0;
                if (close[matched] == 0) closed = at + 1, matched = 0;
            }
        }
        pos += i;
        if (i < n || (closed && kind == FT_RTF)) break;
    }
    if (r.Stopped()) return 0;
    u64L end = whole;
    if (closed) {
        // The line break after the closing brace or tag belongs to the file.
        end = closed;
        unsigned char nl[2] = {0, 0};
        if (ReadAt(judge, closed, nl, 2) || ReadAt(judge, closed, nl, 1)) {
            if (nl[0] == '\n') end += 1;
            else if (nl[0] == '\r' && nl[1] == '\n') end += 2;
        }
    } else if (lastBreak && whole - lastBreak < 4) {
        // Text files end with a line break: a few stray bytes after the last
        // one are what followed the file, not a line of it.
        end = lastBreak;
    }
    return end;
}
