// The deep FAT engine's tree building: parents and depths, nodes in the
// store, and the work left for the end of the sweep.
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

// A folder whose entry lies in a folder the sweep never reads (one in use:
// only free sectors are swept) takes its name and times from that entry,
// read from the parent's clusters on the volume of the real boot record.
void CProfessionalFatRecovery::NameFromParent(const __VIRTUAL_DBR_INFO__& d, u32 P, u32 D, _FILE_NODE_& node) {
    constexpr int kMaxParentClusters = 256;
    if (!IsRealDbr(d)) return;
    u32 c = P == 0 && m_RealBoot.bIsFat32 ? m_uRootClusterNO : P;
    std::vector<unsigned char> buf;
    CFatLongName lfn;
    for (int step = 0; step < kMaxParentClusters; ++step) {
        u64 first = 0;
        u32 n = d.nSectorsPerCluster;
        if (c == 0) {
            n = RootAreaSectors(d);
            if (n == 0 || d.nDataStartSector < n) return;
            first = d.u64PartitionStart + d.nDataStartSector - n;
        } else if (!ClusterStart(d, c, first)) {
            return;
        }
        buf.assign(static_cast<size_t>(n) * kSector, 0);
        unsigned got = 0;
        if (m_DiskReader.ReadData(buf.data(), static_cast<int>(n), static_cast<long long>(first), kSector, &got) != 0 ||
            got != n)
            return;
        for (size_t off = 0; off + FAT_ENTRY_SIZE <= buf.size(); off += FAT_ENTRY_SIZE) {
            const unsigned char* e = buf.data() + off;
            if (e[0] == 0) return;
            if (e[11] == FAT_ATTR_LONG_NAME) {
                lfn.AddPart(e);
                continue;
            }
            const bool bLow = e[0] == FAT_DELETED_MARK && GetLe16(e + 20) == 0 && GetLe16(e + 26) == (D & 0xFFFF);
            if ((e[11] & FAT_ATTR_DIRECTORY) && !(e[11] & FAT_ATTR_VOLUME) && e[0] != '.' &&
                (EntryCluster(e) == D || bLow)) {
                std::string name;
                if (!lfn.Take(name)) name = GetShortNameText(e, false);
                if (name.empty()) return;
                CopyNodeName(node.szFileName, sizeof node.szFileName, name);
                SetFatEntryTimes(e, node);
                return;
            }
            lfn.Drop();
        }
        unsigned next = 0;
        if (c == 0 || !m_FatTable.IsReady() || m_FatTable.FindNext(c, next) != 0 || next < 2 || next >= 0x0FFFFFF7)
            return;
        c = next;
    }
}

int CProfessionalFatRecovery::GetParentClusterNO(const __VIRTUAL_DBR_INFO__* pDbr, u32 D, u32& parent) {
    if (!pDbr || !IsVirtualDbrSet(*pDbr) || D == 0) return FR_INVALID;
    u64 sector = 0;
    if (!ClusterStart(*pDbr, D, sector)) return FR_INVALID;
    const DirHead& h = ReadHead(sector);
    if (!h.bRead) return FR_SHORT_READ;
    parent = (!h.bLabel && h.bDotPair) ? h.uDotDot : 0;
    return 0;
}

// Folders whose ".." entries name one another in a loop hang below none of
// them: the loop is cut above its lowest cluster, which becomes a folder at
// the top, the others below it.
int CProfessionalFatRecovery::GetRootParentDirIndex(const __VIRTUAL_DBR_INFO__* pDbr, u32 D, int& depth) {
    if (!pDbr || !IsVirtualDbrSet(*pDbr)) return 0;
    std::vector<u32> chain;
    for (int step = 0; D != 0 && step < kMaxChainSteps; ++step) {
        chain.push_back(D);
        DirHead h;
        if (!ClusterHead(pDbr, D, h)) return FR_SHORT_READ;
        if (h.bLabel) return 0;
        if (!h.bDotPair) {
            // The root, or a cluster that no longer starts a directory.
            if (!IsRootCluster(pDbr, D)) ++depth;
            return 0;
        }
        ++depth;
        if (h.uDotDot == 0) return 0;
        if (auto at = std::find(chain.begin(), chain.end(), h.uDotDot); at != chain.end()) {
            depth += static_cast<int>(std::min_element(at, chain.end()) - chain.end()) + 1;
            return 0;
        }
        D = h.uDotDot;
    }
    return 0;
}

