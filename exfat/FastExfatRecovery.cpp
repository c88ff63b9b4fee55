#include "exfat/FastExfatRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Platform.h"
#include "core/SectorUnits.h"
#include "core/TextHelpers.h"

namespace {
// A folder larger than this is read no further (the format allows 256 MiB;
// cards hold far less).
constexpr u64 kMaxDirBytes = 64ULL << 20;
}  // namespace

CFastExfatRecovery::CFastExfatRecovery() : CVolumeEngine(FAT_MAX_CLUSTER_BYTES) {}

int CFastExfatRecovery::OnOpened() {
    ExfatBootInfo boot;
    if (!m_Volume.ReadBootRegion(m_u64PartitionStart * 512, m_u64SectorCount * 512, boot)) {
        FrLog("CFastExfatRecovery boot region unusable\n");
        return FR_INVALID;
    }
    // The cluster count must fit the volume that is really there.
    const u64 volumeBytes = m_u64SectorCount * 512;
    const u64 heapBytes = static_cast<u64>(boot.nHeapOffset) * boot.nBytesPerSector;
    if (heapBytes >= volumeBytes) return FR_INVALID;
    boot.nClusterCount =
        static_cast<u32>(std::min<u64>(boot.nClusterCount, (volumeBytes - heapBytes) / boot.BytesPerCluster()));
    if (boot.nClusterCount == 0 || boot.nRootCluster > boot.nClusterCount + 1) return FR_INVALID;
    m_Volume.SetGeometry(boot, m_u64PartitionStart * 512);
    if (boot.bFromBackup) FrLog("CFastExfatRecovery uses the backup boot region\n");
    m_bReady = true;
    return 0;
}


// ---------------------------------------------------------------------------
// Scan

int CFastExfatRecovery::ScanDevice(wchar_t* szLogName) {
    if (!m_bReady) return FR_INVALID;
    m_mapDirs.clear();
    m_vecUsedDirs.clear();
    m_setUsedDirs.clear();
    // With a log name the store of an earlier scan is reopened as it is.
    if (szLogName) return OpenStore(szLogName);
    if (const int ret = OpenNewScanStore("Fast_", LogTime::Utc, "CFastExfatRecovery")) return ret;
    if (!m_Volume.HasBitmap()) m_Volume.LoadBitmap();

    const u32 root = m_Volume.Boot().nRootCluster;
    m_mapDirs[root] = Dir{root, 0, false, {}};
    std::vector<u32> queue{root};
    unsigned long long lastTick = rsb_getTickCount();
    int result = ReportScan(1, -1);
    int step = 0;
    for (size_t i = 0; i < queue.size() && result == 0; ++i) {
        const u32 c = queue[i];
        const Dir& d = m_mapDirs[c];
        WalkDir(c, c == root ? nullptr : &d.node, queue);
        const unsigned long long now = rsb_getTickCount();
        if (now - lastTick >= 5000) {
            lastTick = now;
            ++step;
            result = ReportScan(std::min(2 + step, 79), -1);
        }
    }
    if (result == 0) result = ReportScan(80, 10);
    if (result == 0) {
        // The folders on the way to each find, filed under their parents.
        for (u32 c : m_vecUsedDirs) {
            const Dir& d = m_mapDirs[c];
            _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
            if (!node) break;
            *node = d.node;
            node->nFileIndex = m_pStore->GetFileIndex();
            m_pStore->AddChildren(d.nParent, m_mapDirs[d.nParent].nDepth, node->nFileIndex,
                                          node->uClusterNO, node->szFileName);
        }
        m_pStore->FlushBufToFile();
        result = ReportScan(100, 0);
    } else {
        m_pStore->FlushBufToFile();
    }
    return result;
}

_FILE_NODE_ CFastExfatRecovery::MakeNode(const ExfatEntrySet& set, bool bMarked) const {
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_FAST_EXFAT, set.IsDir());
    node.nReserved = (set.bDeleted || bMarked ? EXFAT_NODE_DELETED : 0) | (set.NoFatChain() ? EXFAT_NODE_NO_FAT_CHAIN : 0);
    node.uClusterNO = set.nFirstCluster;
    node.nBytesPerCluster = m_Volume.Boot().BytesPerCluster();
    node.u64CreateTime = static_cast<u64>(std::max<i64>(set.i64Create, 0));
    node.u64AccessTime = static_cast<u64>(std::max<i64>(set.i64Access, 0));
    node.u64ModifyTime = static_cast<u64>(std::max<i64>(set.i64Modify, 0));
    node.u64FileSize = set.IsDir() ? 0 : set.u64DataLength;
    node.u64DataStartSector = static_cast<u64>(m_Volume.Boot().nHeapOffset) * m_Volume.Boot().nBytesPerSector / 512;
    node.u64RecordSector = set.u64ValidDataLength;
    node.u64VolumeStartSector = m_u64PartitionStart;
    CopyNodeName(node.szFileName, sizeof node.szFileName, set.strName);
    return node;
}

