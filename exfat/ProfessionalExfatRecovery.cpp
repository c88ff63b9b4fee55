#include "exfat/ProfessionalExfatRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>

#include "core/Platform.h"
#include "core/TextHelpers.h"

namespace {
constexpr size_t kMaxSets = 500000;      // kept per scan (a few hundred bytes each)
constexpr size_t kMaxVoters = 64;        // folders and
constexpr size_t kMaxStarts = 256;       // set-led sectors that vote on the geometry
constexpr size_t kMaxScoredFiles = 32;
constexpr u64 kMaxDirClusters = 65536;   // a folder's clusters that claim the sets in them
}  // namespace

CProfessionalExfatRecovery::CProfessionalExfatRecovery() : CSweepFedEngine(FAT_MAX_CLUSTER_BYTES) {}

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() = default;

int CProfessionalExfatRecovery::OnOpened() {
    m_bBoot = m_Volume.ReadBootRegion(m_u64PartitionStart * 512, m_u64SectorCount * 512, m_Boot);
    return 0;
}

int CProfessionalExfatRecovery::StartScan(wchar_t* szLogName) {
    m_vecFound.clear();
    m_vecRootSectors.clear();
    m_vecDirStarts.clear();
    m_nSpc = 0;
    m_u64Heap = 0;
    if (szLogName && szLogName[0]) return OpenStore(szLogName);
    return OpenNewScanStore("Pro_Exfat_", LogTime::Local, "CProfessionalExfatRecovery");
}

int CProfessionalExfatRecovery::ParseSector(const unsigned char* p, size_t avail, u64 u64Sector) {
    if (!p || avail < 512 || !m_bOpened || u64Sector < m_u64PartitionStart) return 0;
    const u64 rel = u64Sector - m_u64PartitionStart;
    const std::span<const unsigned char> sector(p, 512);
    int found = 0;
    if (IsExfatRootStart(sector)) {
        m_vecRootSectors.push_back(rel);
        ++found;
    }
    std::vector<unsigned char> more;
    for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= 512;) {
        if ((p[off] | EXFAT_IN_USE) != EXFAT_ENTRY_FILE || m_vecFound.size() >= kMaxSets) {
            off += EXFAT_ENTRY_SIZE;
            continue;
        }
        std::span<const unsigned char> from(p + off, avail - off);
        const size_t need = (static_cast<size_t>(p[off + 1]) + 1) * EXFAT_ENTRY_SIZE;
        if (need > from.size()) {
            // The set runs past what the sweep holds: read it whole.
            more.assign(3 * 512, 0);
            const size_t got = m_Volume.Read(u64Sector * 512, more.data(), more.size());
            from = std::span<const unsigned char>(more.data() + off, got > off ? got - off : 0);
        }
        Found f{rel, {}};
        if (!ParseExfatEntrySet(from, f.set)) {
            off += EXFAT_ENTRY_SIZE;
            continue;
        }
        if (off == 0 && m_vecDirStarts.size() < kMaxStarts) m_vecDirStarts.push_back(rel);
        off += static_cast<size_t>(f.set.nEntries) * EXFAT_ENTRY_SIZE;
        m_vecFound.push_back(std::move(f));
        ++found;
    }
    return found;
}

// ---------------------------------------------------------------------------
// Geometry

u32 CProfessionalExfatRecovery::ClusterOf(u64 u64Sector) const {
    if (m_nSpc == 0 || u64Sector < m_u64Heap) return 0;
    const u64 c = (u64Sector - m_u64Heap) / m_nSpc + 2;
    return c > 0xFFFFFFF6u ? 0 : static_cast<u32>(c);
}

u32 CProfessionalExfatRecovery::ScoreFiles(u32 spc, u64 heap) {
    u32 score = 0;
    size_t tried = 0;
    std::vector<unsigned char> sec(512);
    for (const Found& f : m_vecFound) {
        if (tried >= kMaxScoredFiles) break;
        const ExfatEntrySet& s = f.set;
        const std::string ext = LowerAscii(ExtensionOf(s.strName, 16));
        if (s.IsDir() || s.nFirstCluster < 2 || s.u64ValidDataLength == 0 || ext.empty() ||
            CFileTypeJudge::GetExtendNameType(ext.c_str()) == FT_NONE)
            continue;
        ++tried;
        const u64 at = heap + static_cast<u64>(s.nFirstCluster - 2) * spc;
        if (at >= m_u64SectorCount || m_Volume.Read((m_u64PartitionStart + at) * 512, sec.data(), 512) < 512) continue;
        if (m_FileTypeJudge.IsFileTypeMatching(sec.data(), 512, ext.c_str(), &m_DiskReader, 512,
                                               m_u64PartitionStart + at))
            ++score;
    }
    return score;
}

