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
#include <cstdint>
#include <optional>
#include <span>
#include <string>

enum class CheckedKind { None, Jpeg, Png };

// The kind of check that applies to a file name's extension.
CheckedKind CheckedKindOfName(const std::string& name);

// SIZE_MAX when data starts with one whole, valid file of the kind (end, when
// given, then gets its length: what follows it is not looked at);
// otherwise the offset where the check failed (the data is wrong at or
// before it).
inline constexpr size_t kDataValid = static_cast<size_t>(-1);
size_t FirstBadByte(CheckedKind kind, std::span<const unsigned char> data, size_t* end = nullptr);

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

// A carved picture, whose length nothing records: the pool holds its first
// cluster and the clusters it may lie on, in order, and reaches well past
// its end. The file checks out either contiguously or in two pieces, the
// cut at a cluster boundary; its length is where the check ended (the JPEG
// end marker, the PNG IEND chunk). The cut is looked for no later than
// where the contiguous reading went wrong (for a JPEG also no later than the
// first cluster of its coded data that cannot continue it, such as another
// file's start, or where its coded data stops following its tables); a
// second piece must continue the file: for a sequential JPEG its coded data
// followed on from the last unit before the cut (CJpegCodedWalk) for 64 KiB
// or to its end, for another JPEG bytes that can be coded data; for a PNG
// the CRC of the chunk cut in two and the chunk header after it. Only the
// candidates that pass count as checks. Cuts from late to early, gaps from
// small to large, within the limits.
struct OpenPieces {
    TwoPieces layout;
    size_t length = 0;
};
std::optional<OpenPieces> JoinOpenEnded(CheckedKind kind, std::span<const unsigned char> pool, size_t clusterBytes,
                                        const JoinLimits& limits = {});

// Where a file lies along a walk of clusters (a FAT walk; the device's own
// order for a carved file): its first firstSteps clusters, then, after
// gapSteps clusters of the walk that are not its own, the rest.
struct FatPieces {
    uint32_t firstSteps = 0;
    uint32_t gapSteps = 0;
};

// The most clusters a gap search may step over, and the most a claim counts.
inline constexpr uint32_t kFatMaxSteps = 0xFFFF;

// nReserved of a file node (0: one piece). Layouts with a first piece below
// 2^19 clusters and a gap below 4096 keep the 20/12-bit form that stored
// results already hold; a wider gap sets the top bit, with 15 bits for the
// first piece and 16 for the gap.
inline constexpr uint32_t kFatWidePieces = 0x80000000u;
inline bool FatPiecesFit(uint64_t firstSteps, uint64_t gapSteps) {
    return (firstSteps < (1u << 19) && gapSteps < (1u << 12)) || (firstSteps < (1u << 15) && gapSteps <= kFatMaxSteps);
}
inline uint32_t EncodeFatPieces(const FatPieces& p) {
    if (p.gapSteps == 0) return 0;
    if (p.firstSteps < (1u << 19) && p.gapSteps < (1u << 12)) return p.firstSteps << 12 | p.gapSteps;
    return kFatWidePieces | (p.firstSteps & 0x7FFF) << 16 | (p.gapSteps & 0xFFFF);
}
inline FatPieces DecodeFatPieces(uint32_t reserved) {
    if (reserved & kFatWidePieces) return {reserved >> 16 & 0x7FFF, reserved & 0xFFFF};
    return {reserved >> 12, reserved & 0xFFF};
}
