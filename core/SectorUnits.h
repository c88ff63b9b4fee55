// Free-space queries of the deep scan count in 512-byte sectors, while a
// volume's bitmap counts in the volume's own sectors (4096 bytes on some
// disks). This adapts one to the other.
#pragma once

#include <algorithm>
#include <vector>

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

// The next stretch of free clusters of a volume at or after u64Sector (in
// the volume's own sectors; 0 means the start of the data area), from an
// allocation bitmap whose bit i is set when cluster i of the data area is
// in use. Always 1; u64Count 0 when no free cluster follows.
inline int NextFreeStretch(const std::vector<u8>& bitmap, u64 clusters, u64 dataStart, u64 spc,
                           u64 volumeSectors, u64& u64Sector, u64& u64Count) {
    u64Count = 0;
    if (u64Sector >= volumeSectors) {
        u64Sector = volumeSectors;
        return 1;
    }
    if (bitmap.empty() || spc == 0) return 1;
    clusters = std::min<u64>(clusters, static_cast<u64>(bitmap.size()) * 8);
    u64 rel;
    if (u64Sector == 0)
        rel = 0;
    else if (u64Sector < dataStart)
        return 1;
    else
        rel = u64Sector - dataStart;
    u64 idx = rel / spc;
    if (idx >= clusters) return 1;
    auto bit = [&](u64 i) { return (bitmap[i >> 3] >> (i & 7)) & 1; };
    u64 f = idx;
    while (f < clusters) {
        if ((f & 7) == 0 && bitmap[f >> 3] == 0xFF) {
            f += 8;
            continue;
        }
        if (!bit(f)) break;
        ++f;
    }
    if (f >= clusters) return 1;
    if (f > idx) rel = f * spc;  // moved to the start of the free cluster
    u64 e = f;
    while (e < clusters) {
        if ((e & 7) == 0 && bitmap[e >> 3] == 0 && e + 8 <= clusters) {
            e += 8;
            continue;
        }
        if (bit(e)) break;
        ++e;
    }
    u64 count = e * spc - rel;
    const u64 sector = rel + dataStart;
    if (sector + count > volumeSectors) count = sector < volumeSectors ? volumeSectors - sector : 0;
    u64Sector = sector;
    u64Count = count;
    return 1;
}
