// One piece of a file's data on the device, the unit in which engines say
// where a file lies and in which its data is copied.
#pragma once

#include <vector>

#include "Records.h"

// u64Length bytes at the absolute byte offset u64Offset of the device (a
// multiple of the reader's sector size), or, with bSparse, u64Length bytes
// of zeros that have no place on the device.
struct DataExtent {
    u64 u64Offset = 0;
    u64 u64Length = 0;
    bool bSparse = false;
};

// Appends an extent, merging it into the last one when it continues it.
void AppendExtent(std::vector<DataExtent>& extents, const DataExtent& e);

// Keeps only the first u64Wanted bytes of the extents.
void TrimExtents(std::vector<DataExtent>& extents, u64 u64Wanted);

// Byte offset of the first data of the extents that lies on the device;
// false when none does (no data, or holes only).
bool FirstDataOffset(const std::vector<DataExtent>& extents, u64& u64Offset);
