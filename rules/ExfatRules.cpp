#include "rules/ExfatRules.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/BootSector.h"
#include "core/ByteOrder.h"
#include "rules/FatRules.h"
#include "rules/NtfsParse.h"

namespace {

// A File entry's count of secondary entries: its stream extension and 1 to
// 17 name entries.
bool SecondaryCountFits(u8 count) { return count >= 2 && count <= 18; }

// The boot checksum leaves out the volume flags (106, 107) and the
// percentage in use (112), which change while the volume is mounted.
bool IsVolatileBootByte(size_t i) { return i == 106 || i == 107 || i == 112; }

u16 SetChecksum(std::span<const unsigned char> set) {
    u16 sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        u8 b = set[i];
        if (i % EXFAT_ENTRY_SIZE == 0) b |= EXFAT_IN_USE;  // deleted sets keep the sum of the live one
        sum = static_cast<u16>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

}  // namespace

bool ParseExfatBootSector(std::span<const unsigned char> s, ExfatBootInfo& out) {
    if (s.size() < 512 || !IsExfat(s.data())) return false;
    const u32 bpsShift = s[108], spcShift = s[109];
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return false;
    ExfatBootInfo b;
    b.nBytesPerSector = 1u << bpsShift;
    b.nSectorsPerCluster = 1u << spcShift;
    b.u64VolumeLength = GetLe64(s.data() + 72);
    b.nFatOffset = GetLe32(s.data() + 80);
    b.nFatLength = GetLe32(s.data() + 84);
    b.nHeapOffset = GetLe32(s.data() + 88);
    b.nClusterCount = GetLe32(s.data() + 92);
    b.nRootCluster = GetLe32(s.data() + 96);
    b.nFats = s[110];
    if (b.nFats != 1 && b.nFats != 2) return false;
    if (b.nFatOffset < 24 || b.nFatLength == 0 || b.nClusterCount == 0 || b.nClusterCount > 0xFFFFFFF5u) return false;
    if (static_cast<u64>(b.nFatLength) * b.nBytesPerSector / 4 < static_cast<u64>(b.nClusterCount) + 2) return false;
    if (static_cast<u64>(b.nHeapOffset) < static_cast<u64>(b.nFatOffset) + static_cast<u64>(b.nFatLength) * b.nFats)
        return false;
    if (b.nRootCluster < 2 || b.nRootCluster > b.nClusterCount + 1) return false;
    if (b.u64VolumeLength < b.nHeapOffset) return false;
    out = b;
    return true;
}

u32 ExfatBootChecksum(std::span<const unsigned char> region, u32 bytesPerSector) {
    const size_t n = std::min<size_t>(region.size(), static_cast<size_t>(bytesPerSector) * 11);
    u32 sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (IsVolatileBootByte(i)) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

bool ParseExfatBootRegion(std::span<const unsigned char> region, ExfatBootInfo& out) {
    ExfatBootInfo b;
    if (!ParseExfatBootSector(region, b)) return false;
    const size_t bps = b.nBytesPerSector;
    if (region.size() < bps * kExfatBootRegionSectors) return false;
    const u32 sum = ExfatBootChecksum(region, b.nBytesPerSector);
    for (size_t off = bps * 11; off < bps * 12; off += 4)
        if (GetLe32(region.data() + off) != sum) return false;
    out = b;
    return true;
}

bool FindExfatBootRegion(std::span<const unsigned char> head, ExfatBootInfo& out) {
    if (ParseExfatBootRegion(head, out)) return true;
    // The backup region starts 12 sectors in, at whatever the sector size is.
    for (size_t bps = 512; bps <= 4096; bps *= 2) {
        const size_t at = bps * kExfatBootRegionSectors;
        if (head.size() <= at) break;
        ExfatBootInfo b;
        if (ParseExfatBootRegion(head.subspan(at), b) && b.nBytesPerSector == bps) {
            b.bFromBackup = true;
            out = b;
            return true;
        }
    }
    return false;
}

bool ParseExfatEntrySet(std::span<const unsigned char> buf, ExfatEntrySet& out) {
    if (buf.size() < 3 * EXFAT_ENTRY_SIZE) return false;
    const u8 type = buf[0];
    if ((type | EXFAT_IN_USE) != EXFAT_ENTRY_FILE) return false;
    const u8 inUse = type & EXFAT_IN_USE;
    const u32 secondaries = buf[1];
    if (!SecondaryCountFits(buf[1])) return false;
    const size_t bytes = static_cast<size_t>(secondaries + 1) * EXFAT_ENTRY_SIZE;
    if (bytes > buf.size()) return false;
    const unsigned char* stream = buf.data() + EXFAT_ENTRY_SIZE;
    if (stream[0] != ((EXFAT_ENTRY_STREAM & ~EXFAT_IN_USE) | inUse)) return false;
    const u32 nameLength = stream[3];
    const u32 nameEntries = (nameLength + 14) / 15;
    if (nameLength == 0 || nameEntries > secondaries - 1) return false;
    for (u32 i = 0; i < nameEntries; ++i)
        if (buf[(2 + i) * EXFAT_ENTRY_SIZE] != ((EXFAT_ENTRY_NAME & ~EXFAT_IN_USE) | inUse)) return false;
    if (GetLe16(buf.data() + 2) != SetChecksum(buf.first(bytes))) return false;
    ExfatEntrySet s;
    s.nFlags = stream[1];
    s.u64ValidDataLength = GetLe64(stream + 8);
    s.nFirstCluster = GetLe32(stream + 20);
    s.u64DataLength = GetLe64(stream + 24);
    if (s.u64ValidDataLength > s.u64DataLength) return false;
    if (s.u64DataLength != 0 && s.nFirstCluster < 2) return false;
    // The name: 15 UTF-16 units per entry, NameLength of them.
    std::vector<unsigned char> units;
    units.reserve(nameLength * 2);
    for (u32 i = 0; i < nameEntries; ++i) {
        const unsigned char* e = buf.data() + (2 + i) * EXFAT_ENTRY_SIZE + 2;
        const u32 take = std::min<u32>(15, nameLength - i * 15);
        units.insert(units.end(), e, e + take * 2);
    }
    for (u32 i = 0; i < nameLength; ++i)
        if (GetLe16(units.data() + 2 * i) == 0) return false;
    s.strName = NtfsUtf16ToUtf8(units.data(), nameLength);
    s.bDeleted = inUse == 0;
    s.nEntries = secondaries + 1;
    s.nAttributes = GetLe16(buf.data() + 4);
    s.i64Create = ExfatTimeToUnix(GetLe32(buf.data() + 8), buf[20], buf[22]);
    s.i64Modify = ExfatTimeToUnix(GetLe32(buf.data() + 12), buf[21], buf[23]);
    s.i64Access = ExfatTimeToUnix(GetLe32(buf.data() + 16), 0, buf[24]);
    out = std::move(s);
    return true;
}

i64 ExfatTimeToUnix(u32 stamp, u8 tenMs, u8 utcOffset) {
    const u16 date = static_cast<u16>(stamp >> 16), time = static_cast<u16>(stamp);
    if (date == 0) return 0;
    const i64 day = FatDateToTime(date);
    if (day == 0) return 0;
    const u32 h = time >> 11, m = (time >> 5) & 63, s2 = time & 31;
    if (h > 23 || m > 59 || s2 > 29) return day;
    i64 t = day + static_cast<i64>(h) * 3600 + m * 60 + s2 * 2 + (tenMs <= 199 ? tenMs / 100 : 0);
    // Local time = UTC + the offset (signed 7 bits of 15 minutes), when valid.
    if (utcOffset & 0x80) {
        int q = utcOffset & 0x7F;
        if (q & 0x40) q -= 0x80;
        t -= static_cast<i64>(q) * 15 * 60;
    }
    return t;
}

std::string ExfatVolumeLabel(std::span<const unsigned char> root) {
    for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= root.size(); off += EXFAT_ENTRY_SIZE) {
        const unsigned char* e = root.data() + off;
        if (e[0] == 0) break;
        if (e[0] != EXFAT_ENTRY_LABEL) continue;
        return NtfsUtf16ToUtf8(e + 2, std::min<u32>(e[1], 11));
    }
    return {};
}

namespace {

// What a slot's type byte may start: a File entry (in use or not), or the
// allocation bitmap or up-case table of a root folder.
constexpr u8 kSlotFile = 1, kSlotBitmap = 2, kSlotUpcase = 4;
constexpr std::array<u8, 256> kSlotType = [] {
    std::array<u8, 256> t{};
    t[EXFAT_ENTRY_FILE] = t[EXFAT_ENTRY_FILE & ~EXFAT_IN_USE] = kSlotFile;
    t[EXFAT_ENTRY_BITMAP] = kSlotBitmap;
    t[EXFAT_ENTRY_UPCASE] = kSlotUpcase;
    return t;
}();

// The kinds the first N slots may start: one load and one or per slot, no
// branch.
template <size_t... I>
u8 SlotTypes(const unsigned char* p, std::index_sequence<I...>) {
    return (kSlotType[p[I * EXFAT_ENTRY_SIZE]] | ...);
}

// Some slot holds a File entry followed by a stream extension in the same
// state.
bool SetStarts(const unsigned char* p, size_t size) {
    for (size_t off = 0; off + 2 * EXFAT_ENTRY_SIZE <= size; off += EXFAT_ENTRY_SIZE) {
        const u8 a = p[off];
        if ((a | EXFAT_IN_USE) != EXFAT_ENTRY_FILE) continue;
        const u8 b = p[off + EXFAT_ENTRY_SIZE];
        if ((b | EXFAT_IN_USE) == EXFAT_ENTRY_STREAM && (a & EXFAT_IN_USE) == (b & EXFAT_IN_USE) &&
            SecondaryCountFits(p[off + 1]))
            return true;
    }
    return false;
}

constexpr size_t kSlots512 = 512 / EXFAT_ENTRY_SIZE;

#if defined(__SSE2__)
// The type bytes of slots 2i and 2i + 1 in bytes 0 and 1 (of 16).
inline __m128i TwoSlots(const unsigned char* p, int i) {
    const auto at = [p](int slot) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + slot * EXFAT_ENTRY_SIZE));
    };
    return _mm_unpacklo_epi8(at(2 * i), at(2 * i + 1));
}
// Those of slots 4i to 4i + 3 in bytes 0 to 3.
inline __m128i FourSlots(const unsigned char* p, int i) {
    return _mm_unpacklo_epi16(TwoSlots(p, 2 * i), TwoSlots(p, 2 * i + 1));
}