bool CProfessionalFatRecovery::IsLoopHead(const __VIRTUAL_DBR_INFO__* pDbr, u32 D) {
    u32 c = D;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        DirHead h;
        if (!ClusterHead(pDbr, c, h) || h.bLabel || !h.bDotPair || h.uDotDot == 0) return false;
        c = h.uDotDot;
        if (c == D) return true;
        if (c < D) return false;  // a lower cluster on the way: D is not the lowest of a loop through it
    }
    return false;
}

// Files and folders under P go under the key (depth of P, P), where every
// directory at depth 0 is the root, key 0.
void CProfessionalFatRecovery::ParentKey(const __VIRTUAL_DBR_INFO__* pDbr, u32 P, u32& keyLow, u32& depth) {
    int d = 0;
    if (P != 0) GetRootParentDirIndex(pDbr, P, d);
    depth = static_cast<u32>(d);
    keyLow = d == 0 ? 0 : P;
}

void CProfessionalFatRecovery::RecordFile(const unsigned char* e, const std::string& name, u64 S, u32 P, u32 c,
                                          const __VIRTUAL_DBR_INFO__* pDbr) {
    u32 cluster = EntryCluster(e);
    bool bSure = true;  // false when a guessed high word could not be confirmed
    if (e[0] == FAT_DELETED_MARK && GetLe16(e + 20) == 0 && pDbr) {
        u16 high = 0;
        const std::string n(Utf8Prefix(name, 255));
        bSure = GetFileRealHighClusterNO(GetLe16(e + 26), high, n.c_str(), pDbr);
        cluster = (static_cast<u32>(high) << 16) | GetLe16(e + 26);
    }
    _FILE_NODE_ proto{};
    proto.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
    proto.nEngineType = m_nEngineType;
    proto.bIsHealth = bSure ? 1 : FR_HEALTH_UNCONFIRMED;
    proto.uClusterNO = cluster;
    CopyNodeName(proto.szFileName, sizeof proto.szFileName, name);
    SetFatEntryTimes(e, proto);
    proto.u64FileSize = GetLe32(e + 28);
    proto.u64RecordSector = S;
    proto.nReserved = e[0] == FAT_DELETED_MARK ? 1 : 0;  // read by AttachFile
    if (pDbr) {
        AttachFile(proto, P, *pDbr);
    } else {
        __NO_DBR_FILE_NODE__ f{};
        f.FileNode = proto;
        f.FileNode.nFileIndex = P;
        m_vecNoDbrFile.push_back(f);
    }
    RegisterAncestors(P, pDbr, S, c);
}

void CProfessionalFatRecovery::AttachFile(const _FILE_NODE_& proto, u32 P, const __VIRTUAL_DBR_INFO__& dbr) {
    u32 keyLow = 0, depth = 0;
    ParentKey(&dbr, P, keyLow, depth);
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!node) return;
    *node = proto;
    node->nFileIndex = m_pStore->GetFileIndex();
    node->bIsDir = 0;
    node->nReserved = 0;
    node->nBytesPerCluster = kSector * dbr.nSectorsPerCluster;
    node->u64DataStartSector = dbr.nDataStartSector;
    node->u64VolumeStartSector = dbr.u64PartitionStart;
    m_pStore->AddChildren(keyLow, depth, node->nFileIndex, node->uClusterNO, nullptr);
    node->bIsHealth = IsFileDataHealth(node, dbr.nSectorsPerCluster) ? proto.bIsHealth : 0;
    // Deleted data: by its entry, or, where the FAT is known, a first
    // cluster it gives as free (a file in a deleted folder).
    bool bDeleted = proto.nReserved != 0;
    unsigned v = 1;
    if (m_FatTable.IsReady() && IsRealDbr(dbr)) bDeleted = m_FatTable.GetEntry(node->uClusterNO, v) == 0 && v == 0;
    if (!bDeleted || node->uClusterNO < 2) return;
    const VolumeKey key{node->u64VolumeStartSector, node->u64DataStartSector, node->nBytesPerCluster};
    AddFatClaim(m_mapDeletedClaims[key], node->uClusterNO, node->u64FileSize, node->nBytesPerCluster);
    if (node->bIsHealth != 0 && CheckedKindOfName(node->szFileName) != CheckedKind::None)
        m_vecPictureChecks.emplace_back(key, node->uClusterNO, node->nFileIndex);
}

