// On-disk rules of exFAT as pure functions over buffers: the boot region
// (main or backup) with its checksum, directory entry sets with their set
// checksum, the volume label and the timestamps.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/Records.h"

// Geometry of an exFAT volume, in the volume's own sectors.
struct ExfatBootInfo {
    u32 nBytesPerSector = 0;
    u32 nSectorsPerCluster = 0;
    u64 u64VolumeLength = 0;  // sectors
    u32 nFatOffset = 0;
    u32 nFatLength = 0;
    u32 nHeapOffset = 0;
    u32 nClusterCount = 0;
    u32 nRootCluster = 0;
    u32 nFats = 0;
    bool bFromBackup = false;  // the main boot region was damaged
    u32 BytesPerCluster() const { return nBytesPerSector * nSectorsPerCluster; }
};

// A boot region is 12 sectors; the backup follows it.
constexpr u32 kExfatBootRegionSectors = 12;
// Enough of a volume's start to hold both boot regions at any sector size.
constexpr size_t kExfatHeadBytes = 2 * kExfatBootRegionSectors * 4096;

// The fields of one exFAT boot sector (at least 512 bytes), without the
// region checksum: true when they describe a volume.
bool ParseExfatBootSector(std::span<const unsigned char> sector, ExfatBootInfo& out);
// The checksum of a boot region's first 11 sectors of bytesPerSector bytes.
u32 ExfatBootChecksum(std::span<const unsigned char> region, u32 bytesPerSector);
// A whole boot region (12 sectors at its own sector size): fields and the
// checksum sector both hold.
bool ParseExfatBootRegion(std::span<const unsigned char> region, ExfatBootInfo& out);
// The volume's geometry from its first bytes: the main boot region, or the
// backup when the main one is damaged.
bool FindExfatBootRegion(std::span<const unsigned char> head, ExfatBootInfo& out);

// Directory entry types (bit 7 set: in use; cleared: deleted).
constexpr u8 EXFAT_ENTRY_BITMAP = 0x81;
constexpr u8 EXFAT_ENTRY_UPCASE = 0x82;
constexpr u8 EXFAT_ENTRY_LABEL = 0x83;
constexpr u8 EXFAT_ENTRY_FILE = 0x85;
constexpr u8 EXFAT_ENTRY_STREAM = 0xC0;
constexpr u8 EXFAT_ENTRY_NAME = 0xC1;
constexpr u8 EXFAT_IN_USE = 0x80;
constexpr u32 EXFAT_ENTRY_SIZE = 32;
constexpr u16 EXFAT_ATTR_DIRECTORY = 0x10;
// General secondary flags of the stream extension.
constexpr u8 EXFAT_FLAG_NO_FAT_CHAIN = 0x02;

// One file directory entry set (a file or a folder).
struct ExfatEntrySet {
    bool bDeleted = false;
    u32 nEntries = 0;  // the File entry and its secondaries
    u16 nAttributes = 0;
    u8 nFlags = 0;     // stream extension's general secondary flags
    u32 nFirstCluster = 0;
    u64 u64ValidDataLength = 0;
    u64 u64DataLength = 0;
    i64 i64Create = 0, i64Modify = 0, i64Access = 0;  // seconds since 1970, UTC; 0 unknown
    std::string strName;  // UTF-8
    bool IsDir() const { return (nAttributes & EXFAT_ATTR_DIRECTORY) != 0; }
    bool NoFatChain() const { return (nFlags & EXFAT_FLAG_NO_FAT_CHAIN) != 0; }
};

// The set beginning at buf[0] (a File entry, in use or deleted): true when
// the stream extension and every name entry it needs follow in the same
// state, the counts fit the set and the buffer, and the set checksum
// (taken with the in-use bits set) holds.
bool ParseExfatEntrySet(std::span<const unsigned char> buf, ExfatEntrySet& out);
// Seconds since 1970 (UTC) of a timestamp with its 10 ms increment and UTC
// offset byte; 0 for a timestamp that names no date.
i64 ExfatTimeToUnix(u32 stamp, u8 tenMs, u8 utcOffset);
// The volume label entry among a root directory's entries ("" when none).
std::string ExfatVolumeLabel(std::span<const unsigned char> root);
// A quick test of a swept sector: some slot starts what looks like a set
// (a File entry followed by a stream extension in the same state).
bool MayHoldExfatSet(std::span<const unsigned char> sector);
// A root folder's first entries: the allocation bitmap and up-case table.
bool IsExfatRootStart(std::span<const unsigned char> sector);
// Either of the two above, the type bytes read once.
bool MayHoldExfatEntries(std::span<const unsigned char> sector);
