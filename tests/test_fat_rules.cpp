// Directory-entry rules over hand-built entries and sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "rules/FatRules.h"
#include "rules/FatVolume.h"

namespace {

u16 Date(int y, int m, int d) { return static_cast<u16>(((y - 1980) << 9) | (m << 5) | d); }

void Put16(unsigned char* p, u16 v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, u32 v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// A short entry: 11-byte name, attribute, cluster, size, one date for all three.
void ShortEntry(unsigned char* e, const char* name11, u8 attr, u32 cluster, u32 size, u16 date) {
    std::memset(e, 0, 32);
    std::memcpy(e, name11, 11);
    e[11] = attr;
    for (int off : {16, 18, 24}) Put16(e + off, date);
    Put16(e + 20, static_cast<u16>(cluster >> 16));
    Put16(e + 26, static_cast<u16>(cluster));
    Put32(e + 28, size);
}

void LongEntry(unsigned char* e, u8 seq, const char16_t* part13, u8 checksum) {
    std::memset(e, 0, 32);
    e[0] = seq;
    e[11] = 0x0F;
    e[13] = checksum;
    static const int off[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    bool ended = false;  // the terminating 0, then 0xFFFF padding
    for (int i = 0; i < 13; ++i) {
        Put16(e + off[i], ended ? 0xFFFF : part13[i]);
        ended = ended || part13[i] == 0;
    }
}

const u16 kGoodDate = Date(2020, 6, 15);

std::vector<unsigned char> DirStartSector() {
    std::vector<unsigned char> s(512, 0);
    ShortEntry(s.data(), ".          ", 0x10, 5, 0, kGoodDate);
    ShortEntry(s.data() + 32, "..         ", 0x10, 0, 0, kGoodDate);
    ShortEntry(s.data() + 64, "PHOTO   JPG", 0x20, 6, 1000, kGoodDate);
    return s;
}

std::vector<unsigned char> FragmentSector() {
    std::vector<unsigned char> s(512, 0);
    ShortEntry(s.data(), "PHOTO   JPG", 0x20, 6, 1000, kGoodDate);
    ShortEntry(s.data() + 32, "\xE5" "OTE    TXT", 0x20, 7, 12, kGoodDate);
    ShortEntry(s.data() + 64, "SUBDIR     ", 0x10, 9, 0, kGoodDate);
    return s;
}

}  // namespace

// A directory's start ("." and ".." first), a fragment of entries, zeros.
TEST(FatRules, DirectorySectors) {
    auto s = DirStartSector();
    EXPECT_EQ(IsFatFileRecord(s.data()), 1);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0) << "the '.' entry fails the name test";
    EXPECT_EQ(IsFatEntyValid(s.data(), 64), 1);
    EXPECT_EQ(IsFatEntyValid(s.data(), 32), 0) << "last entry of a buffer: no shortcut";
    EXPECT_EQ(IsFatEntyValid(s.data() + 32, 64), 0) << "'..' alone is never valid";
    Put16(s.data() + 50, Date(2021, 1, 1));  // last-access date of ".."
    EXPECT_EQ(IsFatFileRecord(s.data()), 0);
    EXPECT_EQ(IsFatFileRecord(nullptr), 0);

    std::vector<unsigned char> zero(512, 0);
    EXPECT_EQ(IsFatFDTRecord(zero.data(), 512), 0);
    auto f = FragmentSector();
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 1);
    f[300] = 1;
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 0);

    // Short-name shapes in a fragment.
    ShortEntry(f.data(), "AB CD   TXT", 0x20, 4, 100, kGoodDate);
    EXPECT_EQ(IsFatEntyValid(f.data(), 512), 1);
    std::memset(f.data() + 32, 0, 480);
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 0) << "blank inside the base name";
    ShortEntry(f.data(), "\xC4" "A      TXT", 0x20, 4, 100, kGoodDate);
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 0) << "unpaired high byte";
    ShortEntry(f.data(), "\xC4\xE3      TXT", 0x20, 4, 100, kGoodDate);
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 1);
    // Repeating filler: bytes 1-14 equal bytes 17-30.
    ShortEntry(f.data(), "AAAAAAAATXT", 0x20, 0, 0, 0);
    std::memcpy(f.data() + 17, f.data() + 1, 14);
    EXPECT_EQ(IsFatFDTRecord(f.data(), 512), 0);
}