void CProfessionalFatRecovery::RegisterAncestors(u32 P, const __VIRTUAL_DBR_INFO__* pDbr, u64 S, u32 c) {
    __VIRTUAL_DBR_INFO__ rec = pDbr ? *pDbr : __VIRTUAL_DBR_INFO__{};
    u64 sector = S;
    u32 D = P;
    std::set<u32> visited;
    for (int step = 0; step < kMaxChainSteps; ++step) {
        const __VIRTUAL_DBR_INFO__* pRec = IsVirtualDbrSet(rec) ? &rec : nullptr;
        if (D == 0 || visited.count(D) || IsRootCluster(pRec, D)) return;
        visited.insert(D);
        m_mapNeedAddDir.emplace(D, __PRO_NEED_ADD_DIR_INFO__{rec, sector});
        auto it = m_mapProDirInfo.find(D);
        if (it != m_mapProDirInfo.end()) {
            const u32 parent = it->second.FileNode.nFileIndex;
            if (parent == D) return;
            rec = it->second.DbrInfo;
            sector = it->second.FileNode.u64RecordSector;
            D = parent;
            continue;
        }
        u32 parent = 0;
        if (GetParentClusterNO(pRec, D, parent) != 0 || parent == D) return;
        u64 start = 0;
        if (pRec && ClusterStart(rec, c, start)) sector = start;
        D = parent;
    }
}

void CProfessionalFatRecovery::UpdateNoDbrFileVec() {
    if (m_vecNoDbrFile.empty() || m_vecVirtualDbr.empty()) return;
    // Only new records or new files can make a difference.
    if (m_nNoDbrCheckedRecords == m_vecVirtualDbr.size() && m_nNoDbrCheckedFiles == m_vecNoDbrFile.size()) return;
    for (const auto& d : m_vecVirtualDbr) {
        for (auto& f : m_vecNoDbrFile) {
            if (f.bDealt) continue;
            u64 start = 0;
            if (!ClusterStart(d, f.FileNode.nFileIndex, start) || start != f.FileNode.u64RecordSector) continue;
            AttachFile(f.FileNode, f.FileNode.nFileIndex, d);
            f.bDealt = 1;
        }
    }
    std::erase_if(m_vecNoDbrFile, [](const __NO_DBR_FILE_NODE__& f) { return f.bDealt != 0; });
    m_nNoDbrCheckedRecords = m_vecVirtualDbr.size();
    m_nNoDbrCheckedFiles = m_vecNoDbrFile.size();
}

// ---------------------------------------------------------------------------
// End of the sweep

void CProfessionalFatRecovery::ParseUnDealFileMap() {
    m_UnDealContext = {};
    for (auto it = m_mapUnDealFile.begin(); it != m_mapUnDealFile.end(); ++it) {
        __UNDEAL_FILE__& rec = it->second;
        if (rec.bDealt || rec.pData.size() != kSector) continue;
        rec.bDealt = 1;
        const u64 s = it->first;
        std::vector<unsigned char> data = std::move(rec.pData);
        rec.pData.clear();
        std::vector<unsigned char> joined;
        u64 S = 0;
        u32 c = 0;
        __VIRTUAL_DBR_INFO__ tailDbr{};
        if (GetParentDirCluster(data.data(), s, joined, S, c, tailDbr)) {
            ParseFatFDTRecord(std::move(joined), S, c, IsVirtualDbrSet(tailDbr) ? &tailDbr : nullptr, s);
            continue;
        }
        // A cluster that starts here, else the one the last start opened.
        const ClusterContext& ctx = m_UnDealContext;
        if (EnterClusterAt(s, m_UnDealContext) || ctx.Holds(s)) {
            const __VIRTUAL_DBR_INFO__ rd = ctx.Dbr;
            ParseFatFDTRecord(std::move(data), ctx.u64FirstSector, ctx.uClusterNO, &rd, s);
            continue;
        }
        __VIRTUAL_DBR_INFO__ best{};
        u64 first = 0;
        if (!GetBestVirtalDbr(s, &best) || !ClusterHolding(best, s, c, first)) continue;
        ParseFatFDTRecord(std::move(data), first, c, &best, s);
    }
    m_mapUnDealFile.clear();
}

void CProfessionalFatRecovery::AddDirNode(const _FILE_NODE_& proto, u32 keyLow, u32 depth) {
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!node) return;
    *node = proto;
    node->nFileIndex = m_pStore->GetFileIndex();
    node->bIsDir = 1;
    node->bIsHealth = 1;
    node->nReserved = 0;
    m_pStore->AddChildren(keyLow, depth, node->nFileIndex, node->uClusterNO, node->szFileName);
    m_vecDirEdges.emplace_back(DirKey(depth, keyLow), DirKey(depth + 1, proto.uClusterNO));
}