bool CProfessionalExfatRecovery::LearnGeometry() {
    if (m_bBoot) {
        const u32 r = m_Boot.nBytesPerSector / 512;
        m_nSpc = m_Boot.nSectorsPerCluster * r;
        m_u64Heap = static_cast<u64>(m_Boot.nHeapOffset) * r;
        m_nRootId = m_Boot.nRootCluster;
        return true;
    }
    // A folder's first cluster starts with a set: each (folder, set-led
    // sector) pair names a heap start for every cluster size; the pairs
    // agree on the true one.
    std::vector<u32> dirs;
    std::set<u32> seen;
    for (const Found& f : m_vecFound)
        if (f.set.IsDir() && f.set.nFirstCluster >= 2 && seen.insert(f.set.nFirstCluster).second &&
            dirs.size() < kMaxVoters)
            dirs.push_back(f.set.nFirstCluster);
    std::map<std::pair<u32, u64>, u32> votes;
    for (u32 spc = 1; spc <= 65536; spc *= 2)
        for (u32 d : dirs)
            for (u64 s : m_vecDirStarts) {
                const u64 off = static_cast<u64>(d - 2) * spc;
                if (s > off) ++votes[{spc, s - off}];
            }
    u32 best = 0;
    for (const auto& kv : votes) best = std::max(best, kv.second);
    if (best == 0) return false;
    // Ties go to the candidate whose files' first data looks like their type.
    u32 bestScore = 0;
    bool any = false;
    size_t tried = 0;
    for (const auto& [cand, n] : votes) {
        if (n != best || tried++ >= 64) continue;
        const u32 score = ScoreFiles(cand.first, cand.second);
        if (!any || score > bestScore) {
            any = true;
            bestScore = score;
            m_nSpc = cand.first;
            m_u64Heap = cand.second;
        }
    }
    return any;
}

// ---------------------------------------------------------------------------
// The tree

_FILE_NODE_ CProfessionalExfatRecovery::MakeNode(const ExfatEntrySet& set) const {
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_DEEP_EXFAT, set.IsDir());
    node.nReserved = (set.bDeleted ? EXFAT_NODE_DELETED : 0) | (set.NoFatChain() ? EXFAT_NODE_NO_FAT_CHAIN : 0);
    node.uClusterNO = set.nFirstCluster;
    node.nBytesPerCluster = m_nSpc * 512;
    node.u64CreateTime = static_cast<u64>(std::max<i64>(set.i64Create, 0));
    node.u64AccessTime = static_cast<u64>(std::max<i64>(set.i64Access, 0));
    node.u64ModifyTime = static_cast<u64>(std::max<i64>(set.i64Modify, 0));
    node.u64FileSize = set.IsDir() ? 0 : set.u64DataLength;
    node.u64DataStartSector = m_u64Heap;
    node.u64RecordSector = set.u64ValidDataLength;
    node.u64VolumeStartSector = m_u64PartitionStart;
    CopyNodeName(node.szFileName, sizeof node.szFileName, set.strName);
    return node;
}

