// FAT on-disk structures and the stateless rules that judge raw bytes:
// boot-record geometry, directory entries, long-name entries, date words,
// directory starts and directory fragments. Everything here reads raw
// little-endian bytes and never looks past the lengths it is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/ByteOrder.h"
#include "core/Records.h"

// Attribute bits of a directory entry.
constexpr u8 FAT_ATTR_READONLY = 0x01;
constexpr u8 FAT_ATTR_HIDDEN = 0x02;
constexpr u8 FAT_ATTR_SYSTEM = 0x04;
constexpr u8 FAT_ATTR_VOLUME = 0x08;
constexpr u8 FAT_ATTR_DIRECTORY = 0x10;
constexpr u8 FAT_ATTR_ARCHIVE = 0x20;
constexpr u8 FAT_ATTR_LONG_NAME = 0x0F;
constexpr u8 FAT_DELETED_MARK = 0xE5;
// Case flags of a short entry (byte 12): base name, extension shown in lower case.
constexpr u8 FAT_CASE_LOWER_BASE = 0x08;
constexpr u8 FAT_CASE_LOWER_EXT = 0x10;
constexpr int FAT_ENTRY_SIZE = 32;
// A long name spans at most this many entries in the look-ahead rules.
constexpr int FAT_MAX_LONG_NAME_ENTRIES = 18;
// Nodes with a cluster size at or above this are refused on output.
constexpr u32 FAT_MAX_CLUSTER_BYTES = 0x6400001;

#pragma pack(push, 1)
// One 32-byte short directory entry (same layout on FAT12, FAT16, FAT32).
struct FAT32_Entry {
    u8 szName[8];          // 0  base name, blank padded; 0xE5 deleted, 0 end
    u8 szExtend[3];        // 8  extension, blank padded
    u8 byAttribute;        // 11
    u8 byReserved;         // 12
    u8 byCreateTimeTenth;  // 13
    u16 wCreateTime;       // 14
    u16 wCreateDate;       // 16
    u16 wLastAccessDate;   // 18
    u16 wFirstClusterHigh; // 20 (FAT32)
    u16 wLastWriteTime;    // 22
    u16 wLastWriteDate;    // 24
    u16 wFirstClusterLow;  // 26
    u32 dwFileSize;        // 28
};

// One 32-byte long-name entry (attribute exactly 0x0F).
struct FAT_LONG_NAME_Entry {
    u8 bySequence;         // 0  bits 0-5 sequence; 0x40 last part; 0xE5 deleted
    u16 wName1[5];         // 1  characters 1-5 (UTF-16LE)
    u8 byAttribute;        // 11 0x0F
    u8 byType;             // 12 0
    u8 byCheckSum;         // 13 checksum of the short name
    u16 wName2[6];         // 14 characters 6-11
    u16 wFirstClusterLow;  // 26 0
    u16 wName3[2];         // 28 characters 12-13
};

// A decoded time stamp: signed seconds since 1970-01-01 UTC, low half first.
struct _FILETIME {
    u32 dwLowDateTime;
    u32 dwHighDateTime;
};
#pragma pack(pop)
static_assert(sizeof(FAT32_Entry) == 32);
static_assert(sizeof(FAT_LONG_NAME_Entry) == 32);
static_assert(offsetof(FAT32_Entry, dwFileSize) == 28);
static_assert(offsetof(FAT_LONG_NAME_Entry, byCheckSum) == 13);

// --- Boot record --------------------------------------------------------

// Boot-record offsets the engines read.
constexpr int FAT_BPB_BYTES_PER_SECTOR = 11;   // u16
constexpr int FAT_BPB_SECTORS_PER_CLUSTER = 13;  // u8
constexpr int FAT_BPB_RESERVED_SECTORS = 14;  // u16
constexpr int FAT_BPB_NUM_FATS = 16;          // u8
constexpr int FAT_BPB_ROOT_ENTRIES = 17;      // u16
constexpr int FAT_BPB_TOTAL_SECTORS16 = 19;   // u16
constexpr int FAT_BPB_SECTORS_PER_FAT16 = 22; // u16
constexpr int FAT_BPB_TOTAL_SECTORS32 = 32;   // u32
constexpr int FAT_BPB_SECTORS_PER_FAT32 = 36; // u32
constexpr int FAT_BPB_ROOT_CLUSTER = 44;      // u32
constexpr int FAT_BPB_FAT32_LABEL = 82;       // "FAT32   "

