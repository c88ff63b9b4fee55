#include "carving/FragmentJoin.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <zlib.h>

#include "carving/JpegCodedWalk.h"
#include "core/TextHelpers.h"

namespace {

// A picture larger than this is not decoded (it cannot be confirmed).
constexpr unsigned long long kMaxJpegPixels = 200ULL << 20;
// The decoder's own memory (a progressive picture keeps all its
// coefficients); more than this ends the check as a failure.
constexpr long kMaxJpegMemory = 256L << 20;
// How far the decoder may have read past the position it reports.
constexpr size_t kJpegPositionSlack = 4096;
// How much coded data after a cut is followed before a candidate second
// piece counts as a check.
constexpr size_t kCodedProbe = 64 << 10;

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr c) { std::longjmp(reinterpret_cast<JpegErrors*>(c->err)->jump, 1); }

// Warnings (corrupt entropy data, a premature end, stray bytes before a
// marker) mean the data is not the picture's own.
void OnJpegMessage(j_common_ptr c, int level) {
    if (level < 0) OnJpegError(c);
}

size_t JpegInputOffset(const jpeg_decompress_struct& cinfo, const unsigned char* data, size_t size) {
    if (!cinfo.src) return 0;
    const auto at = reinterpret_cast<uintptr_t>(cinfo.src->next_input_byte);
    const auto begin = reinterpret_cast<uintptr_t>(data);
    return at >= begin && at <= begin + size ? static_cast<size_t>(at - begin) : size;
}

// Decodes the whole picture at 1/8 scale: every entropy-coded unit is read,
// the inverse transforms stay cheap. Only C objects live in this frame, as
// the error path leaves it by longjmp.
size_t FirstBadJpegByte(const unsigned char* data, size_t size, size_t* end) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0;
    jpeg_decompress_struct cinfo;
    JpegErrors err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.emit_message = OnJpegMessage;
    if (setjmp(err.jump)) {
        const size_t at = JpegInputOffset(cinfo, data, size);
        jpeg_destroy_decompress(&cinfo);
        return at;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kMaxJpegMemory;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    if (static_cast<unsigned long long>(cinfo.image_width) * cinfo.image_height > kMaxJpegPixels) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.do_fancy_upsampling = FALSE;
    cinfo.do_block_smoothing = FALSE;
    jpeg_start_decompress(&cinfo);
    const JDIMENSION rowBytes = cinfo.output_width * static_cast<JDIMENSION>(cinfo.output_components);
    JSAMPARRAY rows = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                 std::max<JDIMENSION>(rowBytes, 1),
                                                 static_cast<JDIMENSION>(cinfo.rec_outbuf_height));
    while (cinfo.output_scanline < cinfo.output_height)
        jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(cinfo.rec_outbuf_height));
    jpeg_finish_decompress(&cinfo);
    // The end marker was read last.
    if (end) *end = JpegInputOffset(cinfo, data, size);
    jpeg_destroy_decompress(&cinfo);
    return kDataValid;
}

uint32_t Be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

bool IsChunkLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Every chunk up to IEND: a plausible name, a length inside the data, and
// its CRC.
size_t FirstBadPngByte(const unsigned char* data, size_t size, size_t* fileEnd) {
    static const unsigned char kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size < 8 || std::memcmp(data, kSig, 8) != 0) return 0;
    size_t pos = 8;
    while (true) {
        if (size - pos < 12) return size;
        const uint32_t len = Be32(data + pos);
        const unsigned char* type = data + pos + 4;
        if (!std::all_of(type, type + 4, IsChunkLetter) || len > 0x7FFFFFFFu) return pos + 8;
        if (len > size - pos - 12) return size;
        const size_t end = pos + 12 + len;
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), type, static_cast<uInt>(4 + len));
        if (crc != Be32(data + end - 4)) return end;
        if (std::memcmp(type, "IEND", 4) == 0) {
            if (fileEnd) *fileEnd = end;
            return kDataValid;
        }
        pos = end;
    }
}

