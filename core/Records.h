// Shared records of every recovery engine, the result store and the UI.
// _FILE_NODE_ is also the record format of the result store's node file,
// so its layout is pinned byte for byte below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

typedef unsigned long long u64;
typedef long long i64;
typedef uint32_t u32;
typedef uint16_t u16;
typedef uint8_t u8;

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");

#pragma pack(push, 1)
struct _FILE_NODE_ {
    u32 wcDriveLetter;        // 0
    u32 nEngineType;          // 4   FileEngineType below
    u32 bIsDir;               // 8
    u32 nReserved;            // 12  fast FAT: deletion mark of a directory; exFAT: flags;
                              //     a FAT or carved picture in two pieces: its layout
    u32 bIsHealth;            // 16  see FR_HEALTH_UNCONFIRMED below
    u32 nFileIndex;           // 20  1-based record number in the node file
    u32 uClusterNO;           // 24
    u32 nBytesPerCluster;     // 28
    u64 u64CreateTime;        // 32
    u64 u64AccessTime;        // 40
    u64 u64ModifyTime;        // 48
    u64 u64FileSize;          // 56
    u64 u64DataStartSector;   // 64
    u64 u64RecordSector;      // 72  exFAT: the valid data length
    u64 u64VolumeStartSector; // 80
    char szFileName[256];     // 88
};

// A search hit: a verbatim copy of a stored node, as a distinct type.
struct __SEARCH_FILE_INFO__ {
    u32 wcDriveLetter;
    u32 nEngineType;
    u32 bIsDir;
    u32 nReserved;
    u32 bIsHealth;
    u32 nFileIndex;
    u32 uClusterNO;
    u32 nBytesPerCluster;
    u64 u64CreateTime;
    u64 u64AccessTime;
    u64 u64ModifyTime;
    u64 u64FileSize;
    u64 u64DataStartSector;
    u64 u64RecordSector;
    u64 u64VolumeStartSector;
    char szFileName[256];
};
#pragma pack(pop)

// bIsHealth: 0 when the file's first data does not look like its type (the
// store hides such pictures), 1 when it does or no check applies, and this
// value when the place of the data was guessed and could not be confirmed:
// such a file is listed, but not reported as healthy.
constexpr u32 FR_HEALTH_UNCONFIRMED = 2;
// Part of the file's data could not be read from the device (failing
// sectors): it is listed (pictures too) as damaged, and a copy of it keeps
// what could be read but is reported short.
constexpr u32 FR_HEALTH_UNREADABLE = 3;
// The length the file's record or header gives cannot be true (it runs
// past the end of the medium): listed as damaged with the length the
// medium can hold, never as a whole file.
constexpr u32 FR_HEALTH_LENGTH_UNPROVEN = 4;
// The place the file's record gives for its data lies outside the volume.
constexpr u32 FR_HEALTH_OUTSIDE_VOLUME = 5;
// The file's data is encrypted (NTFS EFS): it is never written out as if
// it were the file.
constexpr u32 FR_HEALTH_ENCRYPTED = 6;
// The file's data does not check out as a whole file of its type (a picture
// that breaks off or runs into another file's data), and no layout over the
// free space after it was found that does.
constexpr u32 FR_HEALTH_BROKEN = 7;

// Why a listed file is not healthy, for listings; null for a healthy one.
inline const char* HealthReason(u32 bIsHealth) {
    switch (bIsHealth) {
        case 1: return nullptr;
        case 0: return "its data does not look like its type";
        case FR_HEALTH_UNCONFIRMED: return "location unconfirmed";
        case FR_HEALTH_UNREADABLE: return "unreadable sectors";
        case FR_HEALTH_LENGTH_UNPROVEN: return "length runs past the end of the medium";
        case FR_HEALTH_OUTSIDE_VOLUME: return "data lies outside the volume";
        case FR_HEALTH_ENCRYPTED: return "encrypted: its data cannot be read without the owner's key";
        case FR_HEALTH_BROKEN: return "its data breaks off: part of it is missing or elsewhere";
        default: return "damaged";
    }
}

static_assert(sizeof(_FILE_NODE_) == 344);
static_assert(offsetof(_FILE_NODE_, wcDriveLetter) == 0);
static_assert(offsetof(_FILE_NODE_, nEngineType) == 4);
static_assert(offsetof(_FILE_NODE_, bIsDir) == 8);
static_assert(offsetof(_FILE_NODE_, nReserved) == 12);
static_assert(offsetof(_FILE_NODE_, bIsHealth) == 16);
static_assert(offsetof(_FILE_NODE_, nFileIndex) == 20);
static_assert(offsetof(_FILE_NODE_, uClusterNO) == 24);
static_assert(offsetof(_FILE_NODE_, nBytesPerCluster) == 28);
static_assert(offsetof(_FILE_NODE_, u64CreateTime) == 32);
static_assert(offsetof(_FILE_NODE_, u64AccessTime) == 40);
static_assert(offsetof(_FILE_NODE_, u64ModifyTime) == 48);
static_assert(offsetof(_FILE_NODE_, u64FileSize) == 56);
static_assert(offsetof(_FILE_NODE_, u64DataStartSector) == 64);
static_assert(offsetof(_FILE_NODE_, u64RecordSector) == 72);
static_assert(offsetof(_FILE_NODE_, u64VolumeStartSector) == 80);
static_assert(offsetof(_FILE_NODE_, szFileName) == 88);
static_assert(sizeof(__SEARCH_FILE_INFO__) == sizeof(_FILE_NODE_));
static_assert(offsetof(__SEARCH_FILE_INFO__, szFileName) == offsetof(_FILE_NODE_, szFileName));
static_assert(offsetof(__SEARCH_FILE_INFO__, u64VolumeStartSector) == 80);

