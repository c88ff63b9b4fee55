#include "exfat/ExfatVolume.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core/ByteOrder.h"

namespace {
constexpr size_t kFatWindowBytes = 65536;
// A bitmap past this is not a card's (2^32 clusters fit in 512 MiB).
constexpr u64 kMaxBitmapBytes = 1ULL << 29;
// Pieces of one file's data followed at most (a hostile chain is cut there).
constexpr size_t kMaxExtents = 1 << 20;
}  // namespace

void CExfatVolume::SetGeometry(const ExfatBootInfo& boot, u64 u64VolumeByte) {
    m_Boot = boot;
    m_u64VolumeByte = u64VolumeByte;
    m_u64HeapByte = u64VolumeByte + static_cast<u64>(boot.nHeapOffset) * boot.nBytesPerSector;
    m_vecBitmap.clear();
    m_vecFatWindow.clear();
    m_u64FatWindowFirst = ~0ULL;
}

bool CExfatVolume::ReadBootRegion(u64 u64VolumeByte, u64 u64VolumeBytes, ExfatBootInfo& out) {
    std::vector<unsigned char> head(kExfatHeadBytes, 0);
    auto fetch = [&](size_t at, size_t len) {
        return at + len <= head.size() && at + len <= u64VolumeBytes && Read(u64VolumeByte + at, head.data() + at, len) == len;
    };
    auto named = [&](size_t at) { return fetch(at, 512) && std::memcmp(head.data() + at + 3, "EXFAT   ", 8) == 0; };
    // The main region at the sector size it states (shift 9 to 12), then
    // the backup, 12 sectors in, at each sector size.
    if (named(0)) {
        const unsigned shift = head[108];
        if (shift >= 9 && shift <= 12) fetch(0, (size_t{1} << shift) * kExfatBootRegionSectors);
    }
    for (size_t bps = 512; bps <= 4096; bps *= 2) {
        const size_t at = bps * kExfatBootRegionSectors;
        if (named(at)) fetch(at, bps * kExfatBootRegionSectors);
    }
    return FindExfatBootRegion(head, out);
}

size_t CExfatVolume::Read(u64 u64Byte, unsigned char* buf, size_t len) {
    if (len == 0 || u64Byte % 512 != 0 || len % 512 != 0) return 0;
    unsigned got = 0;
    m_Reader.ReadData(buf, static_cast<int>(len / 512), static_cast<long long>(u64Byte / 512), 512, &got);
    return static_cast<size_t>(got) * 512;
}

bool CExfatVolume::FatEntry(u32 c, u32& next) {
    next = 0;
    if (c > static_cast<u64>(m_Boot.nClusterCount) + 1 || m_Boot.nFatLength == 0) return false;
    const u64 perWindow = kFatWindowBytes / 4;
    const u64 first = c / perWindow * perWindow;
    if (first != m_u64FatWindowFirst) {
        m_vecFatWindow.assign(kFatWindowBytes, 0);
        const u64 fatByte = m_u64VolumeByte + static_cast<u64>(m_Boot.nFatOffset) * m_Boot.nBytesPerSector;
        const u64 fatBytes = static_cast<u64>(m_Boot.nFatLength) * m_Boot.nBytesPerSector;
        const size_t want = static_cast<size_t>(std::min<u64>(kFatWindowBytes, fatBytes - first * 4) + 511) / 512 * 512;
        if (Read(fatByte + first * 4, m_vecFatWindow.data(), want) < std::min<size_t>(want, 4)) {
            m_u64FatWindowFirst = ~0ULL;
            return false;
        }
        m_u64FatWindowFirst = first;
    }
    next = GetLe32(m_vecFatWindow.data() + (c - first) * 4);
    return true;
}

bool CExfatVolume::IsAllocated(u32 c) const {
    if (m_vecBitmap.empty() || !IsValidCluster(c)) return false;
    const u64 i = c - 2;
    return i / 8 < m_vecBitmap.size() && ((m_vecBitmap[i / 8] >> (i % 8)) & 1);
}