struct EntryCase {
    const char* what;
    const char* name11;
    u8 attr;
    u32 cluster, size;
    u16 date;
    int valid;
};

TEST(FatRules, EntryValidity) {
    const EntryCase cases[] = {
        {"a file", "FILE    TXT", 0x20, 3, 10, kGoodDate, 1},
        {"no archive bit", "FILE    TXT", 0x00, 3, 10, kGoodDate, 0},
        {"lower-case letter", "FiLE    TXT", 0x20, 3, 10, kGoodDate, 0},
        {"dated 1990", "FILE    TXT", 0x20, 3, 10, Date(1990, 1, 1), 0},
        {"deleted files skip the date step", "\xE5ILE    TXT", 0x20, 3, 10, Date(1990, 1, 1), 1},
        {"dated in December", "FILE    TXT", 0x20, 3, 10, Date(2020, 12, 1), 1},
        {"empty file with a cluster", "FILE    TXT", 0x20, 3, 0, kGoodDate, 0},
        {"read-only directory", "DIR        ", 0x11, 3, 0, kGoodDate, 0},
        {"directory with a size", "DIR        ", 0x10, 3, 5, kGoodDate, 0},
        {"reserved attribute bit", "FILE    TXT", 0x60, 3, 10, kGoodDate, 0},
        {"volume labels may hold any name", "my label   ", 0x08, 0, 0, kGoodDate, 1},
        {"volume bit on a file", "FILE    TXT", 0x28, 3, 10, kGoodDate, 0},
    };
    unsigned char e[32];
    for (const auto& c : cases) {
        ShortEntry(e, c.name11, c.attr, c.cluster, c.size, c.date);
        EXPECT_EQ(IsFatEntyValid(e, 32), c.valid) << c.what;
    }
    for (auto [seq, valid] : {std::pair{0x52, 1}, {0x53, 0}, {0xE5, 1}}) {  // at most 18 long-name parts
        LongEntry(e, static_cast<u8>(seq), u"abc", 0x11);
        EXPECT_EQ(IsFatEntyValid(e, 32), valid) << seq;
    }
}

TEST(FatRules, LongNameChecksumInFragment) {
    const char* shortName = "LONGFI~1TXT";
    const u8 sum = GetShortNameCheckSum(shortName);
    std::vector<unsigned char> s(512, 0);
    LongEntry(s.data(), 0x41, u"longfile.txt", sum);
    ShortEntry(s.data() + 32, shortName, 0x20, 4, 100, kGoodDate);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    s[13] = static_cast<unsigned char>(sum + 1);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    s[32] = 0xE5;  // a deleted short entry ends the look-ahead without a checksum test
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    // The parts of one long name carry one checksum (here before a deleted
    // short entry, which is not checked against it).
    LongEntry(s.data(), 0x42, u"e.txt", sum);
    LongEntry(s.data() + 32, 0x01, u"a long nam", static_cast<u8>(sum + 1));
    ShortEntry(s.data() + 64, shortName, 0x20, 4, 100, kGoodDate);
    s[64] = 0xE5;
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    // A run of 21 parts is one too many: collecting starts over at the 21st.
    CFatLongName lfn;
    for (int i = 0; i < 21; ++i) LongEntry(s.data(), 1, i < 20 ? u"abcdefghijklm" : u"nopqrstuvwxyz", sum), lfn.AddPart(s.data());
    std::string name;
    EXPECT_TRUE(lfn.Take(name) && name == "nopqrstuvwxyz") << name;
}

