#include "fat/FastFatRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/BootSector.h"
#include "core/ExtentReader.h"
#include "core/FileOutput.h"
#include "core/SectorUnits.h"
#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"

namespace {

// Up to this high word is tried when a deleted FAT32 entry lost its own.
constexpr unsigned kMaxGuessedHighWord = 256;

}  // namespace

CFastFatRecovery::CFastFatRecovery() : CVolumeEngine(FAT_MAX_CLUSTER_BYTES) {}

CFastFatRecovery::~CFastFatRecovery() = default;

// Reads the boot record and sets up geometry, reader limit and FAT window.
int CFastFatRecovery::OnOpened() {
    unsigned int got = 0;
    std::memset(m_byBootSector, 0, sizeof m_byBootSector);
    // Sector 0; when it is damaged, the head that holds the FAT32 backup
    // boot record (sector 6) for every sector size.
    std::vector<unsigned char> head(kFatBackupHeadBytes, 0);
    int ret = 0;
    for (u64 n : {u64{8}, u64{kFatBackupHeadBytes / 512}}) {
        ret = m_DiskReader.ReadData(head.data(), static_cast<int>(std::min(n, m_u64SectorCount)),
                                    static_cast<long long>(m_u64PartitionStart), 512, &got);
        if (got > 0 && IsFat(head.data())) break;
    }
    if (ret != 0 && got == 0) return ret;
    const unsigned char* boot = FindFatBootRecord(head.data(), static_cast<size_t>(got) * 512);
    if (boot) std::memcpy(m_byBootSector, boot, std::min<size_t>(sizeof m_byBootSector, head.data() + head.size() - boot));
    if (!boot || !ParseFatBootRecord(m_byBootSector, sizeof m_byBootSector, m_Boot)) {
        FrLog("CFastFatRecovery boot record unusable\n");
        return FR_INVALID;
    }
    m_nBytesPerSector = static_cast<int>(m_Boot.nBytesPerSector);
    m_bIsFat32 = m_Boot.bIsFat32 ? 1 : 0;
    m_uSectorsPerCluster = m_Boot.nSectorsPerCluster;
    m_uRootClusterNO = m_Boot.nRootCluster;
    m_uDataStartSector = static_cast<u32>(m_Boot.u64DataStartSector);
    // Reads use the volume's own sector size from here on.
    m_u64VolumeStart = m_u64PartitionStart * 512 / static_cast<u64>(m_nBytesPerSector);
    m_u64VolumeSectors = m_u64SectorCount * 512 / static_cast<u64>(m_nBytesPerSector);
    // The cluster count must fit the volume that is really there.
    if (m_Boot.u64DataStartSector >= m_u64VolumeSectors) return FR_INVALID;
    const u64 fitting = (m_u64VolumeSectors - m_Boot.u64DataStartSector) / m_uSectorsPerCluster;
    if (fitting < m_Boot.nClusterCount) m_Boot.nClusterCount = static_cast<u32>(fitting);
    m_DiskReader.SetSectorLimit(m_u64VolumeStart + m_u64VolumeSectors);
    m_FatTable.Init(&m_DiskReader, m_Boot, m_u64VolumeStart + m_Boot.u64FatStartSector);
    m_bReady = true;
    return 0;
}

// ---------------------------------------------------------------------------
// FAT access

int CFastFatRecovery::GetNextClusterNO(unsigned uCluster, unsigned& uNext) {
    uNext = 0;
    if (!m_bReady) return FR_INVALID;
    return m_FatTable.GetEntry(uCluster, uNext);
}

int CFastFatRecovery::FindNextClusterNO(unsigned uCluster, unsigned& uNext) {
    uNext = 0;
    if (!m_bReady) return FR_INVALID;
    return m_FatTable.FindNext(uCluster, uNext);
}

u64 CFastFatRecovery::ClusterToSector(u32 c) const {
    return m_u64VolumeStart + m_Boot.u64DataStartSector + static_cast<u64>(c - 2) * m_uSectorsPerCluster;
}

// ---------------------------------------------------------------------------
// Scan