bool CExfatVolume::LoadBitmap() {
    m_vecBitmap.clear();
    if (!IsValidCluster(m_Boot.nRootCluster)) return false;
    const u32 bpc = m_Boot.BytesPerCluster();
    std::vector<unsigned char> cl(bpc);
    // The bitmap entry lies among the root's first entries.
    if (Read(ClusterByte(m_Boot.nRootCluster), cl.data(), bpc) < bpc) return false;
    for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= bpc; off += EXFAT_ENTRY_SIZE) {
        const unsigned char* e = cl.data() + off;
        if (e[0] == 0) break;
        if (e[0] != EXFAT_ENTRY_BITMAP) continue;
        const u32 first = GetLe32(e + 20);
        const u64 len = GetLe64(e + 24);
        const u64 need = (static_cast<u64>(m_Boot.nClusterCount) + 7) / 8;
        if (len < need || need > kMaxBitmapBytes || !IsValidCluster(first)) return false;
        std::vector<u8> bits;
        bits.reserve(need);
        for (u32 c : Clusters(first, need, false, false)) {
            if (Read(ClusterByte(c), cl.data(), bpc) < bpc) return false;
            bits.insert(bits.end(), cl.begin(), cl.begin() + std::min<u64>(bpc, need - bits.size()));
        }
        if (bits.size() < need) return false;
        m_vecBitmap = std::move(bits);
        return true;
    }
    return false;
}

bool CExfatVolume::ForEachCluster(u32 first, u64 nBytes, bool bNoFatChain, bool bDeleted,
                                  const std::function<bool(u32)>& fn) {
    const u32 bpc = m_Boot.BytesPerCluster();
    if (bpc == 0 || !IsValidCluster(first)) return false;
    const u64 want = std::min<u64>((nBytes + bpc - 1) / bpc, m_Boot.nClusterCount);
    const u64 last = static_cast<u64>(m_Boot.nClusterCount) + 1;
    u64 count = 0;
    if (bNoFatChain) {
        for (u64 c = first; count < want && c <= last; ++c, ++count)
            if (!fn(static_cast<u32>(c))) return false;
        return count == want;
    }
    // The loop guard: a small set, then a bit per cluster once a chain is long.
    std::set<u32> few;
    std::vector<bool> many;
    auto seen = [&](u32 c) { return many.empty() ? few.count(c) != 0 : static_cast<bool>(many[c]); };
    auto visit = [&](u32 c) {
        if (many.empty() && few.size() < 4096) {
            few.insert(c);
            return;
        }
        if (many.empty()) {
            many.assign(last + 1, false);
            for (u32 f : few) many[f] = true;
        }
        many[c] = true;
    };
    u32 c = first;
    while (count < want) {
        visit(c);
        ++count;
        if (!fn(c)) return false;
        if (count >= want) break;
        u32 next = 0;
        const bool chained =
            FatEntry(c, next) && IsValidCluster(next) && !seen(next) && (!bDeleted || !IsAllocated(next));
        if (!chained) {
            if (!bDeleted) break;
            // The chain is gone: the data goes on in the next free cluster.
            next = 0;
            for (u64 n = static_cast<u64>(c) + 1; n <= last; ++n)
                if (!IsAllocated(static_cast<u32>(n))) {
                    next = static_cast<u32>(n);
                    break;
                }
            if (next == 0 || seen(next)) break;
        }
        c = next;
    }
    return count == want;
}

std::vector<u32> CExfatVolume::Clusters(u32 first, u64 nBytes, bool bNoFatChain, bool bDeleted) {
    std::vector<u32> out;
    ForEachCluster(first, nBytes, bNoFatChain, bDeleted, [&](u32 c) {
        out.push_back(c);
        return true;
    });
    return out;
}

int CExfatVolume::NodeExtents(const _FILE_NODE_& node, u64 u64Wanted, bool bDeleted, std::vector<DataExtent>& out) {
    out.clear();
    const u32 bpc = m_Boot.BytesPerCluster();
    if (bpc == 0 || node.nBytesPerCluster != bpc) return FR_INVALID;
    // Past the valid data length the file is zeros by definition.
    const u64 recorded = node.u64RecordSector, size = node.u64FileSize;  // packed fields: copied
    const u64 valid = std::min({recorded, size, u64Wanted});
    u64 covered = 0;
    if (valid > 0) {
        // Clusters that follow each other make one extent; a chain scattered
        // over more than kMaxExtents pieces is followed no further.
        const bool noChain = (node.nReserved & EXFAT_NODE_NO_FAT_CHAIN) != 0;
        ForEachCluster(node.uClusterNO, valid, noChain, bDeleted, [&](u32 c) {
            const u64 n = std::min<u64>(bpc, valid - covered);
            AppendExtent(out, {ClusterByte(c), n, false});
            covered += n;
            return out.size() < kMaxExtents;
        });
        if (covered < valid) return FR_SHORT_READ;
    }
    if (u64Wanted > covered) AppendExtent(out, {0, u64Wanted - covered, true});
    return 0;
}
