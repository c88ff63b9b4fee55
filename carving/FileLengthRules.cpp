#include "carving/FileLengthRules.h"
#include "core/ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "carving/StructureWalks.h"
#include "carving/WalkBytes.h"

namespace {

using u64L = unsigned long long;


// First occurrence of pat in buf[from, len), or -1.
int Find(const unsigned char* buf, int len, const void* pat, int n, int from = 0) {
    if (!buf || n <= 0 || from < 0) return -1;
    const unsigned char first = *static_cast<const unsigned char*>(pat);
    for (int p = from; p <= len - n;) {
        const void* hit = std::memchr(buf + p, first, static_cast<size_t>(len - n - p + 1));
        if (!hit) return -1;
        p = static_cast<int>(static_cast<const unsigned char*>(hit) - buf);
        if (std::memcmp(buf + p, pat, static_cast<size_t>(n)) == 0) return p;
        ++p;
    }
    return -1;
}

// Last occurrence of pat starting before `before`, or -1.
int FindLastBefore(const unsigned char* buf, int before, const void* pat, int n) {
    if (!buf || n <= 0) return -1;
    for (int p = before - 1; p >= 0; --p)
        if (buf[p] == *static_cast<const unsigned char*>(pat) && std::memcmp(buf + p, pat, static_cast<size_t>(n)) == 0)
            return p;
    return -1;
}

// Last occurrence of pat in buf[0, len), or -1.
int FindLast(const unsigned char* buf, int len, const void* pat, int n) {
    if (!buf || n <= 0) return -1;
    for (int p = len - n; p >= 0; --p)
        if (buf[p] == *static_cast<const unsigned char*>(pat) && std::memcmp(buf + p, pat, static_cast<size_t>(n)) == 0)
            return p;
    return -1;
}

// A marker ending at e closes the file when e is on a sector boundary or
// only zeros follow it up to the next one.
bool IsClosed(const unsigned char* buf, int len, int e, int S) {
    if (S <= 0) return false;
    if (e % S == 0) return true;
    const int next = std::min(len, (e / S + 1) * S);
    for (int i = e; i < next; ++i)
        if (buf[i] != 0) return false;
    return true;
}

// First closed occurrence of pat; the offset just past it, or -1.
int FindClosed(const unsigned char* buf, int len, const void* pat, int n, int S) {
    int p = Find(buf, len, pat, n);
    while (p >= 0) {
        if (IsClosed(buf, len, p + n, S)) return p + n;
        p = Find(buf, len, pat, n, p + 1);
    }
    return -1;
}

}  // namespace

bool ReadFileBytes(CFileTypeJudge& j, unsigned long long offset, unsigned char* dst, int n) {
    const unsigned S = static_cast<unsigned>(j.m_nBytesPerSector);
    if (S == 0 || n <= 0) return false;
    const u64 sector = j.m_u64StartSector + offset / S;
    const unsigned inner = static_cast<unsigned>(offset % S);
    const unsigned need = (inner + static_cast<unsigned>(n) + S - 1) / S;
    if (j.ReadSectorsInto(j.ScratchBuf(), j.ScratchBufSize(), sector, need) < need) return false;
    std::memcpy(dst, j.ScratchBuf() + inner, static_cast<size_t>(n));
    return true;
}

int ReportRuleProgress(CFileTypeJudge& j, u64 sectorsReadByRule) {
    if (!j.m_progressFunc) return 0;
    const ScanProgress& at = j.Progress();
    const u64 cur = at.u64Scanned + sectorsReadByRule;
    long long pct = at.u64Total ? static_cast<long long>(std::min<u64>(cur, at.u64Total) * 100 / at.u64Total) : 0;
    int prog = static_cast<int>(pct) + 10;
    // A walk never reports the completion band: only the end of the
    // whole scan may do that.
    while (prog > 0 && IsScanComplete(prog, j.m_nPercent)) --prog;
    int r = j.m_progressFunc(j.m_pParam, prog, j.m_nPercent, at.nSecondsLeft, cur, at.u64Total, at.u64FilesFound,
                             nullptr);
    // Every non-zero answer is a stop, whatever the front end returned.
    if (r != 0) r = static_cast<int>(FR_STOP_CODE);
    j.m_ErrorCode = static_cast<u32>(r);
    return r;
}

