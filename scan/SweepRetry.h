// A sweep window whose read failed part way is read again sector by
// sector, so that one failing sector costs that sector and no more.
#pragma once

#include <vector>

#include "core/DiskReader.h"
#include "scan/SweepReader.h"

// Fills buf with the first n sectors of window w: those that arrived, then
// each of the rest read on its own through reader; a sector that cannot be
// read is left as zeros. Returns how many could not be read.
u64 RereadWindow(CDiskReader& reader, const CSweepReader::Window& w, u64 n, int nBytesPerSector,
                 std::vector<unsigned char>& buf);