void CFastExfatRecovery::WalkDir(u32 nCluster, const _FILE_NODE_* pSelf, std::vector<u32>& queue) {
    const ExfatBootInfo& boot = m_Volume.Boot();
    const u32 bpc = boot.BytesPerCluster();
    const bool bMarked = pSelf && (pSelf->nReserved & EXFAT_NODE_DELETED);
    // The root's length is its chain's; a folder's is in its stream extension.
    const u64 recorded = pSelf ? pSelf->u64RecordSector : kMaxDirBytes;  // (a packed field: copied, never bound)
    const u64 len = std::min<u64>(recorded, kMaxDirBytes);
    const bool noChain = pSelf && (pSelf->nReserved & EXFAT_NODE_NO_FAT_CHAIN);
    const std::vector<u32> clusters = m_Volume.Clusters(nCluster, len, noChain, bMarked);
    std::vector<unsigned char> buf(clusters.size() * static_cast<size_t>(bpc));
    size_t have = 0;
    for (u32 c : clusters) {
        if (m_Volume.Read(m_Volume.ClusterByte(c), buf.data() + have, bpc) < bpc) break;
        have += bpc;
    }
    const std::span<const unsigned char> dir(buf.data(), have);
    for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= have;) {
        const u8 type = dir[off];
        if (type == 0) break;  // end of the folder
        ExfatEntrySet set;
        if ((type | EXFAT_IN_USE) != EXFAT_ENTRY_FILE || !ParseExfatEntrySet(dir.subspan(off), set)) {
            off += EXFAT_ENTRY_SIZE;
            continue;
        }
        off += static_cast<size_t>(set.nEntries) * EXFAT_ENTRY_SIZE;
        if (!set.IsDir()) {
            if (set.bDeleted || bMarked) RecordFile(set, nCluster, bMarked);
            continue;
        }
        const u32 c = set.nFirstCluster;
        if (!m_Volume.IsValidCluster(c) || m_mapDirs.count(c)) continue;
        Dir d;
        d.nParent = nCluster;
        d.nDepth = m_mapDirs[nCluster].nDepth + 1;
        d.node = MakeNode(set, bMarked);
        m_mapDirs[c] = d;
        queue.push_back(c);
    }
}

void CFastExfatRecovery::RecordFile(const ExfatEntrySet& set, u32 nParent, bool bMarked) {
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!node) return;
    *node = MakeNode(set, bMarked);
    node->nFileIndex = m_pStore->GetFileIndex();
    // A file whose first data no longer looks like its type is not healthy.
    const std::string ext = ExtensionOf(node->szFileName, 16);
    if (!ext.empty() && m_Volume.IsValidCluster(node->uClusterNO) && node->u64RecordSector > 0) {
        std::vector<unsigned char> sec(512);
        const u64 at = m_Volume.ClusterByte(node->uClusterNO);
        if (m_Volume.Read(at, sec.data(), sec.size()) == sec.size())
            node->bIsHealth = m_FileTypeJudge.IsFileTypeMatching(sec.data(), 512, ext.c_str(), &m_DiskReader, 512,
                                                                 at / 512)
                                  ? 1
                                  : 0;
    }
    m_pStore->AddChildren(nParent, m_mapDirs[nParent].nDepth, node->nFileIndex, node->uClusterNO, nullptr);
    // Register the folders from here up to the root, once each.
    const u32 root = m_Volume.Boot().nRootCluster;
    for (u32 d = nParent; d != root && m_setUsedDirs.insert(d).second;) {
        m_vecUsedDirs.push_back(d);
        auto it = m_mapDirs.find(d);
        if (it == m_mapDirs.end()) break;
        d = it->second.nParent;
    }
}

// ---------------------------------------------------------------------------
// Queries

// ---------------------------------------------------------------------------
// Free space, extraction and preview

int CFastExfatRecovery::BuildBitMapInfo() {
    if (!m_bReady) return FR_INVALID;
    return m_Volume.HasBitmap() || m_Volume.LoadBitmap() ? 0 : FR_INVALID;
}

int CFastExfatRecovery::GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) {
    const ExfatBootInfo& b = m_Volume.Boot();
    const u64 volumeSectors = m_u64SectorCount * 512 / std::max<u32>(b.nBytesPerSector, 512);
    return QueryIn512ByteSectors(b.nBytesPerSector, m_u64SectorCount, u64Sector, u64Count, [&](u64& s, u64& c) {
        return NextFreeStretch(m_Volume.Bitmap(), b.nClusterCount, b.nHeapOffset, b.nSectorsPerCluster,
                               volumeSectors, s, c);
    });
}