enum FileEngineType : u32 {
    ENGINE_FAST_NTFS = 0,
    ENGINE_FAST_FAT = 1,
    ENGINE_DEEP_NTFS = 2,
    ENGINE_DEEP_FAT = 3,
    ENGINE_CARVING = 4,
    ENGINE_FAST_EXFAT = 5,
    ENGINE_DEEP_EXFAT = 6,
};

// A healthy node (bIsHealth 1) of engine nEngineType on a drive, all else 0.
inline _FILE_NODE_ BlankNode(wchar_t wcDriveLetter, u32 nEngineType, bool bDir) {
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof node);
    node.wcDriveLetter = static_cast<u32>(wcDriveLetter);
    node.nEngineType = nEngineType;
    node.bIsDir = bDir ? 1 : 0;
    node.bIsHealth = 1;
    return node;
}

// Longest device or image path a partition item can carry (in memory only).
constexpr size_t FR_MAX_PATH = 4096;

struct _PARTITION_ITEM_ {
    u64 u64StartSector;            // first sector, absolute, 512-byte sectors
    u64 u64EndSector;              // last sector, inclusive
    int nDiskNumber;
    char16_t szPartitionName[36];  // UTF-16, zero padded
    char szDiskName[FR_MAX_PATH];  // device or image path, zero terminated
};

struct __RUNLIST__ {
    u64 u64ClusterCount;
    i64 i64ClusterOffset;  // relative to the previous run's start (absolute for the first)
};

typedef int RECOVERY_TYPE;
constexpr RECOVERY_TYPE RECOVERY_FAST = 0;
constexpr RECOVERY_TYPE RECOVERY_PROFESSIONAL = 1;

// Calendar record of the time helpers: year, month, day, day of week,
// hour, minute, second, millisecond (day of month before day of week).
struct SYSTEMTIME {
    u16 wYear;
    u16 wMonth;
    u16 wDay;
    u16 wDayOfWeek;
    u16 wHour;
    u16 wMinute;
    u16 wSecond;
    u16 wMilliseconds;
};

// One pending directory of a directory extraction.
struct __FILE_DATA_RECOVERY__ {
    _FILE_NODE_ FileNode;
    wchar_t szTargetDir[512];
};

typedef int (*ScanProgressFunc)(void* pParam, int nProgress, int nPercent, int nRemaindSecond,
                                u64 u64CurSector, u64 u64SectorCount, u64 u64FindFileCount,
                                wchar_t* pRecoveryFileName);
typedef int (*RecoveryProgressFunc)(void* pParam, int nProgress, int nPercent, int nErrorCode,
                                    wchar_t* pRecoveryFileName);
typedef int (*SearchProgressFunc)(void* pParam, int nProgress, wchar_t* pRecoveryFileName);
typedef int (*PreviewProgressFunc)(void* pParam, int nProgress, int nRet);

// Result codes shared by every engine.
constexpr int FR_OK = 0;
constexpr int FR_INVALID = 87;      // invalid argument, absent node, read past the volume end
constexpr int FR_SHORT_READ = 30;
constexpr int FR_FAILED = -1;
constexpr int FR_RECOVERY_CANCELLED = -9527;

// Node order: files before directories, then names case-insensitively.
template <typename Node>
inline bool NodeLess(const Node& a, const Node& b) {
    if (a.bIsDir != b.bIsDir) return a.bIsDir == 0;
    return strcasecmp(a.szFileName, b.szFileName) < 0;
}

inline bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b) { return NodeLess(a, b); }
inline bool VectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) { return NodeLess(a, b); }
// Partitions order by their first sector.
inline bool VectorCmp(const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) {
    return a.u64StartSector < b.u64StartSector;
}

inline __SEARCH_FILE_INFO__ ToSearchInfo(const _FILE_NODE_& n) {
    __SEARCH_FILE_INFO__ s;
    std::memcpy(&s, &n, sizeof s);
    return s;
}
inline _FILE_NODE_ ToFileNode(const __SEARCH_FILE_INFO__& s) {
    _FILE_NODE_ n;
    std::memcpy(&n, &s, sizeof n);
    return n;
}

// Whether a scan report means "complete", and the overall percentage it shows
// (never 100 before the scan is complete).
inline bool IsScanComplete(int nProgress, int nPercent) {
    long long p = static_cast<long long>(nProgress) * nPercent;
    return p >= 10000 && p <= 10099;
}
inline int OverallPercent(int nProgress, int nPercent) {
    if (IsScanComplete(nProgress, nPercent)) return 100;
    long long v = static_cast<long long>(nProgress) * nPercent / 100;
    if (v < 0) return 0;
    return v > 99 ? 99 : static_cast<int>(v);
}
