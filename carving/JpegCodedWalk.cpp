#include "carving/JpegCodedWalk.h"

#include <algorithm>

namespace {

uint32_t Be16(std::span<const unsigned char> d, size_t at) { return static_cast<uint32_t>(d[at]) << 8 | d[at + 1]; }

}  // namespace

bool CJpegCodedWalk::Open(std::span<const unsigned char> d) {
    *this = CJpegCodedWalk();
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    struct FrameComponent {
        int id, h, v;
    };
    std::vector<FrameComponent> frame;
    uint32_t width = 0, height = 0;
    size_t pos = 2;
    while (pos + 4 <= d.size()) {
        if (d[pos] != 0xFF) return false;
        const unsigned char code = d[pos + 1];
        if (code == 0xFF) {
            ++pos;
            continue;
        }
        const size_t len = Be16(d, pos + 2);
        if (len < 2 || pos + 2 + len > d.size()) return false;
        const std::span<const unsigned char> seg = d.subspan(pos + 4, len - 2);
        pos += 2 + len;
        if (code == 0xC0 || code == 0xC1) {
            if (seg.size() < 6 || seg[0] != 8) return false;
            height = Be16(seg, 1);
            width = Be16(seg, 3);
            const size_t n = seg[5];
            if (n == 0 || n > 4 || seg.size() < 6 + 3 * n || width == 0 || height == 0) return false;
            for (size_t i = 0; i < n; ++i) {
                const int h = seg[6 + 3 * i + 1] >> 4, v = seg[6 + 3 * i + 1] & 15;
                if (h < 1 || h > 4 || v < 1 || v > 4) return false;
                frame.push_back({seg[6 + 3 * i], h, v});
            }
        } else if (code >= 0xC2 && code <= 0xCF && code != 0xC4) {
            return false;  // progressive, lossless or arithmetic-coded
        } else if (code == 0xC4) {
            for (size_t at = 0; at < seg.size();) {
                if (seg.size() - at < 17) return false;
                const int cls = seg[at] >> 4, id = seg[at] & 15;
                if (cls > 1 || id > 3) return false;
                Table& t = m_tables[static_cast<size_t>(cls * 4 + id)];
                size_t total = 0;
                int32_t codeValue = 0;
                for (int len = 1; len <= 16; ++len) {
                    const int n = seg[at + static_cast<size_t>(len)];
                    t.offset[static_cast<size_t>(len)] = static_cast<int32_t>(total) - codeValue;
                    codeValue += n;
                    total += static_cast<size_t>(n);
                    t.maxCode[static_cast<size_t>(len)] = n ? codeValue - 1 : -1;
                    if (codeValue > (1 << len)) return false;
                    codeValue <<= 1;
                }
                if (total > 256 || seg.size() - at - 17 < total) return false;
                std::copy_n(seg.begin() + static_cast<std::ptrdiff_t>(at + 17), total, t.values.begin());
                t.present = true;
                at += 17 + total;
            }
        } else if (code == 0xDD) {
            if (seg.size() < 2) return false;
            m_restartInterval = Be16(seg, 0);
        } else if (code == 0xDA) {
            if (frame.empty() || seg.empty()) return false;
            const size_t n = seg[0];
            if (n != frame.size() || seg.size() < 1 + 2 * n + 3) return false;
            int hMax = 1, vMax = 1;
            for (const FrameComponent& f : frame) hMax = std::max(hMax, f.h), vMax = std::max(vMax, f.v);
            for (size_t i = 0; i < n; ++i) {
                const auto f = std::find_if(frame.begin(), frame.end(),
                                            [&](const FrameComponent& c) { return c.id == seg[1 + 2 * i]; });
                const int dc = seg[2 + 2 * i] >> 4, ac = seg[2 + 2 * i] & 15;
                if (f == frame.end() || dc > 3 || ac > 3) return false;
                Component c;
                c.blocks = n == 1 ? 1 : f->h * f->v;
                c.dc = &m_tables[static_cast<size_t>(dc)];
                c.ac = &m_tables[static_cast<size_t>(4 + ac)];
                if (!c.dc->present || !c.ac->present) return false;
                m_scan.push_back(c);
            }
            const uint32_t uw = n == 1 ? 8 : 8 * static_cast<uint32_t>(hMax);
            const uint32_t uh = n == 1 ? 8 : 8 * static_cast<uint32_t>(vMax);
            const uint64_t units = static_cast<uint64_t>((width + uw - 1) / uw) * ((height + uh - 1) / uh);
            if (units == 0 || units > (1u << 26)) return false;
            m_units = static_cast<uint32_t>(units);
            m_stride = std::max<uint32_t>(1, m_units >> 16);
            m_codedStart = pos;
            return true;
        } else if (code == 0xD9 || code == 0xD8 || (code >= 0xD0 && code <= 0xD7) || code < 0xC0) {
            return false;
        }
    }
    return false;
}

