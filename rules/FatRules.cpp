#include "rules/FatRules.h"

#include "core/BootSector.h"
#include "core/TextHelpers.h"

#include <array>
#include <cstring>
#include <ctime>
#include <memory>

// --- Boot record --------------------------------------------------------

bool IsFat32BootRecord(const unsigned char* p, size_t len) {
    return p && len >= 90 && std::memcmp(p + FAT_BPB_FAT32_LABEL, "FAT32   ", 8) == 0;
}

const unsigned char* FindFatBootRecord(const unsigned char* head, size_t len) {
    if (!head || len < 512) return nullptr;
    if (IsFat(head)) return head;
    for (u32 bps = 512; bps <= 4096; bps *= 2) {
        const size_t at = 6 * static_cast<size_t>(bps);
        if (at + 512 > len) break;
        const unsigned char* p = head + at;
        if (IsFat(p) && GetLe16(p + FAT_BPB_BYTES_PER_SECTOR) == bps && IsFat32BootRecord(p, 512)) return p;
    }
    return nullptr;
}

bool ParseFatBootRecord(const unsigned char* p, size_t len, FatBootInfo& info) {
    info = FatBootInfo{};
    if (!p || len < 90) return false;
    const u32 bps = GetLe16(p + FAT_BPB_BYTES_PER_SECTOR);
    if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0) return false;
    const u32 spc = p[FAT_BPB_SECTORS_PER_CLUSTER];
    if (spc == 0 || (spc & (spc - 1)) != 0) return false;
    info.nBytesPerSector = bps;
    info.nSectorsPerCluster = spc;
    info.nReservedSectors = GetLe16(p + FAT_BPB_RESERVED_SECTORS);
    info.nNumFats = p[FAT_BPB_NUM_FATS];
    info.nRootEntries = GetLe16(p + FAT_BPB_ROOT_ENTRIES);
    info.bIsFat32 = IsFat32BootRecord(p, len);
    u64 total = GetLe32(p + FAT_BPB_TOTAL_SECTORS32);
    if (total == 0) total = GetLe16(p + FAT_BPB_TOTAL_SECTORS16);
    info.u64TotalSectors = total;
    if (info.nNumFats == 0 || info.nReservedSectors == 0) return false;
    info.u64FatStartSector = info.nReservedSectors;
    if (info.bIsFat32) {
        info.nSectorsPerFat = GetLe32(p + FAT_BPB_SECTORS_PER_FAT32);
        info.nRootCluster = GetLe32(p + FAT_BPB_ROOT_CLUSTER);
        info.nRootDirSectors = 0;
        info.u64DataStartSector =
            info.u64FatStartSector + static_cast<u64>(info.nNumFats) * info.nSectorsPerFat;
        info.u64RootDirSector = info.u64DataStartSector;
    } else {
        info.nSectorsPerFat = GetLe16(p + FAT_BPB_SECTORS_PER_FAT16);
        info.nRootCluster = 0;
        info.nRootDirSectors = (info.nRootEntries * 32u + bps - 1) / bps;
        info.u64RootDirSector =
            info.u64FatStartSector + static_cast<u64>(info.nNumFats) * info.nSectorsPerFat;
        info.u64DataStartSector = info.u64RootDirSector + info.nRootDirSectors;
    }
    if (info.nSectorsPerFat == 0 || total == 0 || info.u64DataStartSector >= total) return false;
    const u64 clusters = (total - info.u64DataStartSector) / spc;
    // A FAT cannot describe more clusters than it has entries for.
    const u64 fatBytes = static_cast<u64>(info.nSectorsPerFat) * bps;
    u64 capacity;
    if (info.bIsFat32) {
        info.nFatBits = 32;
        capacity = fatBytes / 4;
    } else if (clusters < 4085) {
        info.nFatBits = 12;
        capacity = fatBytes * 2 / 3;
    } else {
        info.nFatBits = 16;
        capacity = fatBytes / 2;
    }
    u64 usable = capacity > 2 ? capacity - 2 : 0;
    u64 count = clusters < usable ? clusters : usable;
    if (count > 0x0FFFFFF5) count = 0x0FFFFFF5;
    info.nClusterCount = static_cast<u32>(count);
    if (info.bIsFat32 && (info.nRootCluster < 2 || info.nRootCluster > info.nClusterCount + 1)) return false;
    return info.nClusterCount > 0;
}