namespace {

enum class EndKind { File, Video, Mpg };

int EndTest(CFileTypeJudge& j, EndKind k, const unsigned char* buf, int bytes, u64L& size) {
    switch (k) {
    case EndKind::Video: return IsEndOfVedioFile(j, buf, bytes, size);
    case EndKind::Mpg: return IsEndOfMPGFile(j, buf, bytes, size);
    default: return IsEndOfFile(j, buf, bytes, size);
    }
}

// What a rule's window hook tells the walk.
enum class Hook { Continue, Stop };

// The forward walk shared by the rules. hook(window, bytes, windowOffset,
// ended, walkSize, result) runs after the end test of each window, with
// bytes cut at the ending sector when the end test answered; it may set
// result and stop. Without a stop, the walk size is the result.
bool IsZeroSector(const unsigned char* p, int S) {
    if (p[0] | p[S / 2] | p[S - 1]) return false;
    for (int i = 0; i < S; ++i)
        if (p[i]) return false;
    return true;
}

template <class F>
u64L Walk(CFileTypeJudge& j, u64L maxBytes, EndKind kind, F&& hook, bool zeroRunEnds = false) {
    const int S = j.m_nBytesPerSector;
    if (S <= 0) return 0;
    u64L walk = static_cast<u64L>(S);
    u64L budget = maxBytes / static_cast<unsigned>(S);
    budget = budget > 0 ? budget - 1 : 0;  // the first sector is already counted
    u64 next = j.m_u64StartSector + 1;
    u64 readByRule = 0;
    const unsigned perWindow = static_cast<unsigned>(j.ReadBufSize() / static_cast<unsigned>(S));
    CZeroRun zeroRun;  // the run of zero sectors the walk is in
    j.m_u64CurrentSector = j.m_u64StartSector;
    while (budget > 0) {
        const unsigned want = static_cast<unsigned>(std::min<u64L>(budget, perWindow));
        const unsigned got = j.ReadSectors(next, want);
        if (got == 0) return walk;
        readByRule += got;
        if (ReportRuleProgress(j, readByRule) != 0) return walk;
        const unsigned char* win = j.ReadBuf();
        const int bytes = static_cast<int>(got) * S;
        const u64L winOffset = walk;
        u64L sizeAfter = walk;
        int ended = EndTest(j, kind, win, bytes, sizeAfter);
        if (zeroRunEnds) {
            const int upTo = ended ? static_cast<int>(sizeAfter - winOffset) : bytes;
            for (int i = 0; i + S <= upTo; i += S) {
                if (zeroRun.Feed(winOffset + static_cast<u64L>(i), static_cast<u64L>(S), IsZeroSector(win + i, S))) {
                    ended = 1;
                    sizeAfter = zeroRun.Start();
                    break;
                }
            }
        }
        u64L result = 0;
        // Markers are looked for only in the sectors that belong to the
        // file: past an ending sector they belong to the next file.
        const int own = ended ? static_cast<int>(sizeAfter > winOffset ? sizeAfter - winOffset : 0) : bytes;
        if (hook(win, own, winOffset, ended != 0, sizeAfter, result) == Hook::Stop) return result;
        if (ended) return sizeAfter;
        walk += static_cast<u64L>(bytes);
        budget -= got;
        next += got;
        if (got < want) return walk;  // the device ends here
    }
    return walk;
}

u64L PlainWalk(CFileTypeJudge& j, u64L maxBytes, EndKind kind, bool zeroRunEnds = false) {
    return Walk(
        j, maxBytes, kind, [](const unsigned char*, int, u64L, bool, u64L, u64L&) { return Hook::Continue; },
        zeroRunEnds);
}

constexpr u64L k4G = 0x100000000ULL;
constexpr u64L k64G = 0x1000000000ULL;

const unsigned char szJpgTail[2] = {0xFF, 0xD9};
const unsigned char szPngTail[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
const unsigned char szGifTail[2] = {0x00, 0x3B};
const unsigned char sm_ucWinrarTail[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
const unsigned char sz7ZTail[12] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
const unsigned char szRmvbTail[20] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
const unsigned char sm_Asf_file_properties_guid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                       0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const unsigned char ucDocTailHead[6] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
const unsigned char ucDocTail[26] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ', 'O', 'f', 'f',
                                     'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
const char szMp4Tail[] = "freeIsoMedia File Produced";
const char sm_ucMp3Tail[] = "TAG";
const char sz_ApeTail[10] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', '\xD0', '\x07'};

u32 Crc32(const unsigned char* p, size_t n) {
    u32 c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// PNG, GIF and RAR: a closed marker in the first sector, else a walk in
// which the first closed marker of a window ends the file.
u64L MarkerRule(CFileTypeJudge& j, const unsigned char* buf, int len, u64L maxBytes, const unsigned char* tail, int n) {
    const int S = j.m_nBytesPerSector;
    if (S <= 0) return 0;
    int e = FindClosed(buf, std::min(len, S), tail, n, S);
    if (e >= 0) return static_cast<u64L>(e);
    return Walk(j, maxBytes, EndKind::File,
                [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
                    int m = FindClosed(w, bytes, tail, n, S);
                    if (m < 0) return Hook::Continue;
                    res = off + static_cast<u64L>(m);
                    return Hook::Stop;
                });
}

// The end of a ZIP archive from the last end-of-central-directory record in
// a window: with its comment when the record checks out against the
// central directory before it, else the record alone.
bool ZipEnd(const unsigned char* w, int bytes, u64L off, u64L& end) {
    int p = FindLast(w, bytes, "PK\x05\x06", 4);
    if (p < 0) return false;
    for (int q = p; q >= 0; q = FindLastBefore(w, q, "PK\x05\x06", 4))
        if (ZipEndOfArchive(w, bytes, q, off + static_cast<u64L>(q), end)) return true;
    end = off + static_cast<u64L>(p) + 22;
    return true;
}

// ZIP and Office 2007: the last end-of-central-directory record of a window.
u64L ZipRule(CFileTypeJudge& j, u64L maxBytes) {
    return Walk(j, maxBytes, EndKind::File, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        return ZipEnd(w, bytes, off, res) ? Hook::Stop : Hook::Continue;
    });
}

}  // namespace

// ---------------------------------------------------------------------------
// End tests

namespace {

int EndOfWindow(CFileTypeJudge& j, const unsigned char* buf, int bytes, u64L& size, bool mpg) {
    const int S = j.m_nBytesPerSector;
    if (!buf || S <= 0) return 0;
    for (int i = 0; i + S <= bytes; i += S) {
        ++j.m_u64CurrentSector;
        const int t = j.GetDataBufType(buf + i, S);
        bool ends = t != FT_NONE && !(mpg && t == FT_MPEG);
        if (!ends) ends = CFileTypeJudge::IsFileSystemSector(buf + i, S) != 0;
        if (ends) {
            size += static_cast<u64L>(i);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int IsEndOfFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size) {
    return EndOfWindow(judge, buf, bytes, size, false);
}
int IsEndOfVedioFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size) {
    return EndOfWindow(judge, buf, bytes, size, false);
}
int IsEndOfMPGFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size) {
    return EndOfWindow(judge, buf, bytes, size, true);
}

unsigned long long GetJPGFileTailOffset(const unsigned char* buf, int len, int bytesPerSector) {
    int p = Find(buf, len, szJpgTail, 2);
    if (p < 0 || !IsClosed(buf, len, p + 2, bytesPerSector)) return 0;
    return static_cast<u64L>(p + 2);
}

unsigned long long GetPNGFileTailOffset(const unsigned char* buf, int len, int bytesPerSector) {
    int e = FindClosed(buf, len, szPngTail, 8, bytesPerSector);
    return e < 0 ? 0 : static_cast<u64L>(e);
}

// ---------------------------------------------------------------------------
// Pictures

FR_LENGTH_RULE(GetJPGFileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    if (S <= 0) return 0;
    if (u64L n = WalkJpeg(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    u64L first = GetJPGFileTailOffset(buf, std::min(len, S), S);
    if (first) return first;
    u64L candidate = 0;
    u64L walk = Walk(judge, 0x8000000ULL, EndKind::File,
                     [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L&) {
                         u64L t = GetJPGFileTailOffset(w, bytes, S);
                         if (t) candidate = off + t;
                         return Hook::Continue;
                     });
    return candidate && candidate < walk ? candidate : walk;
}

FR_LENGTH_RULE(GetPNGFileBytesSize) {
    if (u64L n = WalkPng(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : MarkerRule(judge, buf, len, 0x8000000ULL, szPngTail, 8);
}
FR_LENGTH_RULE(GetGIFFileBytesSize) {
    if (u64L n = WalkGif(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : MarkerRule(judge, buf, len, 0x8000000ULL, szGifTail, 2);
}
FR_LENGTH_RULE(GetRARFileBytesSize) { return MarkerRule(judge, buf, len, k4G, sm_ucWinrarTail, 7); }

FR_LENGTH_RULE(GetBMPFileBytesSize) {
    (void)judge;
    if (!buf || len < 6) return 0;
    return std::min<u64L>(GetLe32(buf + 2), 0x8000000ULL);
}

FR_LENGTH_RULE(GetDefaultPictureFileBytesSize) {
    (void)buf;
    (void)len;
    return PlainWalk(judge, 0x8000000ULL, EndKind::File);
}

FR_LENGTH_RULE(GetICOFileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    if (!buf || len < 6) return static_cast<u64L>(S);
    const u32 n = GetLe16(buf + 4);
    const unsigned char* d = buf;
    int avail = len;
    if (16ULL * n + 6 > static_cast<u64L>(len)) {
        const unsigned got = judge.ReadSectors(judge.m_u64StartSector, static_cast<unsigned>(judge.ReadBufSize() / static_cast<unsigned>(S)));
        if (got == 0) return static_cast<u64L>(S);
        d = judge.ReadBuf();
        avail = static_cast<int>(got) * S;
        if (16ULL * n + 6 > static_cast<u64L>(avail)) return static_cast<u64L>(S);
    }
    if (n == 0) return 0;
    const unsigned char* e = d + 6 + 16 * (n - 1);
    return static_cast<u64L>(GetLe32(e + 12)) + GetLe32(e + 8);
}

FR_LENGTH_RULE(GetTTFFileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    if (!buf || len < 6) return static_cast<u64L>(S);
    const u32 n = GetBe16(buf + 4);
    if (n == 0) return 0;
    const unsigned char* d = buf;
    if (16ULL * n + 12 > static_cast<u64L>(len)) {
        const unsigned got = judge.ReadSectors(judge.m_u64StartSector, static_cast<unsigned>(judge.ReadBufSize() / static_cast<unsigned>(S)));
        if (got == 0) return static_cast<u64L>(S);
        d = judge.ReadBuf();
        if (16ULL * n + 12 > static_cast<u64L>(got) * static_cast<unsigned>(S)) return static_cast<u64L>(S);
    }
    u64L end = 0;
    for (u32 i = 0; i < n; ++i) {
        const unsigned char* r = d + 12 + 16 * i;
        end = std::max<u64L>(end, static_cast<u64L>(GetBe32(r + 8)) + GetBe32(r + 12));
    }
    return end;
}

// ---------------------------------------------------------------------------
// Audio

FR_LENGTH_RULE(GetWAVFileBytesSize) {
    (void)judge;
    if (!buf || len < 8) return 0;
    return static_cast<u64L>(GetLe32(buf + 4)) + 8;
}

FR_LENGTH_RULE(GetMP3FileBytesSize) {
    if (u64L n = WalkMp3(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    // An ID3v1 tag is the 128 bytes "TAG..." at the very end of the file:
    // "TAG" inside the audio is not one, so only a tag that closes its
    // sector counts.
    const int S = judge.m_nBytesPerSector;
    u64L candidate = 0;
    u64L walk = Walk(
        judge, 0x80000000ULL, EndKind::File,
        [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L&) {
            for (int p = Find(w, bytes, sm_ucMp3Tail, 3); p >= 0; p = Find(w, bytes, sm_ucMp3Tail, 3, p + 1))
                if (p + 128 <= bytes && IsClosed(w, bytes, p + 128, S)) candidate = off + static_cast<u64L>(p) + 128;
            return Hook::Continue;
        },
        true);
    return candidate && candidate <= walk ? candidate : walk;
}

FR_LENGTH_RULE(GetMP2FileBytesSize) {
    if (u64L n = WalkMp3(judge, buf, len)) return n;
    return judge.m_ErrorCode ? 0 : GetDefaultAudioFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetMIDFileBytesSize) {
    if (!buf || len < 12) return static_cast<u64L>(judge.m_nBytesPerSector);
    const u32 n = GetBe16(buf + 10);
    constexpr u64L kMax = 0x800000ULL;
    // Track chunks follow each other; each is "MTrk", a big-endian length
    // and that many bytes.
    u64L sum = 14;
    for (u32 t = 0; t < n && sum < kMax; ++t) {
        unsigned char h[8];
        if (sum + 8 <= static_cast<u64L>(len)) std::memcpy(h, buf + sum, 8);
        else if (!ReadFileBytes(judge, sum, h, 8)) break;
        if (std::memcmp(h, "MTrk", 4) != 0) break;
        sum += 8 + static_cast<u64L>(GetBe32(h + 4));
    }
    sum = std::min(sum, kMax);
    // The file also ends where another file or metadata begins.
    u64L walk = PlainWalk(judge, (sum + judge.m_nBytesPerSector - 1) / judge.m_nBytesPerSector * judge.m_nBytesPerSector,
                          EndKind::File);
    return std::min(sum, walk);
}

FR_LENGTH_RULE(GetAPEFileBytesSize) {
    (void)buf;
    (void)len;
    return Walk(
        judge, 0x80000000ULL, EndKind::File,
        [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
            int p = Find(w, bytes, sz_ApeTail, 10);
            if (p < 0) return Hook::Continue;
            int q = Find(w, bytes, sz_ApeTail, 10, p + 10);
            res = q >= 0 ? off + static_cast<u64L>(q) + 32 : off + static_cast<u64L>(bytes);
            return Hook::Stop;
        },
        true);
}

FR_LENGTH_RULE(GetDefaultAudioFileBytesSize) {
    (void)buf;
    (void)len;
    return PlainWalk(judge, 0x10000000ULL, EndKind::File, true);
}

FR_LENGTH_RULE(GetFLAFileBytesSize) { return GetDefaultAudioFileBytesSize(judge, buf, len); }

// ---------------------------------------------------------------------------
// Video

FR_LENGTH_RULE(GetDefaultVedioFileBytesSize) {
    (void)buf;
    (void)len;
    return PlainWalk(judge, k4G, EndKind::Video, true);
}

FR_LENGTH_RULE(GetMKVFileBytes) {
    (void)buf;
    (void)len;
    return PlainWalk(judge, k64G, EndKind::Video, true);
}

FR_LENGTH_RULE(GetMP4FileBytesSize) {
    (void)buf;
    (void)len;
    return Walk(judge, k4G, EndKind::Video, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        int p = Find(w, bytes, szMp4Tail, 26);
        if (p < 0) return Hook::Continue;
        int e = p + 26;
        while (e < bytes && w[e] != 0) ++e;
        res = off + static_cast<u64L>(e);
        return Hook::Stop;
    }, true);
}

FR_LENGTH_RULE(GetRMVBFileBytesSize) {
    if (u64L n = WalkRealMedia(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return Walk(judge, k4G, EndKind::Video, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        int p = Find(w, bytes, szRmvbTail, 20);
        if (p < 0) return Hook::Continue;
        res = off + static_cast<u64L>(p) + 20;
        return Hook::Stop;
    }, true);
}

FR_LENGTH_RULE(GetMPGFileBytesSize) {
    if (u64L n = WalkMpegPs(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    static const unsigned char seqEnd[4] = {0, 0, 1, 0xB7}, progEnd[4] = {0, 0, 1, 0xB9};
    const bool video = buf && len >= 4 && buf[0] == 0 && buf[1] == 0 && buf[2] == 1 && buf[3] == 0xB3;
    const unsigned char* endCode = video ? seqEnd : progEnd;
    const int S = judge.m_nBytesPerSector;
    return Walk(judge, k4G, EndKind::Mpg, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        int e = FindClosed(w, bytes, endCode, 4, S);
        if (e < 0) return Hook::Continue;
        res = off + static_cast<u64L>(e);
        return Hook::Stop;
    }, true);
}

namespace {

// A run of transport-stream packets of `packet` bytes whose sync byte 47
// sits at syncAt: the file ends after the last packet in sync, at another
// file or at file-system metadata.
u64L PacketRun(CFileTypeJudge& judge, const unsigned char* buf, int len, unsigned packet, unsigned syncAt) {
    const int S = judge.m_nBytesPerSector;
    if (S <= 0) return 0;
    u64L nextPacket = 0;
    bool lost = false;
    auto check = [&](const unsigned char* w, int bytes, u64L off) {
        while (!lost && nextPacket + packet <= off + static_cast<u64L>(bytes)) {
            if (nextPacket + syncAt >= off && w[nextPacket + syncAt - off] != 0x47) {
                lost = true;
                break;
            }
            nextPacket += packet;
        }
    };
    if (buf) check(buf, std::min(len, S), 0);
    u64L walk = Walk(judge, k64G, EndKind::File, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        check(w, bytes, off);
        if (!lost) return Hook::Continue;
        // The stream lost its sync here; nothing further can change that.
        res = off + static_cast<u64L>(bytes);
        return Hook::Stop;
    }, true);
    return nextPacket != 0 && nextPacket < walk ? nextPacket : walk;
}

}  // namespace

FR_LENGTH_RULE(GetTSFileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    if (S <= 0) return 0;
    const u64L size = PacketRun(judge, buf, len, 188, 0);
    const u64 last = judge.m_u64StartSector + (size + S - 1) / S - (size ? 1 : 0);
    judge.m_tsFileRangeVec.push_back({judge.m_u64StartSector, last});
    return size;
}

FR_LENGTH_RULE(GetMTSFileBytesSize) {
    // Camcorder streams: 192-byte packets, a 4-byte time stamp before each.
    if (buf && len >= 392 && buf[4] == 0x47 && buf[196] == 0x47 && buf[388] == 0x47)
        return PacketRun(judge, buf, len, 192, 4);
    return GetDefaultVedioFileBytesSize(judge, buf, len);
}

FR_LENGTH_RULE(GetAVIFileBytesSize) {
    if (!buf || len < 16) return static_cast<u64L>(judge.m_nBytesPerSector);
    return static_cast<u64L>(GetLe32(buf + 4)) + 8;
}

FR_LENGTH_RULE(GetASFFileBytesSize) {
    const u64L S = static_cast<u64L>(judge.m_nBytesPerSector);
    if (!buf) return S;
    const int n = std::min<int>(len, judge.m_nBytesPerSector);
    int g = Find(buf, n, sm_Asf_file_properties_guid, 16, 30);
    // The object's fields up to the flags at +88 must lie in the sector.
    if (g < 0 || g + 89 > n) return S;
    if (buf[g + 88] & 1) return S;
    return std::min<u64L>(GetLe64(buf + g + 40), 0x10000000ULL);
}

FR_LENGTH_RULE(GetSWFFileBytesSize) {
    const u64L S = static_cast<u64L>(judge.m_nBytesPerSector);
    if (!buf || len < 8) return S;
    if (buf[0] == 'F') return std::min<u64L>(GetLe32(buf + 4), 0x10000000ULL);
    return S;
}

// ---------------------------------------------------------------------------
// Documents and archives

FR_LENGTH_RULE(GetPDFFileBytesSize) {
    if (u64L n = WalkLinearizedPdf(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    // A linearized or updated document has several end markers: the file
    // ends at the last one the walk meets. Once 4 MiB have passed without
    // another, the walk ends there.
    constexpr u64L kAfterLastEof = 0x400000ULL;
    u64L eof = 0, trailer = 0;
    u64L walk = Walk(judge, 0x40000000ULL, EndKind::File, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        int p = FindLast(w, bytes, "%%EOF", 5);
        if (p >= 0) {
            // The end-of-line after the marker belongs to the file.
            int e = p + 5;
            if (e < bytes && w[e] == '\r') ++e;
            if (e < bytes && w[e] == '\n') ++e;
            eof = off + static_cast<u64L>(e);
        } else if (!eof) {
            p = FindLast(w, bytes, "trailer", 7);
            if (p >= 0) trailer = off + static_cast<u64L>(p) + 7;
        }
        if (eof && off + static_cast<u64L>(bytes) - eof > kAfterLastEof) {
            res = eof;
            return Hook::Stop;
        }
        return Hook::Continue;
    });
    if (eof && eof <= walk) return eof;
    if (trailer && trailer <= walk) return trailer;
    return walk;
}

FR_LENGTH_RULE(Get7ZFileBytesSize) {
    // The start header names where the archive's last header lies and is
    // protected by a checksum; when it checks out, it gives the exact size.
    if (buf && len >= 32 && Crc32(buf + 12, 20) == GetLe32(buf + 8)) {
        const u64L size = 32 + GetLe64(buf + 12) + GetLe64(buf + 20);
        if (GetLe64(buf + 12) < k4G && GetLe64(buf + 20) < k4G && size <= k4G) return size;
    }
    return Walk(judge, k4G, EndKind::File, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        int p = FindLast(w, bytes, sz7ZTail, 12);
        if (p < 0) return Hook::Continue;
        res = off + static_cast<u64L>(p) + 27;
        return Hook::Stop;
    });
}

FR_LENGTH_RULE(GetZIPFileBytesSize) {
    (void)buf;
    (void)len;
    const int S = judge.m_nBytesPerSector;
    // A small archive may end in its first sector.
    if (buf && S > 0) {
        u64L end;
        if (ZipEnd(buf, std::min(len, S), 0, end)) return end;
    }
    return ZipRule(judge, k4G);
}

FR_LENGTH_RULE(GetOFFICE2007FileBytesSize) {
    const int S = judge.m_nBytesPerSector;
    if (buf && S > 0) {
        u64L end;
        if (ZipEnd(buf, std::min(len, S), 0, end)) return end;
    }
    return ZipRule(judge, 0x7FFFFFFULL);
}

FR_LENGTH_RULE(GetCABFileBytesSize) {
    if (!buf || len < 36) return static_cast<u64L>(judge.m_nBytesPerSector);
    return std::min<u64L>(GetLe32(buf + 8), 0x40000000ULL);
}

FR_LENGTH_RULE(GetDBFileBytesSize) {
    if (u64L n = WalkSqlite(judge, buf, len)) return n;
    if (judge.m_ErrorCode) return 0;
    return PlainWalk(judge, 0x180000000ULL, EndKind::File);
}

FR_LENGTH_RULE(GetMailFileBytesSize) {
    (void)buf;
    (void)len;
    return PlainWalk(judge, 0x80000000ULL, EndKind::File);
}

FR_LENGTH_RULE(GetOFFICE2003FileBytesSizeByFileHead) {
    constexpr u64L kCap = 0x7FFFFFFULL;
    if (!buf || len < 512) return 0;
    const u16 shift = GetLe16(buf + 30);
    if (shift != 9 && shift != 12) return 0;
    const u64L M = (0xFFFFFFFAULL >> (shift - 2)) + 1;
    const u32 F = GetLe32(buf + 44);
    const u32 D = GetLe32(buf + 72);
    if (F > M || GetLe32(buf + 64) > M) return 0;
    if (D > M / ((1ULL << (shift - 2)) - 1) + 1) return 0;
    if (F == 0) return 0;
    // The file's own sectors: 512 bytes (shift 9) or 4096 bytes (shift 12),
    // whatever the device's sector size; the header takes one of them.
    const u32 CS = 1u << shift;
    const u32 perFat = CS / 4;  // FAT entries in a FAT sector
    const u64L E = static_cast<u64L>(F) * perFat + 1;
    // So large that the trailing free entries cannot bring it under the cap.
    if ((E - perFat) * CS >= kCap) return kCap;
    u32 lastFat;
    std::vector<unsigned char> sec(CS);
    if (D == 0) {
        // The header holds the first 109 FAT sector numbers.
        if (F > 109) return 0;
        lastFat = GetLe32(buf + 76 + 4 * (F - 1));
    } else {
        if (F < 109) return 0;
        const u32 perDifat = perFat - 1;  // the last entry links to the next DIFAT sector
        u32 cur = GetLe32(buf + 68);
        const u32 rest = F - 109;
        const u32 need = (rest + perDifat - 1) / perDifat;  // DIFAT sectors that hold the rest
        if (need == 0) return 0;
        u32 i = 0;
        for (;;) {
            if (cur >= 0xFFFFFFFCu) return 0;
            if (!ReadFileBytes(judge, (static_cast<u64L>(cur) + 1) * CS, sec.data(), static_cast<int>(CS))) return 0;
            if (++i >= need || i >= D) break;
            cur = GetLe32(sec.data() + 4 * perDifat);
        }
        const u32 idx = rest % perDifat == 0 ? perDifat - 1 : rest % perDifat - 1;
        lastFat = GetLe32(sec.data() + 4 * idx);
    }
    if (lastFat >= 0xFFFFFFFAu || !ReadFileBytes(judge, (static_cast<u64L>(lastFat) + 1) * CS, sec.data(), static_cast<int>(CS)))
        return std::min(E * CS, kCap);
    u64L freeTail = 0;
    for (int k = static_cast<int>(perFat) - 1; k >= 0 && GetLe32(sec.data() + 4 * k) == 0xFFFFFFFFu; --k) ++freeTail;
    return std::min((E - freeTail) * CS, kCap);
}

FR_LENGTH_RULE(GetOFFICE2003FileBytesSize) {
    u64L size = GetOFFICE2003FileBytesSizeByFileHead(judge, buf, len);
    if (size) return size;
    const int S = judge.m_nBytesPerSector;
    return Walk(judge, 0x7FFFFFFULL, EndKind::File, [&](const unsigned char* w, int bytes, u64L off, bool, u64L, u64L& res) {
        if (Find(w, bytes, ucDocTailHead, 6) < 0) return Hook::Continue;
        int p = Find(w, bytes, ucDocTail, 26);
        if (p < 0) return Hook::Continue;
        const u64L end = static_cast<u64L>(p) + 26;
        res = off + (end + S - 1) / S * S;
        return Hook::Stop;
    });
}