// Geometry of a FAT volume as read from its boot record. Sector numbers are
// relative to the volume start.
struct FatBootInfo {
    u32 nBytesPerSector = 512;
    u32 nSectorsPerCluster = 0;
    u32 nReservedSectors = 0;
    u32 nNumFats = 0;
    u32 nRootEntries = 0;       // FAT12/16 fixed root area, in entries
    u32 nSectorsPerFat = 0;     // from offset 36 on FAT32, 22 otherwise
    u64 u64TotalSectors = 0;    // offset 32, or offset 19 when that is 0
    u32 nRootDirSectors = 0;    // FAT12/16: root entries x 32 rounded up to sectors
    u64 u64FatStartSector = 0;  // reserved sectors
    u64 u64RootDirSector = 0;   // FAT12/16: first sector of the fixed root area
    u64 u64DataStartSector = 0; // first sector of cluster 2
    u32 nRootCluster = 0;       // FAT32: offset 44; otherwise 0
    u32 nClusterCount = 0;      // clusters of the data area (2 .. count + 1)
    int nFatBits = 16;          // 12, 16 or 32
    bool bIsFat32 = false;      // bytes 82..89 read "FAT32   "
};

// True when bytes 82 to 89 read "FAT32   " (len must cover them).
bool IsFat32BootRecord(const unsigned char* p, size_t len);

// Reads the geometry from a boot record of len bytes (at least 90).
// Returns false when the fields cannot describe a volume (zero or odd sector
// size, zero sectors per cluster or FATs, a data area beyond the volume).
// A volume of fewer than 4085 clusters is FAT12, as the format defines.
bool ParseFatBootRecord(const unsigned char* p, size_t len, FatBootInfo& info);

// Bytes of a volume's head that hold the FAT32 backup boot record (sector
// 6) for every sector size.
constexpr size_t kFatBackupHeadBytes = 7 * 4096;
// The boot record at the head of a volume (len bytes from its first byte):
// sector 0's, or, when that one is no FAT boot record, the FAT32 backup in
// sector 6 (of the sector size it gives itself). Null when neither is.
const unsigned char* FindFatBootRecord(const unsigned char* head, size_t len);

// --- Dates ----------------------------------------------------------------

// Local midnight at the start of a FAT date word (day in bits 0-4, month
// in 5-8, year - 1980 in 9-15), as seconds since the epoch. Words that name
// no real date are read the way a "%Y%m%d" parse followed by mktime reads
// them: an out-of-range month gives the last day of the previous year, a
// day of 0 the last day of the previous month, and overlong days roll into
// the next month. Daylight-saving time is taken as not in effect. The whole
// table is computed once per process from the local time zone.
i64 FatDateToTime(u16 wDate);
// True when the decoded date lies in [673231085, 3473231085].
bool IsFatDateInRange(u16 wDate);
constexpr i64 FAT_DATE_LOWEST = 673231085;
constexpr i64 FAT_DATE_HIGHEST = 3473231085LL;

// Time stamps of an entry in seconds since 1970: creation and last write
// with their time of day, last access as a date; 0 where the date word is 0.
void Fat32GetFileCreateTime(const FAT32_Entry* e, _FILETIME* out);
void Fat32GetFileLastAccessTime(const FAT32_Entry* e, _FILETIME* out);
void Fat32GetFileLastChangeTime(const FAT32_Entry* e, _FILETIME* out);
inline u64 FileTimeToU64(const _FILETIME& t) {
    return static_cast<u64>(t.dwLowDateTime) | (static_cast<u64>(t.dwHighDateTime) << 32);
}
// The three time stamps of a node from its 32-byte directory entry e.
void SetFatEntryTimes(const unsigned char* e, _FILE_NODE_& node);

