// A sweep window whose read failed part way is read again sector by
// sector, so that one failing sector costs that sector and no more.
#pragma once

#include <utility>
#include <vector>

#include "core/DiskReader.h"
#include "scan/SweepReader.h"

// Absolute sectors [first, end) that could not be read, in rising order.
using SectorRanges = std::vector<std::pair<u64, u64>>;

// Fills buf with the first n sectors of window w: those that arrived, then
// each of the rest read on its own through reader; a sector that cannot be
// read is left as zeros and, with pBad, added to it. Returns how many could
// not be read.
u64 RereadWindow(CDiskReader& reader, const CSweepReader::Window& w, u64 n, int nBytesPerSector,
                 std::vector<unsigned char>& buf, SectorRanges* pBad = nullptr);

// Whether bytes [u64Offset, u64Offset + u64Length) of the device touch a
// sector of bad (nBytesPerSector each).
bool TouchesBadSectors(const SectorRanges& bad, u64 u64Offset, u64 u64Length, int nBytesPerSector);