TEST(FatRules, ShortNameHelpers) {
    EXPECT_EQ(IsInvalidShortFileName("FOO     BAR"), 0);
    EXPECT_EQ(IsInvalidShortFileName("FOO?    BAR"), 1);
    EXPECT_EQ(IsInvalidShortFileName("foo     BAR"), 1);
    unsigned char e[32];
    ShortEntry(e, "\xE5OLDER  OLD", 0x10, 3, 0, kGoodDate);
    // Stored case is kept unless the case flags of byte 12 say otherwise.
    const struct { u8 flags; const char* base; const char* full; } cases[] = {
        {0x00, "!OLDER", "!OLDER.OLD"},
        {0x08, "!older", "!older.OLD"},
        {0x10, "!OLDER", "!OLDER.old"},
        {0x18, "!older", "!older.old"},
    };
    for (const auto& c : cases) {
        e[12] = c.flags;
        EXPECT_EQ(GetShortNameText(e, false), c.base) << int(c.flags);
        EXPECT_EQ(GetShortNameText(e, true), c.full) << int(c.flags);
    }
}

// Every one of the 65,536 date words is its local midnight, as mktime
// reads "%Y%m%d" (an impossible month gives the day before January 1st).
TEST(FatRules, DatesAreLocalMidnight) {
    for (u32 w = 0; w < 65536; ++w) {
        struct tm t {};
        int y = 1980 + (w >> 9), m = (w >> 5) & 15, d = w & 31;
        t.tm_year = y - 1900;
        t.tm_mon = (m >= 1 && m <= 12) ? m - 1 : 0;
        t.tm_mday = (m >= 1 && m <= 12 && d >= 1) ? d : 0;
        t.tm_isdst = 0;
        ASSERT_EQ(FatDateToTime(static_cast<u16>(w)), static_cast<i64>(mktime(&t))) << w;
    }
    unsigned char e[32];
    ShortEntry(e, "FILE    TXT", 0x20, 3, 10, kGoodDate);
    Put16(e + 18, Date(2021, 3, 4));
    _FILETIME c, a;
    Fat32GetFileCreateTime(reinterpret_cast<FAT32_Entry*>(e), &c);
    Fat32GetFileLastAccessTime(reinterpret_cast<FAT32_Entry*>(e), &a);
    EXPECT_EQ(FileTimeToU64(c), static_cast<u64>(FatDateToTime(kGoodDate)));
    EXPECT_EQ(FileTimeToU64(a), static_cast<u64>(FatDateToTime(Date(2021, 3, 4))));
    EXPECT_FALSE(IsFatDateInRange(Date(1991, 5, 1)));
    EXPECT_TRUE(IsFatDateInRange(Date(1991, 5, 5)));
    EXPECT_TRUE(IsFatDateInRange(Date(2080, 1, 22)));
    EXPECT_FALSE(IsFatDateInRange(Date(2080, 1, 24)));
}

TEST(FatRules, BootRecordGeometry) {
    std::vector<unsigned char> b(512, 0);
    // A FAT12 floppy: 512-byte sectors, 1 sector per cluster, 1 reserved,
    // 2 FATs of 9 sectors, 224 root entries, 2880 sectors.
    Put16(b.data() + 11, 512);
    b[13] = 1;
    Put16(b.data() + 14, 1);
    b[16] = 2;
    Put16(b.data() + 17, 224);
    Put16(b.data() + 19, 2880);
    Put16(b.data() + 22, 9);
    FatBootInfo info;
    ASSERT_TRUE(ParseFatBootRecord(b.data(), b.size(), info));
    EXPECT_EQ(info.nFatBits, 12);
    EXPECT_EQ(info.u64TotalSectors, 2880u);
    EXPECT_EQ(info.nRootDirSectors, 14u);
    EXPECT_EQ(info.u64RootDirSector, 19u);
    EXPECT_EQ(info.u64DataStartSector, 33u);
    EXPECT_EQ(info.nClusterCount, 2847u);
    b[13] = 3;  // not a power of two
    EXPECT_FALSE(ParseFatBootRecord(b.data(), b.size(), info));
    b[13] = 1;
    Put16(b.data() + 11, 0);
    EXPECT_FALSE(ParseFatBootRecord(b.data(), b.size(), info));
}