int CFastFatRecovery::ScanDevice(wchar_t* szLogName) {
    if (!m_bReady) return FR_INVALID;
    m_mapDirInfo.clear();
    m_vecLostDirCluster.clear();
    m_setLostDirCluster.clear();
    m_mapDepthCache.clear();
    m_DirQueue.clear();
    m_mapDeletedClaims.clear();
    m_vecPictureChecks.clear();
    // With a log name the store of an earlier scan is reopened as it is.
    if (szLogName) return OpenStore(szLogName);
    if (const int ret = OpenNewScanStore("Fast_", LogTime::Utc, "CFastFatRecovery")) return ret;

    m_DirQueue.push_back(m_uRootClusterNO);
    unsigned long long lastTick = rsb_getTickCount();
    int result = ReportScan(1, -1);
    int step = 0;
    std::set<u32> visited;
    while (!m_DirQueue.empty()) {
        const u32 c = m_DirQueue.front();
        m_DirQueue.pop_front();
        if (!visited.insert(c).second) continue;
        InitDirInfo(c);
        const unsigned long long now = rsb_getTickCount();
        if (now - lastTick >= 5000) {
            lastTick = now;
            ++step;
            // Periodic reports stay below the completion band.
            if (m_nPercent == 100) {
                const int k = std::min(2 + step - 1, 79);
                result = ReportScan(k, 101 - k);
            } else if (m_nPercent == 9) {
                result = ReportScan(std::min(21 + step - 1, 79), -1);
            }
            if (result != 0) break;
        }
    }
    if (result == 0) result = ReportScan(80, 10);
    if (result == 0) CheckDeletedPictures();
    if (result == 0) {
        for (u32 d : m_vecLostDirCluster) {
            auto it = m_mapDirInfo.find(d);
            if (it == m_mapDirInfo.end()) continue;
            const u32 parent = it->second.nFileIndex;
            _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
            if (!node) break;
            *node = it->second;
            node->nFileIndex = m_pStore->GetFileIndex();
            int depth = 0;
            GetDirDepth(parent, depth);
            m_pStore->AddChildren(parent, static_cast<unsigned>(depth), node->nFileIndex, node->uClusterNO,
                                          node->szFileName);
        }
        m_pStore->FlushBufToFile();
        result = ReportScan(100, 0);
    } else {
        m_pStore->FlushBufToFile();
    }
    return result;
}

// Walks one directory: the fixed root area of FAT12/16 (cluster 0) or a
// cluster chain.
int CFastFatRecovery::InitDirInfo(unsigned uCluster) {
    const u32 bps = m_Boot.nBytesPerSector;
    bool bKnown = false;
    bool bMarked = false;
    auto it = m_mapDirInfo.find(uCluster);
    if (it != m_mapDirInfo.end() && it->second.bIsDir) {
        bKnown = true;
        bMarked = it->second.nReserved != 0;
    }
    u32 P = uCluster;
    CFatLongName lfn;
    bool bEnded = false;

    if (!m_bIsFat32 && uCluster == 0) {
        const u32 n = m_Boot.nRootDirSectors;
        if (n == 0) return 0;
        std::vector<unsigned char> buf(static_cast<size_t>(n) * bps);
        unsigned int got = 0;
        const u64 start = m_u64VolumeStart + m_Boot.u64RootDirSector;
        int ret = m_DiskReader.ReadData(buf.data(), static_cast<int>(n), static_cast<long long>(start),
                                        static_cast<int>(bps), &got);
        if (got == 0) return ret != 0 ? ret : FR_SHORT_READ;
        ParseDirEntries(buf.data(), static_cast<int>(got * bps), start, bMarked, P, lfn, bEnded);
        return 0;
    }

    if (!m_FatTable.IsValidCluster(uCluster)) return FR_INVALID;
    const u32 clusterBytes = bps * m_uSectorsPerCluster;
    std::vector<unsigned char> buf(clusterBytes);
    std::set<u32> seen;
    u32 cur = uCluster;
    bool bFirst = true;
    bool bGuessed = false;
    for (u32 steps = 0; steps <= m_Boot.nClusterCount; ++steps) {
        if (!seen.insert(cur).second) break;
        const u64 start = ClusterToSector(cur);
        unsigned int got = 0;
        int ret = m_DiskReader.ReadData(buf.data(), static_cast<int>(m_uSectorsPerCluster),
                                        static_cast<long long>(start), static_cast<int>(bps), &got);
        if (ret != 0) return ret;
        if (bFirst && bKnown && cur != m_uRootClusterNO && !IsFatDotPair(buf.data())) break;
        // A cluster reached only by guessing must look like directory entries.
        if (bGuessed && buf[0] != 0 && !IsFatFDTRecord(buf.data(), static_cast<int>(bps))) break;
        ParseDirEntries(buf.data(), static_cast<int>(clusterBytes), start, bMarked, P, lfn, bEnded);
        if (bEnded) break;
        unsigned v = 0;
        if (GetNextClusterNO(cur, v) != 0) break;
        unsigned next = 0;
        if (v == 0) {
            // A deleted folder's chain is zeroed: it goes on in the next free
            // cluster (those in use skipped) while that holds entries.
            if (m_FatTable.NextFreeCluster(cur, next) != 0 || next == 0) break;
            bGuessed = true;
        } else {
            if (m_FatTable.IsEndOfChain(v) || !m_FatTable.IsValidCluster(v)) break;
            next = v;
            bGuessed = false;
        }
        if (next == cur) break;
        cur = next;
        bFirst = false;
    }
    return 0;
}

