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

CProfessionalFatRecovery::CProfessionalFatRecovery() : CSweepFedEngine(FAT_MAX_CLUSTER_BYTES), m_vecSector(kSector) {}

CProfessionalFatRecovery::~CProfessionalFatRecovery() = default;

int CProfessionalFatRecovery::OnOpened() {
    m_bHasRealDbr = 0;
    m_UnDealContext = {};
    m_FragmentContext = {};
    return 0;
}

void CProfessionalFatRecovery::ResetCollections() {
    m_vecVirtualDbr.clear();
    m_vecSectorOffset.clear();
    m_vecNoDbrFile.clear();
    m_vecLongFileInfo.clear();
    m_mapUnDealFile.clear();
    m_mapProDirInfo.clear();
    m_DirContinuation.Clear();
    m_mapNeedAddDir.clear();
    m_mapHeadCache.clear();
    m_bHasRealDbr = 0;
    m_bRealDbrChecked = false;
    m_uRootClusterNO = 2;
    m_uRealRootSectors = 32;
    m_UnDealContext = {};
    m_FragmentContext = {};
    m_uSyntheticDir = 0;
    m_vecDirEdges.clear();
    m_mapUnattachedDir.clear();
    m_nNoDbrCheckedRecords = 0;
    m_nNoDbrCheckedFiles = 0;
    m_mapDeletedClaims.clear();
    m_vecPictureChecks.clear();
}

int CProfessionalFatRecovery::ClearProfessionalVec(wchar_t* szLogName) {
    ResetCollections();
    if (szLogName && szLogName[0]) return OpenStore(szLogName);
    return OpenNewScanStore("Pro_Fat_", LogTime::Local, "CProfessionalFatRecovery");
}

int CProfessionalFatRecovery::InitVirtualDbrInfo() {
    if (!m_bOpened) return FR_INVALID;
    if (m_bHasRealDbr) return 0;
    m_bRealDbrChecked = true;
    unsigned char boot[4096] = {};
    unsigned int got = 0;
    const int n = static_cast<int>(std::min<u64>(8, m_u64SectorCount));
    int ret = m_DiskReader.ReadData(boot, n, static_cast<long long>(m_u64PartitionStart), kSector, &got);
    if (got == 0) return ret != 0 ? ret : FR_SHORT_READ;
    FatBootInfo info;
    if (!IsFat(boot) || !ParseFatBootRecord(boot, sizeof boot, info)) return 0;
    // This engine counts in 512-byte sectors whatever the volume's own size.
    const u32 r = info.nBytesPerSector / kSector;
    const u64 dataStart = info.u64DataStartSector * r;
    const u64 spc = static_cast<u64>(info.nSectorsPerCluster) * r;
    if (dataStart > 0xFFFFFFFFu || spc > 0xFFFF || dataStart >= m_u64SectorCount) return 0;
    m_RealBoot = info;
    // The FAT tells where deleted files went on and lets live files be
    // followed along their chains.
    const u64 volSectors = m_u64SectorCount * kSector / info.nBytesPerSector;
    if (info.u64DataStartSector < volSectors) {
        FatBootInfo fitted = info;
        const u64 fitting = (volSectors - info.u64DataStartSector) / info.nSectorsPerCluster;
        if (fitting < fitted.nClusterCount) fitted.nClusterCount = static_cast<u32>(fitting);
        m_FatTable.Init(&m_DiskReader, fitted, m_u64PartitionStart / r + info.u64FatStartSector);
    }
    m_vecVirtualDbr.insert(m_vecVirtualDbr.begin(),
                           __VIRTUAL_DBR_INFO__{static_cast<u32>(spc), static_cast<u32>(dataStart), m_u64PartitionStart});
    m_uRootClusterNO = info.bIsFat32 ? info.nRootCluster : 0;
    // The fixed root area is as long as the boot record's root entries need.
    m_uRealRootSectors = info.bIsFat32 ? 0 : info.nRootDirSectors * r;
    m_bHasRealDbr = 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Data

int CProfessionalFatRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster) {
    if (!pNode || !m_bOpened || uSectorsPerCluster == 0) return 1;
    const std::string ext = ExtensionOf(pNode->szFileName, 16);
    if (ext.empty()) return 1;
    u64 sector = 0;
    if (!NodeClusterStart(*pNode, uSectorsPerCluster, pNode->uClusterNO, sector)) return 1;
    unsigned int got = 0;
    if (m_DiskReader.ReadData(m_vecSector.data(), 1, static_cast<long long>(sector), kSector, &got) != 0 || got == 0)
        return 1;
    return m_FileTypeJudge.IsFileTypeMatching(m_vecSector.data(), kSector, ext.c_str(), &m_DiskReader, kSector, sector)
               ? 1
               : 0;
}