// The last bytes every file of the kind ends with: the JPEG end marker, the
// PNG IEND chunk with its CRC.
std::span<const unsigned char> Tail(CheckedKind kind) {
    static const unsigned char kJpeg[] = {0xFF, 0xD9};
    static const unsigned char kPng[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (kind == CheckedKind::Jpeg) return kJpeg;
    return kPng;
}

// Where the coded data of the first scan starts (after its SOS segment);
// the size when it cannot be found.
size_t JpegCodedDataStart(std::span<const unsigned char> d) {
    size_t pos = 2;
    while (pos + 4 <= d.size() && d[pos] == 0xFF) {
        const unsigned char code = d[pos + 1];
        if (code == 0xFF) {
            ++pos;
            continue;
        }
        const size_t segEnd = pos + 2 + (static_cast<size_t>(d[pos + 2]) << 8 | d[pos + 3]);
        if (code == 0xDA) return std::min(segEnd, d.size());
        pos = segEnd;
    }
    return d.size();
}

// Whether a cluster can lie inside a JPEG's coded data: not all zero, and up
// to the first marker that is not a restart one, only stuffed bytes, fill
// bytes and restart markers (no file start).
bool CanContinueJpeg(std::span<const unsigned char> c) {
    if (std::all_of(c.begin(), c.end(), [](unsigned char b) { return b == 0; })) return false;
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        if (c[i] != 0xFF) continue;
        const unsigned char m = c[i + 1];
        if (m == 0x00 || m == 0xFF || (m >= 0xD0 && m <= 0xD7)) continue;
        return m >= 0xC0 && m != 0xD8;
    }
    return true;
}

// The PNG chunk headers along data, by their lengths only, while they lie
// in it: their offsets.
std::vector<size_t> PngChunkHeaders(std::span<const unsigned char> d) {
    std::vector<size_t> out;
    for (size_t pos = 8; pos + 12 <= d.size();) {
        out.push_back(pos);
        const size_t len = Be32(d.data() + pos);
        if (len > d.size()) break;
        pos += 12 + len;
    }
    return out;
}

}  // namespace

CheckedKind CheckedKindOfName(const std::string& name) {
    const std::string ext = LowerAscii(ExtensionOf(name, 16));
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe" || ext == "jfif") return CheckedKind::Jpeg;
    if (ext == "png") return CheckedKind::Png;
    return CheckedKind::None;
}

size_t FirstBadByte(CheckedKind kind, std::span<const unsigned char> data, size_t* end) {
    if (kind == CheckedKind::Jpeg) return FirstBadJpegByte(data.data(), data.size(), end);
    if (kind == CheckedKind::Png) return FirstBadPngByte(data.data(), data.size(), end);
    return 0;
}

std::optional<TwoPieces> JoinTwoPieces(CheckedKind kind, std::span<const unsigned char> pool, size_t clusterBytes,
                                       size_t fileSize, const JoinLimits& limits) {
    if (kind == CheckedKind::None || clusterBytes == 0 || fileSize == 0 || pool.size() < fileSize) return {};
    const size_t n = (fileSize - 1) / clusterBytes + 1;
    const size_t bad = FirstBadByte(kind, pool.first(fileSize));
    if (bad == kDataValid) return TwoPieces{n, 0};
    // The first piece ends at a cluster boundary at or before the point
    // where the contiguous reading went wrong. The JPEG decoder reports the
    // input position of the last unit it finished, which may lie a little
    // before the bytes it choked on.
    const size_t reach = kind == CheckedKind::Jpeg ? bad + kJpegPositionSlack : bad;
    const size_t lastSplit = std::min(n - 1, reach / clusterBytes);
    if (lastSplit == 0) return {};
    const auto tail = Tail(kind);
    if (fileSize < tail.size()) return {};
    std::vector<unsigned char> candidate(fileSize);
    size_t checks = 0;
    for (size_t gap = 1; gap <= limits.maxGapClusters; ++gap) {
        const size_t shift = gap * clusterBytes;
        if (shift > pool.size() || pool.size() - shift < fileSize) break;
        // A tail that lies after every cut tried is the same for all of them.
        if (fileSize - tail.size() >= lastSplit * clusterBytes &&
            std::memcmp(pool.data() + shift + fileSize - tail.size(), tail.data(), tail.size()) != 0)
            continue;
        for (size_t split = lastSplit; split >= 1; --split) {
            const size_t cut = split * clusterBytes;
            auto at = [&](size_t off) { return pool[off < cut ? off : off + shift]; };
            bool tailMatches = true;
            for (size_t i = 0; i < tail.size() && tailMatches; ++i)
                tailMatches = at(fileSize - tail.size() + i) == tail[i];
            if (!tailMatches) continue;
            if (++checks > limits.maxChecks) return {};
            std::memcpy(candidate.data(), pool.data(), cut);
            std::memcpy(candidate.data() + cut, pool.data() + cut + shift, fileSize - cut);
            if (FirstBadByte(kind, candidate) == kDataValid) return TwoPieces{split, gap};
        }
    }
    return {};
}

