// Whole-file checks of pictures, and putting a picture that was written in
// two pieces back together.
//
// A JPEG is checked by decoding its entropy-coded data (libjpeg-turbo, with
// every warning treated as a failure); a PNG by its chunk CRCs up to IEND.
// Either check gives the offset at which the data stopped making sense, so a
// file read as if contiguous tells where its first piece can end at the
// latest. JoinTwoPieces then tries the clusters that follow as the start of
// the second piece (a bifragment gap search), bounded per file.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

enum class CheckedKind { None, Jpeg, Png };

// The kind of check that applies to a file name's extension.
CheckedKind CheckedKindOfName(const std::string& name);

// SIZE_MAX when data holds one whole, valid file of the kind; otherwise the
// offset where the check failed (the data is wrong at or before it).
inline constexpr size_t kDataValid = static_cast<size_t>(-1);
size_t FirstBadByte(CheckedKind kind, std::span<const unsigned char> data);

// Where the file lies in the pool: its first firstClusters clusters, then,
// after gapClusters clusters that belong to something else, the rest.
struct TwoPieces {
    size_t firstClusters = 0;
    size_t gapClusters = 0;
};

struct JoinLimits {
    size_t maxGapClusters = 4095;  // the largest gap tried
    size_t maxChecks = 192;        // whole-file checks per file
};

// pool: the clusters the file may lie on, in order, its first cluster first
// (for a deleted FAT file: its first cluster and the free clusters after
// it). The layout under which the first fileSize bytes check out: the
// contiguous one when it does (gap 0), else the first two-piece layout found
// (gaps from small to large, splits from late to early). Nothing when no
// layout is found within the limits.
std::optional<TwoPieces> JoinTwoPieces(CheckedKind kind, std::span<const unsigned char> pool, size_t clusterBytes,
                                       size_t fileSize, const JoinLimits& limits = {});