// --- Dates ------------------------------------------------------------------

namespace {

struct FatDateTable {
    std::array<i64, 65536> time;
    std::array<u8, 65536 / 8> inRange;
};

i64 LocalMidnight(int year, int mon0, int mday) {
    struct tm tmv {};
    tmv.tm_year = year - 1900;
    tmv.tm_mon = mon0;
    tmv.tm_mday = mday;
    tmv.tm_isdst = 0;
    return static_cast<i64>(mktime(&tmv));
}

const FatDateTable& DateTable() {
    static const std::unique_ptr<FatDateTable> table = [] {
        auto t = std::make_unique<FatDateTable>();
        t->inRange.fill(0);
        for (int yi = 0; yi < 128; ++yi) {
            const int year = 1980 + yi;
            // An out-of-range month stops a "%Y%m%d" parse before the day,
            // leaving January 0th: the last day of the previous year.
            const i64 badMonth = LocalMidnight(year, 0, 0);
            // Midnights step by whole days unless the zone's standard offset
            // changes: a year whose month starts and last day agree with that
            // is laid out by counting days (each conversion asks the system
            // for the zone again); otherwise each month is checked on its own.
            static constexpr int kDaysBefore[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
            const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
            const auto daysBefore = [leap](int mon0) { return kDaysBefore[mon0] + (leap && mon0 >= 2 ? 1 : 0); };
            bool yearLinear = LocalMidnight(year, 11, 31) == badMonth + daysBefore(12) * i64{86400};
            for (int m = 1; m < 12 && yearLinear; ++m)
                yearLinear = LocalMidnight(year, m, 1) == badMonth + (daysBefore(m) + 1) * i64{86400};
            for (int month = 0; month < 16; ++month) {
                const bool monthOk = month >= 1 && month <= 12;
                i64 first = 0;
                bool linear = false;
                if (monthOk && yearLinear) {
                    first = badMonth + (daysBefore(month - 1) + 1) * i64{86400};
                    linear = true;
                } else if (monthOk) {
                    // Check both ends of the month and fall back to one
                    // conversion per day if they do not agree.
                    first = LocalMidnight(year, month - 1, 1);
                    linear = LocalMidnight(year, month - 1, 0) == first - 86400 &&
                             LocalMidnight(year, month - 1, 31) == first + 30 * 86400;
                }
                for (int day = 0; day < 32; ++day) {
                    const u32 w = (static_cast<u32>(yi) << 9) | (static_cast<u32>(month) << 5) | day;
                    i64 v;
                    if (!monthOk)
                        v = badMonth;
                    else if (linear)
                        v = first + static_cast<i64>(day - 1) * 86400;
                    else
                        v = LocalMidnight(year, month - 1, day);
                    t->time[w] = v;
                    if (v >= FAT_DATE_LOWEST && v <= FAT_DATE_HIGHEST)
                        t->inRange[w >> 3] |= static_cast<u8>(1u << (w & 7));
                }
            }
        }
        return t;
    }();
    return *table;
}

inline void ToFileTime(i64 v, _FILETIME* out) {
    if (!out) return;
    const u64 u = static_cast<u64>(v);
    out->dwLowDateTime = static_cast<u32>(u);
    out->dwHighDateTime = static_cast<u32>(u >> 32);
}

constexpr auto kNameByteForbidden = [] {
    std::array<u8, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = c < 0x20 || (c >= 'a' && c <= 'z') || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
               c == '<' || c == '>' || c == '|' || c == '.';
    return t;
}();

inline bool IsNameByteForbidden(u8 c) { return kNameByteForbidden[c] != 0; }

}  // namespace

i64 FatDateToTime(u16 wDate) { return DateTable().time[wDate]; }

bool IsFatDateInRange(u16 wDate) { return (DateTable().inRange[wDate >> 3] >> (wDate & 7)) & 1; }

// Seconds into the day of a FAT time word (2-second steps); 0 for a word
// that names no time of day.
static i64 FatTimeOfDay(u16 wTime) {
    const u32 h = wTime >> 11, m = (wTime >> 5) & 63, s2 = wTime & 31;
    if (h > 23 || m > 59 || s2 > 29) return 0;
    return static_cast<i64>(h) * 3600 + m * 60 + s2 * 2;
}

// A date word (and time word, if the entry has one) as seconds since 1970;
// 0 for a date word of 0, which systems write when they record no date.
static i64 FatStamp(const unsigned char* p, int dateOffset, int timeOffset) {
    const u16 wDate = GetLe16(p + dateOffset);
    if (wDate == 0) return 0;
    return FatDateToTime(wDate) + (timeOffset >= 0 ? FatTimeOfDay(GetLe16(p + timeOffset)) : 0);
}

void Fat32GetFileCreateTime(const FAT32_Entry* e, _FILETIME* out) {
    if (e) ToFileTime(FatStamp(reinterpret_cast<const unsigned char*>(e), 16, 14), out);
}
void Fat32GetFileLastAccessTime(const FAT32_Entry* e, _FILETIME* out) {
    if (e) ToFileTime(FatStamp(reinterpret_cast<const unsigned char*>(e), 18, -1), out);
}
void Fat32GetFileLastChangeTime(const FAT32_Entry* e, _FILETIME* out) {
    if (e) ToFileTime(FatStamp(reinterpret_cast<const unsigned char*>(e), 24, 22), out);
}
void SetFatEntryTimes(const unsigned char* e, _FILE_NODE_& node) {
    node.u64CreateTime = static_cast<u64>(FatStamp(e, 16, 14));
    node.u64AccessTime = static_cast<u64>(FatStamp(e, 18, -1));
    node.u64ModifyTime = static_cast<u64>(FatStamp(e, 24, 22));
}

// --- Entry rules ------------------------------------------------------------------

namespace {
inline bool SameDate(u16 a, u16 b) { return a == b || FatDateToTime(a) == FatDateToTime(b); }
}  // namespace

int IsFatFileRecord(const unsigned char* p) {
    if (!p) return 0;
    if (p[0] != '.' || !(p[11] & FAT_ATTR_DIRECTORY) || GetLe32(p + 28) != 0) return 0;
    if (p[32] != '.' || p[33] != '.' || !(p[43] & FAT_ATTR_DIRECTORY) || GetLe32(p + 60) != 0) return 0;
    if (!SameDate(GetLe16(p + 16), GetLe16(p + 48))) return 0;
    if (!SameDate(GetLe16(p + 18), GetLe16(p + 50))) return 0;
    if (!SameDate(GetLe16(p + 24), GetLe16(p + 56))) return 0;
    return 1;
}

int IsFatEntyValid(const unsigned char* e, int nBytesAvail) {
    if (!e || nBytesAvail < FAT_ENTRY_SIZE) return 0;
    const u8 a = e[11];
    // Every test after the dot entries only rules the entry out: the
    // cheapest, which rules out most bytes, goes first.
    if (a & 0xC0) return nBytesAvail >= 2 * FAT_ENTRY_SIZE && IsFatFileRecord(e);
    if (nBytesAvail >= 2 * FAT_ENTRY_SIZE && IsFatFileRecord(e)) return 1;
    // The attribute byte rules out most stray bytes; the dates, a table
    // look-up each, come last.
    if (!IsFatAttrPlausible(a)) return 0;
    const u8 n0 = e[0];
    if (a == FAT_ATTR_LONG_NAME) {
        if (n0 != FAT_DELETED_MARK && (n0 & ~0x40u) > FAT_MAX_LONG_NAME_ENTRIES) return 0;
    } else if (a != FAT_ATTR_VOLUME) {
        // All eleven looked up, then one branch: stray bytes fail at no
        // position in particular.
        u8 forbidden = 0;
        for (int i = 0; i < 11; ++i) forbidden |= kNameByteForbidden[e[i]];
        if (forbidden) return 0;
    }
    const u32 size = GetLe32(e + 28);
    const u16 hi = GetLe16(e + 20);
    const u16 lo = GetLe16(e + 26);
    if (size == 0 && !(a & FAT_ATTR_DIRECTORY) && (hi != 0 || lo != 0)) return 0;
    if (a == FAT_ATTR_VOLUME && (size != 0 || hi != 0 || lo != 0)) return 0;
    if (a != FAT_ATTR_LONG_NAME && n0 != FAT_DELETED_MARK && !(a & FAT_ATTR_DIRECTORY)) {
        if (!IsFatDateInRange(GetLe16(e + 16)) || !IsFatDateInRange(GetLe16(e + 18)) ||
            !IsFatDateInRange(GetLe16(e + 24)))
            return 0;
    }
    if (n0 != FAT_DELETED_MARK && (a & FAT_ATTR_DIRECTORY) && size != 0) return 0;
    if (a == FAT_ATTR_LONG_NAME && lo != 0) return 0;
    if (a == FAT_ATTR_VOLUME || a == FAT_ATTR_LONG_NAME || (a & FAT_ATTR_DIRECTORY)) return 1;
    // A plain file needs the archive bit, unless it is deleted: backup
    // tools clear that bit, and a deleted file is still worth listing.
    return ((a & FAT_ATTR_ARCHIVE) || n0 == FAT_DELETED_MARK) ? 1 : 0;
}

int IsFatEntyValid(const FAT32_Entry* e, int nBytesAvail) {
    return IsFatEntyValid(reinterpret_cast<const unsigned char*>(e), nBytesAvail);
}

int IsFatFDTRecord(const unsigned char* buf, int length) {
    if (!buf || length < FAT_ENTRY_SIZE) return 0;
    // The first entry decides for most sectors.
    if (!FatFirstEntryMayHold(buf)) return 0;
    const int count = length / FAT_ENTRY_SIZE;
    const int used = count * FAT_ENTRY_SIZE;
    for (int i = 0; i < count; ++i) {
        const unsigned char* e = buf + i * FAT_ENTRY_SIZE;
        const int avail = used - i * FAT_ENTRY_SIZE;
        if (e[0] == 0) {
            if (i == 0) return 0;
            for (int k = i * FAT_ENTRY_SIZE; k < used; ++k)
                if (buf[k] != 0) return 0;
            return 1;
        }
        if (!IsFatEntyValid(e, avail)) return 0;
        if (std::memcmp(e + 1, e + 17, 14) == 0) return 0;
        if (e[11] == FAT_ATTR_LONG_NAME) {
            const u8 k = e[13];
            for (int j = 1; j <= FAT_MAX_LONG_NAME_ENTRIES && i + j < count; ++j) {
                const unsigned char* f = e + j * FAT_ENTRY_SIZE;
                if (!IsFatEntyValid(f, avail - j * FAT_ENTRY_SIZE)) return 0;
                if (f[11] == FAT_ATTR_LONG_NAME) {
                    if (f[13] != k) return 0;
                    continue;
                }
                if (f[0] != FAT_DELETED_MARK && GetShortNameCheckSum(reinterpret_cast<const char*>(f)) != k)
                    return 0;
                break;
            }
        } else {
            for (int b = 0; b < 11; ++b)
                if (e[b] < 0x20 || e[b] == '.') return 0;
            bool blank = false;
            for (int b = 0; b < 8; ++b) {
                if (e[b] == ' ')
                    blank = true;
                else if (blank)
                    return 0;
            }
            blank = false;
            for (int b = 8; b < 11; ++b) {
                if (e[b] == ' ')
                    blank = true;
                else if (blank)
                    return 0;
            }
            int b = (e[0] == FAT_DELETED_MARK) ? 1 : 0;
            while (b <= 9) {
                if (e[b] >= 0x80) {
                    if (b == 9) break;  // a pair left open at the last byte passes
                    if (e[b + 1] < 0x80) return 0;
                    b += 2;
                } else {
                    ++b;
                }
            }
        }
    }
    return 1;
}

u8 GetShortNameCheckSum(const char* name) {
    u8 sum = 0;
    if (!name) return 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<u8>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + static_cast<u8>(name[i]));
    return sum;
}

