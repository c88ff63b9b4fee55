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
#include <vector>

#include "carving/FragmentJoin.h"
#include "core/DiskReader.h"
#include "core/Records.h"
#include "results/ScanResultFileManager.h"

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

// A carved picture (its length unknown) whose carve is in question, read
// over the walk from its first cluster (the walk steps over the clusters of
// files known to be elsewhere); guessBytes: the carver's length. Healthy
// with its length and layout when it checks out in one or two runs of
// clusters on the device (see JoinOpenEnded), else broken.
struct CarvedPictureCheck {
    u32 health = 1;               // 1, FR_HEALTH_BROKEN or FR_HEALTH_UNCONFIRMED
    FatPieces pieces;             // in clusters of the device from the first one
    u64 length = 0;               // the picture's length when it checks out
    std::vector<u32> clusters;    // the clusters it holds
};
CarvedPictureCheck CheckCarvedPicture(CheckedKind kind, u32 firstCluster, u64 guessBytes, const FatWalk& walk,
                                      CDiskReader& reader, int bytesPerSector);

// Reads record index of the store into node (which walk may look at),
// checks it as a deleted picture from its first cluster, keeps what it
// holds in claims and writes its health and layout back.
void CheckStoredPicture(CScanResultFileManager& store, u32 index, _FILE_NODE_& node, FatWalk& walk,
                        CDiskReader& reader, int bytesPerSector, FatClaims& claims);