// Both tests on a 512-byte sector, its 16 type bytes gathered into one
// register (slot i in byte i): the bitmap and up-case table among the first
// four slots, or a File entry and a stream extension in the same state in
// slots i and i + 1. Only a sector with such a pair takes a branch.
bool MayHoldExfatEntries512(const unsigned char* p) {
    const __m128i t = _mm_unpacklo_epi64(_mm_unpacklo_epi32(FourSlots(p, 0), FourSlots(p, 1)),
                                         _mm_unpacklo_epi32(FourSlots(p, 2), FourSlots(p, 3)));
    const auto is = [](__m128i v, u8 type) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(type))); };
    const int firstFour = 0xF;
    if ((_mm_movemask_epi8(is(t, EXFAT_ENTRY_BITMAP)) & firstFour) &&
        (_mm_movemask_epi8(is(t, EXFAT_ENTRY_UPCASE)) & firstFour))
        return true;
    const __m128i next = _mm_srli_si128(t, 1);  // slot i + 1 in byte i; 0 after the last
    const __m128i inUse = _mm_set1_epi8(static_cast<char>(EXFAT_IN_USE));
    const __m128i sameState = _mm_cmpeq_epi8(_mm_and_si128(_mm_xor_si128(t, next), inUse), _mm_setzero_si128());
    const __m128i pair = _mm_and_si128(
        _mm_and_si128(is(_mm_or_si128(t, inUse), EXFAT_ENTRY_FILE), is(_mm_or_si128(next, inUse), EXFAT_ENTRY_STREAM)),
        sameState);
    for (unsigned pairs = static_cast<unsigned>(_mm_movemask_epi8(pair)); pairs != 0; pairs &= pairs - 1)
        if (SecondaryCountFits(p[static_cast<size_t>(__builtin_ctz(pairs)) * EXFAT_ENTRY_SIZE + 1])) return true;
    return false;
}
#endif

}  // namespace

