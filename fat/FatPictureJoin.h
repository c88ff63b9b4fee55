// Deleted pictures on a FAT volume, shared by the fast and the deep engine.
//
// A deleted file is read over the walk of clusters from its first one (the
// free clusters after it when the FAT is known, the following clusters
// when it is not). A JPEG or PNG read that way is checked whole; when it
// does not check out, it is looked for in two pieces: first over the walk
// without the clusters other deleted files are taken to hold, then over
// the whole walk. The layout found goes into the node's nReserved.
#pragma once

#include <functional>
#include <map>

#include "carving/FragmentJoin.h"
#include "core/DiskReader.h"
#include "core/Records.h"
#include "results/ScanResultFileManager.h"

// Where a file lies along its walk: its first firstSteps clusters, then,
// after gapSteps clusters of the walk that are not its own, the rest.
struct FatPieces {
    u32 firstSteps = 0;
    u32 gapSteps = 0;
};

// The most clusters a gap search may step over, and the most a claim counts.
inline constexpr u32 kFatMaxSteps = 0xFFFF;

// nReserved of a file node (0: one piece). Layouts with a first piece below
// 2^19 clusters and a gap below 4096 keep the 20/12-bit form that stored
// results already hold; a wider gap sets the top bit, with 15 bits for the
// first piece and 16 for the gap.
inline constexpr u32 kFatWidePieces = 0x80000000u;
inline bool FatPiecesFit(u64 firstSteps, u64 gapSteps) {
    return (firstSteps < (1u << 19) && gapSteps < (1u << 12)) || (firstSteps < (1u << 15) && gapSteps <= kFatMaxSteps);
}
inline u32 EncodeFatPieces(const FatPieces& p) {
    if (p.gapSteps == 0) return 0;
    if (p.firstSteps < (1u << 19) && p.gapSteps < (1u << 12)) return p.firstSteps << 12 | p.gapSteps;
    return kFatWidePieces | (p.firstSteps & 0x7FFF) << 16 | (p.gapSteps & 0xFFFF);
}
inline FatPieces DecodeFatPieces(u32 reserved) {
    if (reserved & kFatWidePieces) return {reserved >> 16 & 0x7FFF, reserved & 0xFFFF};
    return {reserved >> 12, reserved & 0xFFF};
}

// What a deleted file is taken to hold, in steps of the walk from its first
// cluster: restSteps clusters after gapSteps others, after its first piece.
struct FatClaim {
    u32 firstSteps = 1;
    u32 gapSteps = 0;
    u32 restSteps = 0;
};
// Deleted files of one volume by first cluster.
using FatClaims = std::map<u32, FatClaim>;

// Keeps the smaller of two guesses for the same first cluster.
void AddFatClaim(FatClaims& claims, u32 firstCluster, u64 fileSize, u32 clusterBytes);

struct FatWalk {
    std::function<u32(u32)> next;           // the cluster after c on the walk, 0 at its end
    std::function<u64(u32)> byteOffset;     // where cluster c starts on the device
    u32 clusterBytes = 0;
};

struct FatPictureCheck {
    u32 health = 1;    // 1, FR_HEALTH_BROKEN or FR_HEALTH_UNCONFIRMED
    u32 reserved = 0;  // the layout, for nReserved
    FatClaim claim;    // what the picture holds, for the checks of others
};

// Larger pictures are not checked (they stay unconfirmed).
inline constexpr u64 kFatMaxCheckedBytes = 64ULL << 20;

// Checks a deleted picture of that kind (CheckedKind::None: nothing to do,
// healthy) starting at firstCluster, skipping first what others claim.
FatPictureCheck CheckFatPicture(CheckedKind kind, u32 firstCluster, u64 fileSize, const FatWalk& walk,
                                CDiskReader& reader, int bytesPerSector, const FatClaims& others);

// Reads record index of the store into node (which walk may look at),
// checks it as a deleted picture from its first cluster, keeps what it
// holds in claims and writes its health and layout back.
void CheckStoredPicture(CScanResultFileManager& store, u32 index, _FILE_NODE_& node, FatWalk& walk,
                        CDiskReader& reader, int bytesPerSector, FatClaims& claims);