int CProfessionalFatRecovery::DealProfessionalRecordVec() {
    if (!m_pStore) return 0;
    ParseUnDealFileMap();
    for (const auto& [D, need] : m_mapNeedAddDir) {
        auto pit = m_mapProDirInfo.find(D);
        if (pit != m_mapProDirInfo.end()) {
            const __PRO_DIR_INFO__& info = pit->second;
            const u32 P = info.FileNode.nFileIndex;
            __VIRTUAL_DBR_INFO__ rec = info.DbrInfo;
            if (!IsVirtualDbrSet(rec) && !GetNearestVirtualDbrInfo(info.FileNode.u64RecordSector, P, &rec)) {
                m_mapUnattachedDir[D] = info.FileNode;
                continue;
            }
            u32 keyLow = 0, depth = 0;
            ParentKey(&rec, IsLoopHead(&rec, D) ? 0 : P, keyLow, depth);
            AddDirNode(info.FileNode, keyLow, depth);
            continue;
        }
        __VIRTUAL_DBR_INFO__ rec = need.DbrInfo;
        if (!IsVirtualDbrSet(rec) && !GetNearestVirtualDbrInfo(need.u64Sector, D, &rec)) continue;
        if (IsRootCluster(&rec, D)) continue;  // the root is key 0 and has no node
        u32 P = 0;
        if (GetParentClusterNO(&rec, D, P) != 0 || P == D || IsLoopHead(&rec, D)) P = 0;
        u32 keyLow = 0, depth = 0;
        ParentKey(&rec, P, keyLow, depth);
        _FILE_NODE_ lost{};
        lost.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
        lost.nEngineType = m_nEngineType;
        lost.uClusterNO = D;
        snprintf(lost.szFileName, sizeof lost.szFileName, "LostFolder%u", D);
        NameFromParent(rec, P, D, lost);
        AddDirNode(lost, keyLow, depth);
    }
    m_mapNeedAddDir.clear();
    m_mapProDirInfo.clear();
    m_nNoDbrCheckedRecords = 0;
    UpdateNoDbrFileVec();
    for (auto& f : m_vecNoDbrFile) {
        if (f.bDealt) continue;
        __VIRTUAL_DBR_INFO__ best{};
        if (!GetBestVirtalDbr(f.FileNode.u64RecordSector, &best)) continue;
        AttachFile(f.FileNode, f.FileNode.nFileIndex, best);
        f.bDealt = 1;
    }
    m_vecNoDbrFile.clear();
    AttachUnreachable();
    m_mapUnattachedDir.clear();
    CheckDeletedPictures();
    m_pStore->FlushBufToFile();
    return 0;
}

// Every folder key that holds nodes but that no listing from the top
// reaches gets a folder of its own, placed at the depth its key names below
// holder folders at the top level.
void CProfessionalFatRecovery::AttachUnreachable() {
    const auto& relation = m_pStore->GetRelationMap();
    if (relation.empty()) return;
    std::multimap<u64, u64> edges(m_vecDirEdges.begin(), m_vecDirEdges.end());
    std::set<u64> reached;
    auto reach = [&](u64 from) {
        std::vector<u64> stack{from};
        while (!stack.empty()) {
            const u64 k = stack.back();
            stack.pop_back();
            if (!reached.insert(k).second) continue;
            auto [b, e] = edges.equal_range(k);
            for (auto i = b; i != e; ++i) stack.push_back(i->second);
        }
    };
    reach(0);
    std::vector<u64> keys;
    for (const auto& [k, v] : relation) keys.push_back(k);
    for (u64 k : keys) {
        if (reached.count(k)) continue;
        const u32 depth = static_cast<u32>(k >> 32);
        const u32 D = static_cast<u32>(k);
        if (depth == 0) continue;  // never made: every depth-0 folder is the root
        u32 parentLow = 0;
        for (u32 level = 0; level + 1 < depth; ++level) {
            _FILE_NODE_ holder{};
            holder.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
            holder.nEngineType = m_nEngineType;
            holder.uClusterNO = kSyntheticDirBase + m_uSyntheticDir++;
            snprintf(holder.szFileName, sizeof holder.szFileName, "LostFolder%u", D);
            AddDirNode(holder, parentLow, level);
            parentLow = holder.uClusterNO;
        }
        _FILE_NODE_ dir{};
        auto u = m_mapUnattachedDir.find(D);
        if (u != m_mapUnattachedDir.end()) {
            dir = u->second;
        } else {
            dir.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
            dir.nEngineType = m_nEngineType;
            snprintf(dir.szFileName, sizeof dir.szFileName, "LostFolder%u", D);
        }
        dir.uClusterNO = D;
        AddDirNode(dir, parentLow, depth - 1);
        edges.emplace(m_vecDirEdges.back());
        reach(k);
    }
}
