// The deep FAT engine's cluster geometry: the real boot record and the
// virtual boot records worked out from directory starts.
#include "fat/ProfessionalFatRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <unistd.h>

#include "core/BootSector.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FatDeepLimits.h"
#include "rules/FatVolume.h"

using namespace fat_deep;

// ---------------------------------------------------------------------------
// Geometry under a virtual boot record

bool CProfessionalFatRecovery::IsRealDbr(const __VIRTUAL_DBR_INFO__& d) const {
    return m_bHasRealDbr && !m_vecVirtualDbr.empty() && d == m_vecVirtualDbr.front();
}

u32 CProfessionalFatRecovery::RootAreaSectors(const __VIRTUAL_DBR_INFO__& d) const {
    return IsRealDbr(d) ? m_uRealRootSectors : 32;
}

bool CProfessionalFatRecovery::ClusterStart(const __VIRTUAL_DBR_INFO__& d, u32 c, u64& sector) const {
    if (!IsVirtualDbrSet(d)) return false;
    const u64 base = d.u64PartitionStart + d.nDataStartSector;
    if (c >= 2) {
        sector = base + static_cast<u64>(c - 2) * d.nSectorsPerCluster;
    } else if (c == 0) {
        const u32 root = RootAreaSectors(d);
        if (root == 0 || d.nDataStartSector < root) return false;
        sector = base - root;
    } else {
        return false;
    }
    return sector >= m_u64PartitionStart && sector < PartitionEnd();
}

bool CProfessionalFatRecovery::ClusterAtStart(const __VIRTUAL_DBR_INFO__& d, u64 s, u32& c) const {
    u64 first = 0;
    return ClusterHolding(d, s, c, first) && first == s;
}

bool CProfessionalFatRecovery::ClusterHolding(const __VIRTUAL_DBR_INFO__& d, u64 s, u32& c, u64& first) const {
    if (!IsVirtualDbrSet(d)) return false;
    const u64 base = d.u64PartitionStart + d.nDataStartSector;
    if (s >= base) {
        const u64 n = (s - base) / d.nSectorsPerCluster + 2;
        if (n > 0x0FFFFFFF) return false;
        c = static_cast<u32>(n);
        first = base + (n - 2) * d.nSectorsPerCluster;
        return true;
    }
    const u32 root = RootAreaSectors(d);
    if (root == 0 || d.nDataStartSector < root || s < base - root) return false;
    c = 0;
    first = base - root;
    return true;
}

u32 CProfessionalFatRecovery::EntryCluster(const unsigned char* e) const {
    const u32 lo = GetLe16(e + 26);
    if (m_bHasRealDbr && !m_RealBoot.bIsFat32) return lo;
    return (static_cast<u32>(GetLe16(e + 20)) << 16) | lo;
}

const CProfessionalFatRecovery::DirHead& CProfessionalFatRecovery::ReadHead(u64 u64Sector) {
    auto it = m_mapHeadCache.find(u64Sector);
    if (it != m_mapHeadCache.end()) return it->second;
    if (m_mapHeadCache.size() >= kMaxHeadCache) m_mapHeadCache.clear();
    DirHead h;
    unsigned int got = 0;
    if (u64Sector >= m_u64PartitionStart && u64Sector < PartitionEnd() &&
        m_DiskReader.ReadData(m_vecSector.data(), 1, static_cast<long long>(u64Sector), kSector, &got) == 0 &&
        got == 1) {
        const unsigned char* p = m_vecSector.data();
        h.bRead = true;
        h.bLabel = p[11] == FAT_ATTR_VOLUME;
        h.bDotPair = IsFatDotPair(p);
        h.uDot = EntryCluster(p);
        h.uDotDot = EntryCluster(p + 32);
    }
    return m_mapHeadCache.emplace(u64Sector, h).first->second;
}

bool CProfessionalFatRecovery::ClusterHead(const __VIRTUAL_DBR_INFO__* d, u32 c, DirHead& head) {
    u64 s = 0;
    if (!d || !ClusterStart(*d, c, s)) return false;
    head = ReadHead(s);
    return head.bRead;
}