void CFastFatRecovery::ParseDirEntries(const unsigned char* buf, int len, u64 u64StartSector, bool bMarked, u32& P,
                                       CFatLongName& lfn, bool& bEnded) {
    auto dropName = [&] { lfn.Drop(); };
    auto takeName = [&](std::string& out) -> bool { return lfn.Take(out); };
    const u32 bps = m_Boot.nBytesPerSector;
    for (int off = 0; off + FAT_ENTRY_SIZE <= len; off += FAT_ENTRY_SIZE) {
        const unsigned char* e = buf + off;
        const u64 sector = u64StartSector + static_cast<u64>(off) / bps;
        if (e[0] == 0) {
            bEnded = true;
            return;
        }
        if (!IsFatEntyValid(e, len - off)) {
            dropName();
            continue;
        }
        const u8 attr = e[11];
        if (attr == FAT_ATTR_LONG_NAME) {
            lfn.AddPart(e);
            continue;
        }
        const u16 hi = GetLe16(e + 20);
        const u16 lo = GetLe16(e + 26);
        const bool bDeleted = e[0] == FAT_DELETED_MARK;
        if (!(attr & FAT_ATTR_DIRECTORY)) {
            if (IsFatFileEntry(e)) {
                std::string name;
                if (!takeName(name)) name = GetShortNameText(e, true);
                if (bDeleted || bMarked) RecordFile(e, name, sector, P);
            }
            dropName();
            continue;
        }
        // "." and ".." are told by their short names: a long name never
        // belongs to them, and one that reads ".." is just a name.
        if (e[0] == '.') {
            dropName();
            if (e[1] == ' ') {
                const u32 self = m_bIsFat32 ? (static_cast<u32>(hi) << 16 | lo) : lo;
                if (m_FatTable.IsValidCluster(self)) P = self;
            }
            continue;
        }
        std::string name;
        if (!takeName(name)) name = GetShortNameText(e, false);
        dropName();
        u32 c;
        if (m_bIsFat32) {
            unsigned short h = hi;
            if (bDeleted && hi == 0) GetDirRealHighClusterNO(lo, h);
            c = static_cast<u32>(h) << 16 | lo;
        } else {
            c = lo;
        }
        if (c == 0 || c == P || !m_FatTable.IsValidCluster(c)) continue;
        _FILE_NODE_ node = BlankNode(m_wcDriveLetter, m_nEngineType, true);
        node.nReserved = (bDeleted || bMarked) ? 1 : 0;
        node.nFileIndex = P;
        node.uClusterNO = c;
        node.nBytesPerCluster = bps * m_uSectorsPerCluster;
        SetFatEntryTimes(e, node);
        node.u64DataStartSector = m_Boot.u64DataStartSector;
        CopyNodeName(node.szFileName, sizeof node.szFileName, name);
        m_DirQueue.push_back(c);
        m_mapDirInfo[c] = node;
    }
}