int IsInvalidShortFileName(const char* name) {
    if (!name) return 1;
    for (int i = 0; i < 11; ++i)
        if (IsNameByteForbidden(static_cast<u8>(name[i]))) return 1;
    return 0;
}

namespace {
struct ClusterSizeRow {
    u32 nSectorsPerCluster;
    u32 uFrom;  // inclusive
    u32 uTo;    // exclusive
};
constexpr ClusterSizeRow Fat32DefaultClusterPartitionSizeLimitBySector[8] = {
    {1, 68544, 133056},          {2, 133056, 264096},         {4, 264096, 526176},
    {8, 526176, 16777152},       {16, 16777152, 33554304},    {32, 33554304, 67108608},
    {64, 67108608, 268435440},   {128, 268435440, 4294967167u},
};
}  // namespace

unsigned GetFat32DefaultSectorPerCluster(unsigned long long sectors, unsigned int v) {
    if (sectors == 0) return 0;
    for (int r = 0; r < 8; ++r) {
        const auto& row = Fat32DefaultClusterPartitionSizeLimitBySector[r];
        if (sectors >= row.uFrom && sectors < row.uTo) {
            if (r == 7 && v == 4096) return 64;
            return row.nSectorsPerCluster;
        }
    }
    return 8;
}

// --- Names ------------------------------------------------------------------------