// The root: cluster 0, or the root cluster when no directory starts there
// (on FAT12/16 without a boot record, cluster 2 is an ordinary folder).
// Without a record that cannot be told yet: the end of the scan decides.
bool CProfessionalFatRecovery::IsRootCluster(const __VIRTUAL_DBR_INFO__* d, u32 c) {
    if (c == 0) return true;
    if (c != m_uRootClusterNO) return false;
    if (m_bHasRealDbr && m_RealBoot.bIsFat32) return true;
    DirHead h;
    if (!d || !ClusterHead(d, c, h)) return !d ? false : true;
    return !h.bDotPair;
}

// ---------------------------------------------------------------------------
// Virtual boot records

int CProfessionalFatRecovery::CalcVirtualDbr(unsigned c1, unsigned long long s1, unsigned c2,
                                             unsigned long long s2) {
    if (c1 <= c2 || s1 <= s2 || c2 < 2) return 0;
    const u64 dc = c1 - c2;
    const u64 ds = s1 - s2;
    if (ds % dc != 0) return 0;
    const u64 spc = ds / dc;
    if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return 0;
    const u64 back = static_cast<u64>(c2 - 2) * spc;
    if (back > s2) return 0;
    const u64 base = s2 - back;
    if (base != s1 - static_cast<u64>(c1 - 2) * spc) return 0;
    if (base < m_u64PartitionStart || base - m_u64PartitionStart > 0xFFFFFFFFu || base >= PartitionEnd()) return 0;
    m_vecVirtualDbr.push_back(
        __VIRTUAL_DBR_INFO__{static_cast<u32>(spc), static_cast<u32>(base - m_u64PartitionStart), m_u64PartitionStart});
    return 1;
}

void CProfessionalFatRecovery::AddObservation(u32 c, u64 s) {
    if (c < 2 || m_vecSectorOffset.size() >= kMaxObservations) return;
    const size_t first = m_vecSectorOffset.size() > kMaxPairings ? m_vecSectorOffset.size() - kMaxPairings : 0;
    for (size_t i = first; i < m_vecSectorOffset.size(); ++i) {
        const auto& o = m_vecSectorOffset[i];
        int added = 0;
        if (c > o.uClusterNO && s > o.u64Sector)
            added = CalcVirtualDbr(c, s, o.uClusterNO, o.u64Sector);
        else if (c < o.uClusterNO && s < o.u64Sector)
            added = CalcVirtualDbr(o.uClusterNO, o.u64Sector, c, s);
        if (added) break;
    }
    m_vecSectorOffset.push_back(__FAT_SECTOR_OFFSET__{c, s});
}

int CProfessionalFatRecovery::GetVirtualDbrInfo(unsigned long long s, unsigned c, __VIRTUAL_DBR_INFO__* out) const {
    for (const auto& d : m_vecVirtualDbr) {
        u64 start = 0;
        if (ClusterStart(d, c, start) && start == s) {
            if (out) *out = d;
            return 1;
        }
    }
    return 0;
}

int CProfessionalFatRecovery::GetNearestVirtualDbrInfo(unsigned long long s, unsigned c,
                                                       __VIRTUAL_DBR_INFO__* out) const {
    for (const auto& d : m_vecVirtualDbr) {
        u32 held = 0;
        u64 first = 0;
        if (ClusterHolding(d, s, held, first) && held == c) {
            if (out) *out = d;
            return 1;
        }
    }
    return 0;
}

int CProfessionalFatRecovery::GetBestVirtalDbr(unsigned long long s, __VIRTUAL_DBR_INFO__* out) const {
    if (m_vecVirtualDbr.empty()) return 0;
    if (m_vecVirtualDbr.size() == 1) {
        if (out) *out = m_vecVirtualDbr.front();
        return 1;
    }
    const __VIRTUAL_DBR_INFO__* best = nullptr;
    for (size_t i = m_bHasRealDbr ? 1 : 0; i < m_vecVirtualDbr.size(); ++i) {
        const auto& d = m_vecVirtualDbr[i];
        const u64 base = d.u64PartitionStart + d.nDataStartSector;
        if (base > s) continue;
        if (!best || base > best->u64PartitionStart + best->nDataStartSector) best = &d;
    }
    if (!best) best = &m_vecVirtualDbr.front();
    if (out) *out = *best;
    return 1;
}