// Absolute first sector of cluster c of the volume a node belongs to (cluster
// 0: the FAT12/16 root area, as long as the real boot record says when it is known).
bool CProfessionalFatRecovery::NodeClusterStart(const _FILE_NODE_& node, u32 spc, u32 c, u64& sector) const {
    if (spc == 0 || node.u64DataStartSector > 0xFFFFFFFFu) return false;
    const __VIRTUAL_DBR_INFO__ d{spc, static_cast<u32>(node.u64DataStartSector), node.u64VolumeStartSector};
    const u64 base = d.u64PartitionStart + d.nDataStartSector;
    if (c >= 2) {
        sector = base + static_cast<u64>(c - 2) * spc;
        return true;
    }
    const u32 root = RootAreaSectors(d);
    if (c == 1 || root == 0 || d.nDataStartSector < root) return false;
    sector = base - root;
    return true;
}

// Where a node's data lies. On the volume of the real boot record the FAT
// is read: a live file along its chain, a deleted one over the free clusters
// from its first on (clusters in use skipped). Elsewhere: consecutive
// clusters from the first. A picture found in two pieces leaves out the
// clusters between them.
int CProfessionalFatRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted,
                                             std::vector<DataExtent>& extents) {
    extents.clear();
    u64Wanted = std::min(u64Wanted, node.bIsDir ? u64Wanted : node.u64FileSize);
    const u32 bpc = node.nBytesPerCluster;
    if (bpc >= FAT_MAX_CLUSTER_BYTES) return CNodeOutput::kBadClusterCode;
    if (bpc == 0 || bpc % kSector != 0) return FR_INVALID;
    const u32 spc = bpc / kSector;
    u32 c = node.uClusterNO;
    u64 start = 0;
    if (!NodeClusterStart(node, spc, c, start)) return FR_INVALID;
    // A log reopened without a scan has not looked at the boot record yet.
    if (!m_bRealDbrChecked) InitVirtualDbrInfo();
    const __VIRTUAL_DBR_INFO__ d{spc, static_cast<u32>(node.u64DataStartSector), node.u64VolumeStartSector};
    const bool bFat = m_FatTable.IsReady() && IsRealDbr(d);
    // A picture found in two pieces skips the clusters between them.
    const FatPieces pieces = node.bIsDir ? FatPieces{} : DecodeFatPieces(node.nReserved);
    if (c < 2 || (!bFat && pieces.gapSteps == 0)) {
        if (u64Wanted) AppendExtent(extents, {start * kSector, u64Wanted, false});
        return 0;
    }
    u64 covered = 0;
    for (u64 steps = 1; covered < u64Wanted; ++steps) {
        if (!NodeClusterStart(node, spc, c, start) || start + spc > PartitionEnd()) return FR_SHORT_READ;
        const u64 bytes = std::min<u64>(bpc, u64Wanted - covered);
        AppendExtent(extents, {start * kSector, bytes, false});
        covered += bytes;
        if (covered >= u64Wanted) break;
        if (bFat && steps > m_RealBoot.nClusterCount) return FR_SHORT_READ;  // a chain that loops
        for (u32 k = steps == pieces.firstSteps ? pieces.gapSteps + 1 : 1; k > 0; --k)
            if ((c = NextDataCluster(node, c)) == 0) return FR_SHORT_READ;
    }
    return 0;
}

u32 CProfessionalFatRecovery::NextDataCluster(const _FILE_NODE_& node, u32 c) {
    const __VIRTUAL_DBR_INFO__ d{node.nBytesPerCluster / kSector, static_cast<u32>(node.u64DataStartSector),
                                 node.u64VolumeStartSector};
    if (!m_FatTable.IsReady() || !IsRealDbr(d)) return c + 1 > c ? c + 1 : 0;
    unsigned next = 0;
    return m_FatTable.FindNext(c, next) == 0 ? next : 0;
}

void CProfessionalFatRecovery::CheckDeletedPictures() {
    std::sort(m_vecPictureChecks.rbegin(), m_vecPictureChecks.rend());
    _FILE_NODE_ node{};
    FatWalk walk;
    walk.next = [&](u32 c) {
        const u32 next = NextDataCluster(node, c);
        u64 s = 0;
        const u32 spc = node.nBytesPerCluster / kSector;
        return next > c && NodeClusterStart(node, spc, next, s) && s + spc <= PartitionEnd() ? next : 0u;
    };
    walk.byteOffset = [&](u32 c) {
        u64 s = 0;
        NodeClusterStart(node, node.nBytesPerCluster / kSector, c, s);
        return s * kSector;
    };
    for (const auto& [key, cluster, index] : m_vecPictureChecks)
        CheckStoredPicture(*m_pStore, index, node, walk, m_DiskReader, kSector, m_mapDeletedClaims[key]);
    m_vecPictureChecks.clear();
}