void GetLongNameChars(const unsigned char* entry, char16_t out[13]) {
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) out[i] = static_cast<char16_t>(GetLe16(entry + kOffsets[i]));
}

std::string GetShortNameText(const unsigned char* entry, bool bWithExtension) {
    // Short names are stored in upper case; byte 12 says which parts the
    // system that wrote the entry showed in lower case.
    std::string s;
    auto append = [&s](const unsigned char* p, int len, bool bLower) {
        for (int i = 0; i < len; ++i) {
            char c = static_cast<char>(p[i]);
            if (bLower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            s += c;
        }
    };
    int baseLen = 8;
    while (baseLen > 0 && entry[baseLen - 1] == ' ') --baseLen;
    append(entry, baseLen, entry[12] & FAT_CASE_LOWER_BASE);
    if (bWithExtension && entry[8] != ' ') {
        int extLen = 3;
        while (extLen > 0 && entry[8 + extLen - 1] == ' ') --extLen;
        s += '.';
        append(entry + 8, extLen, entry[12] & FAT_CASE_LOWER_EXT);
    }
    if (!s.empty() && static_cast<u8>(s[0]) == FAT_DELETED_MARK) s[0] = '!';
    // Cut at a NUL the name may hold.
    size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

std::string Utf16ToUtf8(const char16_t* s, size_t maxLen) {
    std::string out;
    if (!s) return out;
    for (size_t i = 0; i < maxLen && s[i] != 0; ++i) {
        u32 c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < maxLen && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}