// --- Entry rules ------------------------------------------------------------

// 1 when p (at least 64 bytes) starts a directory: a "." entry and a ".."
// entry, both directories of size 0 with the same three dates.
int IsFatFileRecord(const unsigned char* p);
// 1 when the 32-byte entry is plausible (a live plain file only with its
// archive bit). nBytesAvail counts the bytes from e to the end of its
// buffer; the directory-start shortcut is only taken when at least 64 are there.
int IsFatEntyValid(const FAT32_Entry* e, int nBytesAvail = FAT_ENTRY_SIZE);
int IsFatEntyValid(const unsigned char* e, int nBytesAvail);
// True for a short entry that names a file: not a folder, a volume label
// or a long-name part, and with its archive bit unless it is deleted.
inline bool IsFatFileEntry(const unsigned char* e) {
    const u8 a = e[11];
    if (a == FAT_ATTR_LONG_NAME || (a & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME))) return false;
    return (a & FAT_ATTR_ARCHIVE) || e[0] == FAT_DELETED_MARK;
}
// 1 when buf (length bytes of whole entries) is a run of directory entries
// that does not start a directory.
int IsFatFDTRecord(const unsigned char* buf, int length);
// The attribute bytes IsFatEntyValid lets past its first look at them: a
// volume bit only alone or in a long-name entry, and no read-only folder.
// (The two top bits, which only a dot entry may carry, are checked apart.)
namespace fat_detail {
// Per attribute byte: 1 when plausible, 2 when also free of the two top
// bits (which only a dot entry may carry).
constexpr auto kAttr = [] {
    std::array<u8, 256> t{};
    for (int v = 0; v < 256; ++v) {
        const bool volume = v != FAT_ATTR_VOLUME && v != FAT_ATTR_LONG_NAME && (v & FAT_ATTR_VOLUME);
        const bool readOnlyFolder = (v & FAT_ATTR_DIRECTORY) && (v & FAT_ATTR_READONLY);
        if (!volume && !readOnlyFolder) t[v] = (v & 0xC0) ? 1 : 3;
    }
    return t;
}();
}  // namespace fat_detail
inline bool IsFatAttrPlausible(u8 a) { return fat_detail::kAttr[a] & 1; }
// What of a first entry (at least 32 bytes) rules out most sectors as a
// directory's, before IsFatEntyValid: an end mark, or an attribute byte it
// takes only in a dot entry. One branch: stray bytes pass at random.
inline bool FatFirstEntryMayHold(const unsigned char* buf) {
    return (buf[0] != 0) & (((fat_detail::kAttr[buf[11]] >> 1) != 0) | (buf[0] == '.'));
}
// False when neither IsFatFileRecord nor IsFatFDTRecord can hold for buf
// (length bytes, at least 64): both need a first entry IsFatEntyValid
// takes.
inline bool MayStartFatDirectory(const unsigned char* buf, int length) {
    return FatFirstEntryMayHold(buf) && IsFatEntyValid(buf, length);
}
// The 8-bit long-name checksum of an 11-byte short name.
u8 GetShortNameCheckSum(const char* name);
// 1 when one of the 11 bytes may not appear in a short name.
int IsInvalidShortFileName(const char* name);
// Default FAT32 sectors per cluster for a partition of this many sectors;
// v = 4096 caps the largest class at 64.
unsigned GetFat32DefaultSectorPerCluster(unsigned long long sectors, unsigned int v);

// --- Names ----------------------------------------------------------------------

// Appends the 13 UTF-16 units of a long-name entry to out (in entry order).
void GetLongNameChars(const unsigned char* entry, char16_t out[13]);
// The short name of an entry as text: base name without trailing blanks,
// then (with bWithExtension and a non-blank extension) '.' and the
// extension; A-Z kept in upper case except in the parts that the case
// flags of byte 12 mark as lower case; a leading 0xE5 shown as '!'.
std::string GetShortNameText(const unsigned char* entry, bool bWithExtension);
// UTF-16 text (up to its first 0) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const char16_t* s, size_t maxLen);
