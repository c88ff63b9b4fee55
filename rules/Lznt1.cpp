#include "rules/Lznt1.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kChunkBytes = 4096;

// One compressed chunk's data into out[0, room): bytes written, or -1.
long DecodeChunk(const unsigned char* p, size_t n, unsigned char* out, size_t room) {
    size_t in = 0, pos = 0;
    const size_t limit = std::min(room, kChunkBytes);
    while (in < n && pos < limit) {
        const unsigned flags = p[in++];
        for (int bit = 0; bit < 8 && in < n && pos < limit; ++bit) {
            if (!(flags & (1u << bit))) {
                out[pos++] = p[in++];
                continue;
            }
            if (in + 2 > n) return -1;
            const unsigned token = p[in] | (static_cast<unsigned>(p[in + 1]) << 8);
            in += 2;
            if (pos == 0) return -1;  // nothing to refer back to
            // The offset field is as wide as the position needs (at least
            // 4 bits); the length takes the remaining bits of the 16.
            unsigned lengthBits = 12;
            for (size_t q = pos - 1; q >= 0x10; q >>= 1) --lengthBits;
            const size_t back = (token >> lengthBits) + 1;
            const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
            if (back > pos) return -1;
            const size_t copy = std::min(length, limit - pos);
            for (size_t k = 0; k < copy; ++k, ++pos) out[pos] = out[pos - back];  // may overlap itself
        }
    }
    return static_cast<long>(pos);
}

}  // namespace

long Lznt1Decompress(std::span<const unsigned char> in, std::span<unsigned char> out) {
    size_t at = 0, written = 0;
    while (at + 2 <= in.size() && written < out.size()) {
        const unsigned header = in[at] | (static_cast<unsigned>(in[at + 1]) << 8);
        if (header == 0) break;
        const size_t total = (header & 0x0FFF) + 3;  // the chunk with its header
        if (at + total > in.size()) return -1;
        const unsigned char* data = in.data() + at + 2;
        const size_t n = total - 2;
        unsigned char* dst = out.data() + written;
        const size_t room = out.size() - written;
        long got;
        if (header & 0x8000) {
            got = DecodeChunk(data, n, dst, room);
            if (got < 0) return -1;
        } else {
            got = static_cast<long>(std::min(n, room));
            std::memcpy(dst, data, static_cast<size_t>(got));
        }
        written += static_cast<size_t>(got);
        at += total;
        // Every chunk but the last stands for a whole 4 KiB: a short one
        // is followed by zeros.
        if (at + 2 <= in.size() && (in[at] | in[at + 1]) != 0 && static_cast<size_t>(got) < kChunkBytes) {
            const size_t pad = std::min(kChunkBytes - static_cast<size_t>(got), out.size() - written);
            std::memset(out.data() + written, 0, pad);
            written += pad;
        }
    }
    return static_cast<long>(written);
}