int CProfessionalExfatRecovery::FinishScan() {
    if (!m_pStore) return FR_INVALID;
    if (m_vecFound.empty() || !LearnGeometry()) return m_pStore->FlushBufToFile();
    ExfatBootInfo geo;
    geo.nBytesPerSector = 512;
    geo.nSectorsPerCluster = m_nSpc;
    geo.nHeapOffset = static_cast<u32>(std::min<u64>(m_u64Heap, 0xFFFFFFFFu));
    geo.nClusterCount = static_cast<u32>(
        std::min<u64>(m_u64SectorCount > m_u64Heap ? (m_u64SectorCount - m_u64Heap) / m_nSpc : 0, 0xFFFFFFF5u));
    m_Volume.SetGeometry(geo, m_u64PartitionStart * 512);
    const u32 bpc = m_nSpc * 512;

    // Which folder's clusters hold each cluster: its own first cluster on,
    // as far as its length reaches when it has no FAT chain.
    std::unordered_map<u32, u32> owner;
    std::map<u32, const Found*> dirs;
    for (const Found& f : m_vecFound) {
        const ExfatEntrySet& s = f.set;
        if (!s.IsDir() || s.nFirstCluster < 2 || !dirs.emplace(s.nFirstCluster, &f).second) continue;
        const u64 n = s.NoFatChain() ? std::min<u64>((s.u64DataLength + bpc - 1) / bpc, kMaxDirClusters) : 1;
        for (u64 i = 0; i < std::max<u64>(n, 1); ++i) owner.emplace(static_cast<u32>(s.nFirstCluster + i), s.nFirstCluster);
    }
    if (!m_bBoot) m_nRootId = m_vecRootSectors.empty() ? 1 : std::max<u32>(ClusterOf(m_vecRootSectors.front()), 1);
    if (m_nRootId >= 2) owner[m_nRootId] = m_nRootId;
    for (u64 s : m_vecRootSectors)
        if (const u32 c = ClusterOf(s)) owner.emplace(c, m_nRootId);

    // Sets no folder claims: a lost folder per run of clusters.
    std::map<u32, u32> lost;  // cluster -> its lost folder's id (its first cluster)
    std::vector<u32> lostOrder;
    auto parentOf = [&](const Found& f) -> u32 {
        const u32 c = ClusterOf(f.u64Sector);
        if (auto it = owner.find(c); it != owner.end()) return it->second;
        if (auto it = lost.find(c); it != lost.end()) return it->second;
        u32 id = c;
        if (auto prev = lost.find(c - 1); c > 0 && prev != lost.end()) id = prev->second;
        else lostOrder.push_back(c);
        lost[c] = id;
        return id;
    };
    std::vector<u32> parents;
    parents.reserve(m_vecFound.size());
    for (const Found& f : m_vecFound) parents.push_back(parentOf(f));

    // Depths: the root 0, lost folders 1, a folder one below its parent; a
    // folder whose parents loop hangs at the top.
    std::map<u32, u32> parentOfDir;
    for (size_t i = 0; i < m_vecFound.size(); ++i) {
        const ExfatEntrySet& s = m_vecFound[i].set;
        if (s.IsDir() && dirs[s.nFirstCluster] == &m_vecFound[i]) parentOfDir[s.nFirstCluster] = parents[i];
    }
    std::unordered_map<u32, u32> depth;
    depth[m_nRootId] = 0;
    for (u32 id : lostOrder) depth[id] = 1;
    auto depthOf = [&](u32 id) -> u32 {
        std::vector<u32> path;
        std::set<u32> onPath;
        for (u32 cur = id; !depth.count(cur);) {
            auto p = parentOfDir.find(cur);
            if (p == parentOfDir.end() || !onPath.insert(cur).second) {
                if (p != parentOfDir.end()) p->second = m_nRootId;
                depth[cur] = 1;
                break;
            }
            path.push_back(cur);
            cur = p->second;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it)
            if (!depth.count(*it)) depth[*it] = depth[parentOfDir[*it]] + 1;
        return depth[id];
    };
    auto add = [&](const _FILE_NODE_& proto, u32 parent, const char* dirName) {
        _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
        if (!node) return;
        *node = proto;
        node->nFileIndex = m_pStore->GetFileIndex();
        m_pStore->AddChildren(parent, depthOf(parent), node->nFileIndex, node->uClusterNO, dirName);
    };
    u32 n = 0;
    for (u32 id : lostOrder) {
        _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_DEEP_EXFAT, true);
        node.uClusterNO = id;
        node.nBytesPerCluster = bpc;
        node.u64DataStartSector = m_u64Heap;
        node.u64VolumeStartSector = m_u64PartitionStart;
        CopyNodeName(node.szFileName, sizeof node.szFileName, "LostFolder" + std::to_string(++n));
        add(node, m_nRootId, node.szFileName);
    }
    std::vector<unsigned char> sec(512);
    for (size_t i = 0; i < m_vecFound.size(); ++i) {
        const ExfatEntrySet& s = m_vecFound[i].set;
        _FILE_NODE_ node = MakeNode(s);
        if (s.IsDir()) {
            if (dirs[s.nFirstCluster] != &m_vecFound[i]) continue;
            depthOf(s.nFirstCluster);
            add(node, parentOfDir[s.nFirstCluster], node.szFileName);
            continue;
        }
        // Data without a FAT chain is where the set says; a chain's later
        // clusters are a guess.
        if (!s.NoFatChain() && s.u64DataLength > bpc) node.bIsHealth = FR_HEALTH_UNCONFIRMED;
        const std::string ext = ExtensionOf(node.szFileName, 16);
        if (!ext.empty() && s.u64ValidDataLength > 0 && m_Volume.IsValidCluster(s.nFirstCluster)) {
            const u64 at = m_Volume.ClusterByte(s.nFirstCluster);
            if (m_Volume.Read(at, sec.data(), 512) == 512 &&
                !m_FileTypeJudge.IsFileTypeMatching(sec.data(), 512, ext.c_str(), &m_DiskReader, 512, at / 512))
                node.bIsHealth = 0;
        }
        add(node, parents[i], nullptr);
    }
    return m_pStore->FlushBufToFile();
}

// ---------------------------------------------------------------------------
// Queries, extraction and preview