std::optional<OpenPieces> JoinOpenEnded(CheckedKind kind, std::span<const unsigned char> pool, size_t clusterBytes,
                                        const JoinLimits& limits) {
    if (kind == CheckedKind::None || clusterBytes == 0 || pool.size() < clusterBytes) return {};
    const size_t bpc = clusterBytes;
    const size_t clusters = pool.size() / bpc;
    size_t length = 0;
    const size_t bad = FirstBadByte(kind, pool, &length);
    if (bad == kDataValid) return OpenPieces{{(length + bpc - 1) / bpc, 0}, length};
    const size_t reach = kind == CheckedKind::Jpeg ? bad + kJpegPositionSlack : bad;
    size_t upper = std::min(clusters - 1, reach / bpc), lower = 1;
    std::vector<char> continues;
    std::vector<size_t> headers;
    CJpegCodedWalk coded;
    std::vector<CJpegCodedWalk::State> units;
    if (kind == CheckedKind::Jpeg && coded.Open(pool)) {
        CJpegCodedWalk::State st = coded.Start();
        // The data stops being the picture's no later than where the walk stops.
        if (coded.Follow(st, {pool}, SIZE_MAX, &units) == CJpegCodedWalk::End::Bad) upper = std::min(upper, st.pos / bpc);
    }
    if (kind == CheckedKind::Jpeg) {
        continues.resize(clusters);
        for (size_t i = 0; i < clusters; ++i) continues[i] = CanContinueJpeg(pool.subspan(i * bpc, bpc));
        const size_t coded = JpegCodedDataStart(pool);
        for (size_t i = (coded + bpc - 1) / bpc; i < upper; ++i)
            if (!continues[i]) upper = i;
    } else {
        headers = PngChunkHeaders(pool.first(std::min(pool.size(), bad)));
        // The chunk whose check failed began after the last good one.
        if (!headers.empty()) lower = std::max<size_t>(1, headers.back() / bpc);
    }
    if (upper == 0 || lower > upper) return {};
    std::vector<unsigned char> candidate;
    size_t checks = 0;
    for (size_t split = upper; split >= lower; --split) {
        const size_t cut = split * bpc;
        // A PNG: the chunk the cut falls in must end with its CRC in the
        // joined data (its head and the CRC of what lies before the cut are
        // the first piece's), and the chunk header after it must read as one.
        size_t head = SIZE_MAX, next = SIZE_MAX;
        uLong crc = 0;
        if (kind == CheckedKind::Png) {
            for (size_t pos = 8; pos + 8 <= cut && pos + 12 <= pool.size();) {
                head = pos;
                pos += 12 + static_cast<size_t>(Be32(pool.data() + pos));
                next = pos;
            }
            if (next != SIZE_MAX && next - 4 > cut)
                crc = crc32(crc32(0L, Z_NULL, 0), pool.data() + head + 4, static_cast<uInt>(cut - head - 4));
            else
                head = SIZE_MAX;
        }
        candidate.assign(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(cut));
        for (size_t gap = 1; gap <= limits.maxGapClusters && split + gap < clusters; ++gap) {
            const size_t from = (split + gap) * bpc;
            if (kind == CheckedKind::Jpeg && !continues[split + gap]) continue;
            // Offset off of the joined data in the pool (past it: its size).
            auto joinedAt = [&](size_t off) { return std::min(pool.size(), off < cut ? off : off - cut + from); };
            if (next != SIZE_MAX) {
                bool named = true;
                for (size_t i = next + 4; i < next + 8 && named; ++i) {
                    const size_t at = joinedAt(i);
                    named = at < pool.size() && IsChunkLetter(pool[at]);
                }
                if (!named) continue;
            }
            if (head != SIZE_MAX) {
                const size_t crcAt = joinedAt(next - 4);
                if (crcAt + 4 > pool.size() ||
                    crc32(crc, pool.data() + from, static_cast<uInt>(crcAt - from)) != Be32(pool.data() + crcAt))
                    continue;
            }
            // The coded data followed on from the last unit before the cut.
            auto unit = std::upper_bound(units.begin(), units.end(), cut,
                                         [](size_t c, const CJpegCodedWalk::State& u) { return c < u.pos; });
            if (unit != units.begin()) {
                CJpegCodedWalk::State st = *std::prev(unit);
                const CJpegCodedWalk::Bytes joined{pool, cut, from - cut};
                auto end = coded.Follow(st, joined, cut + kCodedProbe);
                if (end == CJpegCodedWalk::End::Bad) continue;
                if (end == CJpegCodedWalk::End::Limit) {
                    if (++checks > limits.maxChecks) return {};
                    if (coded.Follow(st, joined, SIZE_MAX) == CJpegCodedWalk::End::Bad) continue;
                    --checks;
                }
            }
            if (++checks > limits.maxChecks) return {};
            candidate.resize(cut);
            candidate.insert(candidate.end(), pool.begin() + static_cast<std::ptrdiff_t>(from), pool.end());
            if (FirstBadByte(kind, candidate, &length) == kDataValid && length > cut)
                return OpenPieces{{split, gap}, length};
        }
        if (split == 1) break;
    }
    return {};
}
