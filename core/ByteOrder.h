// Little- and big-endian loads from raw on-disk bytes, the one set every
// parser uses. The pointer forms read exactly 2, 4 or 8 bytes and assume the
// caller has checked the buffer; the span forms check it themselves and give
// 0 for a field that does not lie wholly inside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t GetLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetLe64(const unsigned char* p) {
    return static_cast<uint64_t>(GetLe32(p)) | (static_cast<uint64_t>(GetLe32(p + 4)) << 32);
}
inline uint16_t GetBe16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// True when width bytes at offset lie inside buf.
inline bool HasBytes(std::span<const unsigned char> buf, size_t offset, size_t width) {
    return offset <= buf.size() && width <= buf.size() - offset;
}
inline uint16_t GetLe16(std::span<const unsigned char> buf, size_t offset) {
    return HasBytes(buf, offset, 2) ? GetLe16(buf.data() + offset) : 0;
}
inline uint32_t GetLe32(std::span<const unsigned char> buf, size_t offset) {
    return HasBytes(buf, offset, 4) ? GetLe32(buf.data() + offset) : 0;
}
inline uint64_t GetLe64(std::span<const unsigned char> buf, size_t offset) {
    return HasBytes(buf, offset, 8) ? GetLe64(buf.data() + offset) : 0;
}
inline uint16_t GetBe16(std::span<const unsigned char> buf, size_t offset) {
    return HasBytes(buf, offset, 2) ? GetBe16(buf.data() + offset) : 0;
}
inline uint32_t GetBe32(std::span<const unsigned char> buf, size_t offset) {
    return HasBytes(buf, offset, 4) ? GetBe32(buf.data() + offset) : 0;
}
