// Carved pictures on a FAT volume, looked at after the sweep.
//
// The carver measures a JPEG or PNG by its structure, reading the device
// straight on from its first sector. Where a picture was written in two
// pieces, that reading runs into another file's data. On a FAT volume whose
// allocation table is known, a carved JPEG or PNG that starts on a cluster
// boundary is looked at again when its carve is in question: its structure
// did not close it (the length is a guess), or it covers clusters that are
// in use or that a file-system result holds. It is then read over the free
// clusters from its first one, stepping over those the file-system results
// and the pictures looked at before it hold, and checked whole by decoding
// (JPEG) or by its chunk CRCs (PNG); failing that, it is looked for in two
// pieces (JoinOpenEnded). What checks out gets its length and layout; what
// does not is listed as broken. A carved picture whose structure closed it
// on free clusters nothing else holds is left as the carver listed it.
#pragma once

#include <vector>

#include "carving/FileTypeRecovery.h"
#include "core/DataExtent.h"
#include "fat/FastFatRecovery.h"

struct CarvedJoinCount {
    u32 looked = 0;  // pictures whose carve was in question
    u32 broken = 0;  // of them, those that did not check out
};

// A file-system result: where its data lies on the device, its length,
// health and kind of check.
struct KnownFile {
    std::vector<DataExtent> extents;
    u64 size = 0;
    u32 health = 1;
    CheckedKind kind = CheckedKind::None;
};

// Volume start in 512-byte sectors. A carved picture that starts where a
// file-system result of its kind starts takes that engine's verdict (broken,
// or whole in one or two runs with its length) instead of being checked again.
CarvedJoinCount JoinCarvedPictures(CFileTypeRecovery& carver, CFastFatRecovery& fat, u64 u64VolumeStart512,
                                   const std::vector<KnownFile>& known);
