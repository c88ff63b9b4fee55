// Constants shared by the parts of the fast NTFS engine (MFT reader, tree,
// engine).
#pragma once

#include <cstddef>

#include "core/Records.h"

namespace ntfs_fast {

inline constexpr int kTransferBytes = 65536;
inline constexpr int kResidentNotFound = -101;
inline constexpr int kAttrAbsent = -100;
inline constexpr u32 kNoCluster = 0xFFFFFFFFu;
// Bitmaps larger than this (a volume of some 32 TiB in 4 KiB clusters) are refused.
inline constexpr u64 kMaxBitmapBytes = 1ull << 30;
// Attribute lists are at most this long.
inline constexpr u64 kMaxAttrListBytes = 1ull << 22;

// Extensions longer than this are not judged or previewed.
inline constexpr size_t kMaxExtensionBytes = 16;

}  // namespace ntfs_fast
