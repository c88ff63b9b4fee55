// Limits and small helpers shared by the parts of the deep FAT engine
// (virtual boot records, entry collection, tree building).
#pragma once

#include <cstddef>

#include "fat/ProfessionalFatRecovery.h"

namespace fat_deep {

inline constexpr u32 kSector = 512;
// Up to this high word is tried when a deleted FAT32 entry lost its own.
inline constexpr unsigned kMaxGuessedHighWord = 256;
// Bounds that keep a crafted partition from exhausting time or memory.
inline constexpr size_t kMaxObservations = 65536;
inline constexpr size_t kMaxPairings = 256;
inline constexpr size_t kMaxPendingTails = 4096;
inline constexpr size_t kMaxKeptSectors = 262144;  // 128 MiB of kept directory sectors
inline constexpr size_t kMaxHeadCache = 1u << 20;
// Subfolder entries met in directory sectors (about 400 bytes each).
inline constexpr size_t kMaxDirInfos = 65536;
inline constexpr int kMaxChainSteps = 4096;
inline constexpr int kMaxLongNameEntries = 20;
// Identifiers of holder folders made for unreachable folders; above every
// cluster number a FAT can hold.
inline constexpr u32 kSyntheticDirBase = 0xF0000000u;

inline bool IsVirtualDbrSet(const __VIRTUAL_DBR_INFO__& d) { return d.nSectorsPerCluster != 0; }

inline u64 DirKey(u32 depth, u32 low) { return (static_cast<u64>(depth) << 32) | low; }

}  // namespace fat_deep