CJpegCodedWalk::State CJpegCodedWalk::Start() const {
    State s;
    s.pos = m_codedStart;
    return s;
}

CJpegCodedWalk::End CJpegCodedWalk::Follow(State& s, const Bytes& b, size_t limit, std::vector<State>* units) const {
    if (m_scan.empty()) return End::Unknown;
    bool marker = false, noData = false;
    // Up to 57 bits fetched, stopping before any marker.
    auto fill = [&] {
        while (s.count <= 56 && !marker && !noData) {
            const int c = b(s.pos);
            if (c < 0) {
                noData = true;
                break;
            }
            if (c == 0xFF) {
                const int n = b(s.pos + 1);
                if (n < 0) {
                    noData = true;
                    break;
                }
                if (n != 0) {
                    marker = true;
                    break;
                }
                ++s.pos;
            }
            ++s.pos;
            s.bits |= static_cast<uint64_t>(c) << (56 - s.count);
            s.count += 8;
        }
    };
    // False when the bits are not there (the bytes ran out, or a marker).
    auto take = [&](uint32_t n) -> bool {
        if (s.count < n) fill();
        if (s.count < n) return false;
        s.bits <<= n;
        s.count -= n;
        return true;
    };
    // The value of the next code; -1 when the bits are not there, -2 for a
    // code the table does not hold.
    auto decode = [&](const Table& t) -> int {
        if (s.count < 16) fill();
        int32_t code = 0;
        for (uint32_t len = 1; len <= 16; ++len) {
            if (s.count < len) return -1;
            code = code << 1 | static_cast<int32_t>(s.bits >> (64 - len) & 1);
            if (code <= t.maxCode[len]) {
                const int32_t at = code + t.offset[len];
                if (at < 0 || at > 255) return -2;
                s.bits <<= len;
                s.count -= len;
                return t.values[static_cast<size_t>(at)];
            }
        }
        return -2;
    };
    // A unit that could not be read: the bytes ran out, or not the picture's.
    auto cut = [&](int why) { return why == -1 && noData ? End::NoData : End::Bad; };
    // Skips fill bytes and reads the marker at s.pos (after the unused bits
    // of the last byte): its code, or -1.
    auto nextMarker = [&]() -> int {
        if (s.count >= 8) return -1;  // bytes left before the marker
        s.bits = 0;
        s.count = 0;
        marker = false;
        while (b(s.pos) == 0xFF && b(s.pos + 1) == 0xFF) ++s.pos;
        if (b(s.pos) != 0xFF) return b(s.pos) < 0 ? -2 : -1;
        const int code = b(s.pos + 1);
        if (code < 0) return -2;
        s.pos += 2;
        return code;
    };
    while (s.unit < m_units) {
        if (s.pos >= limit) return End::Limit;
        if (m_restartInterval && s.unit && s.unit % m_restartInterval == 0 &&
            s.unit / m_restartInterval > s.restart) {
            const int code = nextMarker();
            if (code == -2) return End::NoData;
            if (code != static_cast<int>(0xD0 + (s.restart & 7))) return End::Bad;
            ++s.restart;
        }
        if (units && s.unit % m_stride == 0) units->push_back(s);
        for (const Component& c : m_scan)
            for (int k = 0; k < c.blocks; ++k) {
                int v = decode(*c.dc);
                if (v < 0 || v > 11) return cut(v);
                if (!take(static_cast<uint32_t>(v))) return cut(-1);
                for (int i = 1; i < 64;) {
                    if ((v = decode(*c.ac)) < 0) return cut(v);
                    const int run = v >> 4, size = v & 15;
                    if (size == 0) {
                        if (run != 15) break;
                        if ((i += 16) > 64) return End::Bad;
                        continue;
                    }
                    i += run;
                    if (i > 63 || size > 10) return End::Bad;
                    if (!take(static_cast<uint32_t>(size))) return cut(-1);
                    ++i;
                }
            }
        ++s.unit;
    }
    const int code = nextMarker();
    if (code == -2) return End::NoData;
    if (code == 0xD9) return End::Done;
    return code < 0 || (code >= 0xD0 && code <= 0xD8) || code == 0x01 ? End::Bad : End::Unknown;
}