void CFastFatRecovery::RecordFile(const unsigned char* e, const std::string& name, u64 u64Sector, u32 P) {
    const u16 hi = GetLe16(e + 20);
    const u16 lo = GetLe16(e + 26);
    u32 cluster;
    bool bSure = true;  // false when the guessed high word could not be confirmed
    if (m_bIsFat32) {
        unsigned short h = hi;
        if (e[0] == FAT_DELETED_MARK && hi == 0) {
            std::string n(Utf8Prefix(name, 255));
            GetFileRealHighClusterNO(lo, h, n.c_str(), bSure);
        }
        cluster = static_cast<u32>(h) << 16 | lo;
    } else {
        cluster = lo;
    }
    int depth = 0;
    GetDirDepth(P, depth);

    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!node) return;
    std::memset(node, 0, sizeof *node);
    node->nFileIndex = m_pStore->GetFileIndex();
    node->bIsHealth = 1;
    CopyNodeName(node->szFileName, sizeof node->szFileName, name);
    SetFatEntryTimes(e, *node);
    node->uClusterNO = cluster;
    node->bIsDir = 0;
    node->u64FileSize = GetLe32(e + 28);
    node->u64RecordSector = u64Sector;
    node->u64VolumeStartSector = m_u64PartitionStart;
    node->nEngineType = m_nEngineType;
    node->nBytesPerCluster = m_Boot.nBytesPerSector * m_uSectorsPerCluster;
    node->wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
    node->u64DataStartSector = m_Boot.u64DataStartSector;
    m_pStore->AddChildren(P, static_cast<unsigned>(depth), node->nFileIndex, cluster, nullptr);
    node->bIsHealth = !IsFileDataHealth(node, m_uSectorsPerCluster) ? 0 : bSure ? 1 : FR_HEALTH_UNCONFIRMED;
    unsigned v = 1;
    if (m_FatTable.GetEntry(cluster, v) == 0 && v == 0) {
        // Deleted data whose first cluster nothing has taken since.
        AddFatClaim(m_mapDeletedClaims, cluster, node->u64FileSize, node->nBytesPerCluster);
        if (node->bIsHealth != 0 && CheckedKindOfName(node->szFileName) != CheckedKind::None)
            m_vecPictureChecks.emplace_back(cluster, node->nFileIndex);
    }

    // Register the directories from here up to the root, once each; the
    // visited set stops parents that point at each other.
    std::set<u32> seen;
    u32 d = P;
    while (seen.insert(d).second) {
        if (m_setLostDirCluster.insert(d).second) m_vecLostDirCluster.push_back(d);
        auto it = m_mapDirInfo.find(d);
        if (it == m_mapDirInfo.end()) break;
        const u32 q = it->second.nFileIndex;
        if (q == d || q <= m_uRootClusterNO) break;
        d = q;
    }
}

int CFastFatRecovery::GetDirRealHighClusterNO(unsigned short low, unsigned short& high) {
    const u32 bps = m_Boot.nBytesPerSector;
    std::vector<unsigned char> sec(bps);
    for (unsigned h = 0; h <= kMaxGuessedHighWord; ++h) {
        const u64 c = (static_cast<u64>(h) << 16) | low;
        if (c > static_cast<u64>(m_Boot.nClusterCount) + 1) break;
        if (c < 2) continue;
        unsigned int got = 0;
        int ret = m_DiskReader.ReadData(sec.data(), 1, static_cast<long long>(ClusterToSector(static_cast<u32>(c))),
                                        static_cast<int>(bps), &got);
        if (ret != 0) return ret;
        if (IsFatDotPair(sec.data())) {
            high = static_cast<unsigned short>(h);
            return 0;
        }
    }
    return 0;
}

