// Free-space queries of the deep scan count in 512-byte sectors, while a
// volume's bitmap counts in the volume's own sectors (4096 bytes on some
// disks). This adapts one to the other.
#pragma once

#include "Records.h"

// query(sector, count) answers in volume sectors of bytesPerSector bytes;
// u64Limit512 is the end of the volume in 512-byte sectors.
template <typename Query>
int QueryIn512ByteSectors(u64 bytesPerSector, u64 u64Limit512, u64& u64Sector, u64& u64Count, Query query) {
    const u64 r = bytesPerSector / 512;
    if (r <= 1) return query(u64Sector, u64Count);
    u64Count = 0;
    if (u64Sector >= u64Limit512) {
        u64Sector = u64Limit512;
        return 1;
    }
    u64 s = (u64Sector + r - 1) / r;
    const u64 before = s;
    u64 c = 0;
    query(s, c);
    if (c == 0 && s == before) return 1;
    u64Sector = s * r;
    u64Count = c * r;
    return 1;
}