bool MayHoldExfatSet(std::span<const unsigned char> s) {
    const unsigned char* p = s.data();
    // The type bytes alone rule out almost every 512-byte sector.
    if (s.size() == 512 && !(SlotTypes(p, std::make_index_sequence<kSlots512 - 1>{}) & kSlotFile)) return false;
    return SetStarts(p, s.size());
}

bool MayHoldExfatEntries(std::span<const unsigned char> s) {
#if defined(__SSE2__)
    if (s.size() == 512) return MayHoldExfatEntries512(s.data());
#endif
    if (s.size() != 512) return MayHoldExfatSet(s) || IsExfatRootStart(s);
    const unsigned char* p = s.data();
    const u8 head = SlotTypes(p, std::make_index_sequence<4>{});
    if ((head & (kSlotBitmap | kSlotUpcase)) == (kSlotBitmap | kSlotUpcase)) return true;
    const u8 rest = SlotTypes(p + 4 * EXFAT_ENTRY_SIZE, std::make_index_sequence<kSlots512 - 5>{});
    return ((head | rest) & kSlotFile) && SetStarts(p, s.size());
}

bool IsExfatRootStart(std::span<const unsigned char> s) {
    const unsigned char* p = s.data();
    if (s.size() >= 4 * EXFAT_ENTRY_SIZE) {
        const auto any = [p](u8 type) {
            return (p[0] == type) | (p[EXFAT_ENTRY_SIZE] == type) | (p[2 * EXFAT_ENTRY_SIZE] == type) |
                   (p[3 * EXFAT_ENTRY_SIZE] == type);
        };
        return any(EXFAT_ENTRY_BITMAP) && any(EXFAT_ENTRY_UPCASE);
    }
    bool bitmap = false, upcase = false;
    for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= s.size(); off += EXFAT_ENTRY_SIZE) {
        bitmap = bitmap || p[off] == EXFAT_ENTRY_BITMAP;
        upcase = upcase || p[off] == EXFAT_ENTRY_UPCASE;
    }
    return bitmap && upcase;
}