int CFastFatRecovery::GetFileRealHighClusterNO(unsigned short low, unsigned short& high, const char* name,
                                               bool& bChecked) {
    bChecked = true;
    const std::string ext = ExtensionOf(name, 16);
    if (ext.empty()) return 0;
    const bool bKnown = CFileTypeJudge::GetExtendNameType(ext.c_str()) != FT_NONE;
    const u32 bps = m_Boot.nBytesPerSector;
    std::vector<unsigned char> sec(bps);
    auto looksLike = [&](u32 c, bool& like) -> int {
        like = true;
        if (!bKnown) return 0;
        const u64 sector = ClusterToSector(c);
        unsigned int got = 0;
        int ret = m_DiskReader.ReadData(sec.data(), 1, static_cast<long long>(sector), static_cast<int>(bps), &got);
        if (ret != 0 || got == 0) return ret != 0 ? ret : FR_SHORT_READ;
        like = m_FileTypeJudge.IsFileTypeMatching(sec.data(), static_cast<int>(bps), ext.c_str(), &m_DiskReader,
                                                  static_cast<int>(bps), sector) != 0;
        return 0;
    };
    auto isFree = [&](u32 c, bool& free) -> int {
        unsigned v = 1;
        const int ret = m_FatTable.GetEntry(c, v);
        free = ret == 0 && v == 0;
        return ret;
    };
    return ChooseFatHighWord(low, static_cast<u64>(m_Boot.nClusterCount) + 1, bKnown, looksLike, isFree, high,
                             bChecked);
}

int CFastFatRecovery::WalkDirDepth(unsigned uCluster, int& nDepth, std::set<unsigned>& visited) {
    const u32 bps = m_Boot.nBytesPerSector;
    std::vector<unsigned char> sec(std::max<u32>(bps, 64));
    while (true) {
        if (uCluster == m_uRootClusterNO || !m_FatTable.IsValidCluster(uCluster)) return 0;
        visited.insert(uCluster);
        unsigned int got = 0;
        int ret = m_DiskReader.ReadData(sec.data(), 1, static_cast<long long>(ClusterToSector(uCluster)),
                                        static_cast<int>(bps), &got);
        if (ret != 0) return ret;
        u32 parent = 0;
        if (!GetFatParentCluster(sec.data(), sec.size(), m_bIsFat32 != 0, parent)) return 0;
        ++nDepth;
        if (parent == 0 || visited.count(parent)) return 0;
        uCluster = parent;
    }
}

int CFastFatRecovery::GetDirDepth(unsigned uCluster, int& nDepth) {
    auto it = m_mapDepthCache.find(uCluster);
    if (it != m_mapDepthCache.end()) {
        nDepth = it->second;
        return 0;
    }
    std::set<unsigned> visited;
    int depth = 0;
    int ret = WalkDirDepth(uCluster, depth, visited);
    nDepth = depth;
    if (ret == 0) m_mapDepthCache[uCluster] = depth;
    return ret;
}

// ---------------------------------------------------------------------------
// Free space

int CFastFatRecovery::BuildBitMapInfo() {
    if (!m_bReady) return FR_INVALID;
    const u32 clusters = m_Boot.nClusterCount;
    m_nBitMapBytes = (clusters + 7) / 8;
    m_vecBitMap.assign(m_nBitMapBytes, 0);
    for (u32 i = 0; i < clusters; ++i) {
        unsigned v = 0;
        if (GetNextClusterNO(i + 2, v) != 0) continue;
        if (v == 0) continue;
        m_vecBitMap[i >> 3] |= static_cast<u8>(1u << (i & 7));
        if (!m_FatTable.IsEndOfChain(v) && m_FatTable.IsValidCluster(v)) {
            const u32 j = v - 2;
            m_vecBitMap[j >> 3] |= static_cast<u8>(1u << (j & 7));
        }
    }
    return 0;
}

// The deep scan counts in 512-byte sectors; the bitmap in the volume's own.
int CFastFatRecovery::GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) {
    return QueryIn512ByteSectors(static_cast<u64>(m_nBytesPerSector), m_u64SectorCount, u64Sector, u64Count,
                                 [this](u64& s, u64& c) { return GetUnUsedVolumeSectors(s, c); });
}

int CFastFatRecovery::GetUnUsedVolumeSectors(u64& u64Sector, u64& u64Count) {
    return NextFreeStretch(m_vecBitMap, m_Boot.nClusterCount, m_Boot.u64DataStartSector, m_uSectorsPerCluster,
                           m_u64VolumeSectors, u64Sector, u64Count);
}

// ---------------------------------------------------------------------------
// Extraction and preview

int CFastFatRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) {
    extents.clear();
    u64Wanted = std::min(u64Wanted, node.bIsDir ? u64Wanted : node.u64FileSize);
    const u32 bps = m_Boot.nBytesPerSector;
    if (!m_bReady || bps == 0) return FR_INVALID;
    const u32 bpc = node.nBytesPerCluster;
    if (bpc >= kMaxClusterBytes) return kRecoveryFailedDirCode;
    if (bpc == 0 || bpc % bps != 0) return FR_INVALID;
    const u32 spc = bpc / bps;
    const u64 volStartBytes = node.u64VolumeStartSector * 512;
    u64 covered = 0;
    u32 c = node.uClusterNO;
    u64 steps = 0;
    // A file found in two pieces skips the other clusters between them.
    const FatPieces pieces = node.bIsDir ? FatPieces{} : DecodeFatPieces(node.nReserved);
    const u32 split = pieces.firstSteps;
    u32 gap = pieces.gapSteps;
    while (covered < u64Wanted) {
        u64 sector;
        u32 nSectors = spc;
        if (c == 0 && !m_bIsFat32) {
            // The fixed root area of FAT12/16 ends where the data area starts.
            if (m_Boot.nRootDirSectors == 0) return FR_SHORT_READ;
            sector = node.u64DataStartSector - m_Boot.nRootDirSectors;
            nSectors = std::min<u32>(spc, m_Boot.nRootDirSectors);
        } else {
            if (!m_FatTable.IsValidCluster(c)) return FR_SHORT_READ;
            sector = node.u64DataStartSector + static_cast<u64>(c - 2) * spc;
        }
        const u64 bytes = std::min<u64>(static_cast<u64>(nSectors) * bps, u64Wanted - covered);
        AppendExtent(extents, {volStartBytes + sector * bps, bytes, false});
        covered += bytes;
        if (covered >= u64Wanted) break;
        // The chain (or the free-cluster guess) must go on; a cluster
        // count's worth of steps means a loop.
        if (c == 0 || ++steps > m_Boot.nClusterCount) return FR_SHORT_READ;
        u32 next = 0;
        int ret = FindNextClusterNO(c, next);
        if (ret != 0) return ret;
        if (next == 0) return FR_SHORT_READ;
        c = next;
        for (; gap != 0 && steps == split; --gap) {
            if ((ret = FindNextClusterNO(c, next)) != 0) return ret;
            if (next == 0) return FR_SHORT_READ;
            c = next;
        }
    }
    return 0;
}

void CFastFatRecovery::CheckDeletedPictures() {
    std::sort(m_vecPictureChecks.rbegin(), m_vecPictureChecks.rend());
    const u64 bps = m_Boot.nBytesPerSector;
    FatWalk walk;
    walk.next = [this](u32 c) {
        u32 next = 0;
        return FindNextClusterNO(c, next) == 0 && next > c ? next : 0u;
    };
    walk.byteOffset = [&](u32 c) { return ClusterToSector(c) * bps; };
    _FILE_NODE_ node{};
    for (const auto& check : m_vecPictureChecks)
        CheckStoredPicture(*m_pStore, check.second, node, walk, m_DiskReader, m_nBytesPerSector, m_mapDeletedClaims);
    m_vecPictureChecks.clear();
}

int CFastFatRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster) {
    if (!pNode || !m_bReady) return 1;
    // A file larger than the volume it was found on cannot be whole.
    if (pNode->u64FileSize / 512 > m_u64SectorCount) return 0;
    const std::string ext = ExtensionOf(pNode->szFileName);
    if (ext.empty() || ext.size() > 16) return 1;
    if (!m_FatTable.IsValidCluster(pNode->uClusterNO)) return 1;
    const u32 bps = m_Boot.nBytesPerSector;
    std::vector<unsigned char> sec(bps);
    const u64 sector = pNode->u64VolumeStartSector * 512 / bps + pNode->u64DataStartSector +
                       static_cast<u64>(pNode->uClusterNO - 2) * uSectorsPerCluster;
    unsigned int got = 0;
    int ret = m_DiskReader.ReadData(sec.data(), 1, static_cast<long long>(sector), static_cast<int>(bps), &got);
    if (ret != 0 || got == 0) return 1;
    return m_FileTypeJudge.IsFileTypeMatching(sec.data(), static_cast<int>(bps), ext.c_str(), &m_DiskReader,
                                              static_cast<int>(bps), sector)
               ? 1
               : 0;
}

