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
#include "rules/FatVolume.h"

namespace {

constexpr u32 kSector = 512;
// Up to this high word is tried when a deleted FAT32 entry lost its own.
constexpr unsigned kMaxGuessedHighWord = 256;
// Bounds that keep a crafted partition from exhausting time or memory.
constexpr size_t kMaxObservations = 65536;
constexpr size_t kMaxPairings = 256;
constexpr size_t kMaxPendingTails = 4096;
constexpr size_t kMaxKeptSectors = 262144;  // 128 MiB of kept directory sectors
constexpr size_t kMaxHeadCache = 1u << 20;
// Subfolder entries met in directory sectors (about 400 bytes each).
constexpr size_t kMaxDirInfos = 65536;
constexpr int kMaxChainSteps = 4096;
constexpr int kMaxLongNameEntries = 20;
// Identifiers of holder folders made for unreachable folders; above every
// cluster number a FAT can hold.
constexpr u32 kSyntheticDirBase = 0xF0000000u;

bool IsVirtualDbrSet(const __VIRTUAL_DBR_INFO__& d) { return d.nSectorsPerCluster != 0; }

u64 DirKey(u32 depth, u32 low) { return (static_cast<u64>(depth) << 32) | low; }

}  // namespace

CProfessionalFatRecovery::CProfessionalFatRecovery() : m_vecSector(kSector) {}

CProfessionalFatRecovery::~CProfessionalFatRecovery() {
    if (m_pStore) m_pStore->FlushBufToFile();
}

// ---------------------------------------------------------------------------
// Initialisation

int CProfessionalFatRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                                   wchar_t wcDriveLetter) {
    if (m_bOpened) return 0;
    if (u64StartSector < 0 || u64SectorCount <= 0) return FR_INVALID;
    m_u64PartitionStart = static_cast<u64>(u64StartSector);
    m_u64SectorCount = static_cast<u64>(u64SectorCount);
    m_wcDriveLetter = wcDriveLetter;
    int ret = m_DiskReader.Init(nDiskNumber, m_u64PartitionStart + m_u64SectorCount);
    if (ret != 0) return ret;
    m_bOpened = true;
    m_bHasRealDbr = 0;
    m_UnDealContext = {};
    m_FragmentContext = {};
    return 0;
}

int CProfessionalFatRecovery::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    if (m_bOpened) return 0;
    if (!szPath) return FR_INVALID;
    int ret = m_DiskReader.Init(szPath, ~0ULL);
    if (ret != 0) return ret;
    const long long size = rsb_getDeviceSize(m_DiskReader.GetHandle());
    if (size < static_cast<long long>(kSector)) {
        m_DiskReader.Close();
        return size < 0 ? (errno ? errno : FR_FAILED) : FR_SHORT_READ;
    }
    m_u64PartitionStart = 0;
    m_u64SectorCount = static_cast<u64>(size) / kSector;
    m_DiskReader.SetSectorLimit(m_u64SectorCount);
    m_wcDriveLetter = wcDriveLetter;
    m_bOpened = true;
    m_bHasRealDbr = 0;
    m_UnDealContext = {};
    m_FragmentContext = {};
    return 0;
}

int CProfessionalFatRecovery::ScanDevice(wchar_t*) { return 0; }
int CProfessionalFatRecovery::GetUnUsedSectorCount(u64&, u64&) { return 0; }
int CProfessionalFatRecovery::BuildBitMapInfo() { return 0; }

void CProfessionalFatRecovery::ResetCollections() {
    m_vecVirtualDbr.clear();
    m_vecSectorOffset.clear();
    m_vecNoDbrFile.clear();
    m_vecLongFileInfo.clear();
    m_mapUnDealFile.clear();
    m_mapProDirInfo.clear();
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
}

int CProfessionalFatRecovery::ClearProfessionalVec(wchar_t* szLogName) {
    ResetCollections();
    if (szLogName && szLogName[0]) {
        return OpenStore(szLogName);
    }
    SYSTEMTIME t{};
    rsb_getLocalTime(&t);
    const std::wstring name = MakeResultLogName("Pro_Fat_", m_u64PartitionStart, t);
    const int ret = OpenNewStore(name.c_str());
    if (ret != 0) FrLog("CProfessionalFatRecovery result store init failed %d\n", ret);
    return ret;
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

// ---------------------------------------------------------------------------
// Sectors from the sweep

int CProfessionalFatRecovery::ParseFatFileRecord(unsigned char* pSector, unsigned long long u64SectorNo) {
    if (!pSector || !m_pStore || u64SectorNo < m_u64PartitionStart || u64SectorNo >= PartitionEnd())
        return 0;
    const u32 c = EntryCluster(pSector);
    __VIRTUAL_DBR_INFO__ rec{};
    bool have = GetVirtualDbrInfo(u64SectorNo, c, &rec);
    if (!have) {
        AddObservation(c, u64SectorNo);
        have = GetVirtualDbrInfo(u64SectorNo, c, &rec);
    }
    if (have) {
        UpdateNoDbrFileVec();
        // The directory's further sectors follow in this cluster.
        m_FragmentContext.Dbr = rec;
        m_FragmentContext.uClusterNO = c;
        m_FragmentContext.u64FirstSector = u64SectorNo;
        m_FragmentContext.nSectors = rec.nSectorsPerCluster;
    }
    DealWithTails(std::vector<unsigned char>(pSector, pSector + kSector), u64SectorNo, c, have ? &rec : nullptr,
                  u64SectorNo);
    return 0;
}

int CProfessionalFatRecovery::ParseFDTFileRecord(unsigned char* pSector, unsigned long long u64SectorNo) {
    if (!pSector || !m_pStore || u64SectorNo < m_u64PartitionStart || u64SectorNo >= PartitionEnd())
        return 0;
    std::vector<unsigned char> joined;
    u64 S = 0;
    u32 c = 0;
    __VIRTUAL_DBR_INFO__ tailDbr{};
    if (GetParentDirCluster(pSector, u64SectorNo, joined, S, c, tailDbr)) {
        ParseFatFDTRecord(std::move(joined), S, c, IsVirtualDbrSet(tailDbr) ? &tailDbr : nullptr, u64SectorNo);
        return 0;
    }
    const ClusterContext& ctx = m_FragmentContext;
    if (ctx.IsSet() && u64SectorNo >= ctx.u64FirstSector && u64SectorNo - ctx.u64FirstSector < ctx.nSectors) {
        const __VIRTUAL_DBR_INFO__ d = ctx.Dbr;
        ParseFatFDTRecord(std::vector<unsigned char>(pSector, pSector + kSector), ctx.u64FirstSector, ctx.uClusterNO,
                          &d, u64SectorNo);
        return 0;
    }
    DoParseFileOrAddUndelFileMap(pSector, u64SectorNo);
    return 0;
}

void CProfessionalFatRecovery::DoParseFileOrAddUndelFileMap(const unsigned char* buf, u64 s) {
    for (const auto& d : m_vecVirtualDbr) {
        u32 c = 0;
        if (!ClusterAtStart(d, s, c)) continue;
        m_FragmentContext.Dbr = d;
        m_FragmentContext.uClusterNO = c;
        m_FragmentContext.u64FirstSector = s;
        m_FragmentContext.nSectors = c == 0 ? RootAreaSectors(d) : d.nSectorsPerCluster;
        const __VIRTUAL_DBR_INFO__ rec = d;
        ParseFatFDTRecord(std::vector<unsigned char>(buf, buf + kSector), s, c, &rec, s);
        return;
    }
    AddUnDealFileMap(buf, s);
}

void CProfessionalFatRecovery::AddUnDealFileMap(const unsigned char* buf, u64 s) {
    auto it = m_mapUnDealFile.find(s);
    if (it == m_mapUnDealFile.end() && m_mapUnDealFile.size() >= kMaxKeptSectors) {
        if (m_mapUnDealFile.size() == kMaxKeptSectors) FrLog("CProfessionalFatRecovery kept sectors full\n");
        return;
    }
    __UNDEAL_FILE__& rec = m_mapUnDealFile[s];
    rec.bDealt = 0;
    rec.pData.assign(buf, buf + kSector);
}

void CProfessionalFatRecovery::ParseFatFDTRecord(std::vector<unsigned char> buf, u64 s, u32 c,
                                                 const __VIRTUAL_DBR_INFO__* pDbr, u64 u64LastSector) {
    __VIRTUAL_DBR_INFO__ rec{};
    if (!pDbr && GetVirtualDbrInfo(s, c, &rec)) pDbr = &rec;
    DealWithTails(std::move(buf), s, c, pDbr, u64LastSector);
}

// Parses a buffer; while it ends in long-name entries whose short entry lies
// in the sector right after it, and that sector was kept, parses the two joined.
void CProfessionalFatRecovery::DealWithTails(std::vector<unsigned char> buf, u64 s, u32 c,
                                             const __VIRTUAL_DBR_INFO__* pDbr, u64 u64LastSector) {
    while (true) {
        __LONG_FILE_INFO__ tail{};
        DealProfessionalFatFileEntry(buf.data(), static_cast<int>(buf.size()), s, c, &tail, pDbr);
        if (!tail.bPending) return;
        tail.u64LastSector = u64LastSector;
        auto it = m_mapUnDealFile.find(u64LastSector + 1);
        if (it != m_mapUnDealFile.end() && !it->second.bDealt && it->second.pData.size() == kSector &&
            ContinuesTail(tail, it->second.pData.data(), it->first)) {
            std::vector<unsigned char> joined(tail.byData, tail.byData + tail.nDataLen);
            joined.insert(joined.end(), it->second.pData.begin(), it->second.pData.end());
            it->second.bDealt = 1;
            it->second.pData.clear();
            it->second.pData.shrink_to_fit();
            buf = std::move(joined);
            ++u64LastSector;
            continue;
        }
        if (m_vecLongFileInfo.size() >= kMaxPendingTails) m_vecLongFileInfo.erase(m_vecLongFileInfo.begin());
        m_vecLongFileInfo.push_back(tail);
        return;
    }
}

// Whether a sector (that lies right after the tail's) holds the short entry,
// or further long-name entries, of the tail's name.
bool CProfessionalFatRecovery::ContinuesTail(const __LONG_FILE_INFO__& t, const unsigned char* e0, u64 sector) const {
    if (sector != t.u64LastSector + 1) return false;
    if (e0[11] == FAT_ATTR_LONG_NAME) return e0[13] == t.byCheckSum;
    if (e0[0] == FAT_DELETED_MARK) return true;
    if (e0[0] == 0) return false;
    return GetShortNameCheckSum(reinterpret_cast<const char*>(e0)) == t.byCheckSum;
}

bool CProfessionalFatRecovery::GetParentDirCluster(const unsigned char* buf, u64 sector,
                                                   std::vector<unsigned char>& joined, u64& S, u32& c,
                                                   __VIRTUAL_DBR_INFO__& dbr) {
    for (auto it = m_vecLongFileInfo.begin(); it != m_vecLongFileInfo.end(); ++it) {
        if (!ContinuesTail(*it, buf, sector)) continue;
        c = it->uParentClusterNO;
        S = it->u64Sector;
        dbr = __VIRTUAL_DBR_INFO__{it->nSectorsPerCluster, it->nDataStartSector, it->u64PartitionStart};
        joined.assign(it->byData, it->byData + it->nDataLen);
        joined.insert(joined.end(), buf, buf + kSector);
        m_vecLongFileInfo.erase(it);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Entries

void CProfessionalFatRecovery::DealProfessionalFatFileEntry(const unsigned char* buf, int len, u64 s, u32 c,
                                                            __LONG_FILE_INFO__* pTail,
                                                            const __VIRTUAL_DBR_INFO__* pDbr) {
    u32 P = c;
    u64 S = s;
    GetParentClusterNO(buf, len, S, pDbr, P);
    CFatLongName lfn;
    int runStart = -1;
    int runLength = 0;
    u8 runSum = 0;
    bool overflow = false;
    for (int off = 0; off + FAT_ENTRY_SIZE <= len; off += FAT_ENTRY_SIZE) {
        const unsigned char* e = buf + off;
        if (e[0] == 0) return;
        if (!IsFatEntyValid(e, len - off)) {
            lfn.Drop();
            runStart = -1;
            continue;
        }
        const u8 attr = e[11];
        if (attr == FAT_ATTR_LONG_NAME) {
            if (runStart < 0) {
                runStart = off;
                runSum = e[13];
                runLength = 0;
            }
            if (++runLength > kMaxLongNameEntries) {
                overflow = true;
                break;
            }
            lfn.AddPart(e);
            continue;
        }
        runStart = -1;
        if (!(attr & FAT_ATTR_DIRECTORY)) {
            if (IsFatFileEntry(e)) {
                std::string name;
                if (!lfn.Take(name)) name = GetShortNameText(e, true);
                if (!name.empty()) RecordFile(e, name, S, P, c, pDbr);
            }
            lfn.Drop();
            continue;
        }
        // "." and ".." are told by their short names.
        if (e[0] == '.') {
            lfn.Drop();
            if (e[1] == ' ') P = EntryCluster(e);
            continue;
        }
        std::string name;
        if (!lfn.Take(name)) name = GetShortNameText(e, false);
        lfn.Drop();
        u32 dc = EntryCluster(e);
        const bool bDeleted = e[0] == FAT_DELETED_MARK;
        if (bDeleted && GetLe16(e + 20) == 0 && pDbr) {
            u16 high = 0;
            GetDirRealHighClusterNO(GetLe16(e + 26), high, pDbr);
            dc = (static_cast<u32>(high) << 16) | GetLe16(e + 26);
        }
        if (dc == 0 || dc == P || dc > 0x0FFFFFFF || name.empty()) continue;
        __PRO_DIR_INFO__ info{};
        _FILE_NODE_& n = info.FileNode;
        n.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
        n.nEngineType = m_nEngineType;
        n.bIsDir = 1;
        n.bIsHealth = 1;
        n.nFileIndex = P;
        n.uClusterNO = dc;
        n.nReserved = bDeleted ? 1 : 0;  // kept here only to prefer live entries below
        _FILETIME t;
        Fat32GetFileCreateTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
        n.u64CreateTime = FileTimeToU64(t);
        Fat32GetFileLastAccessTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
        n.u64AccessTime = FileTimeToU64(t);
        Fat32GetFileLastChangeTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
        n.u64ModifyTime = FileTimeToU64(t);
        n.u64RecordSector = S;
        CopyNodeName(n.szFileName, sizeof n.szFileName, name);
        if (pDbr) info.DbrInfo = *pDbr;
        // A live entry owns its cluster; a deleted one never displaces it.
        auto it = m_mapProDirInfo.find(dc);
        if (it != m_mapProDirInfo.end() && it->second.FileNode.nReserved == 0 && bDeleted) continue;
        if (it == m_mapProDirInfo.end() && m_mapProDirInfo.size() >= kMaxDirInfos) {
            if (m_mapProDirInfo.size() == kMaxDirInfos) FrLog("CProfessionalFatRecovery folder entries full\n");
            continue;
        }
        m_mapProDirInfo[dc] = info;
    }
    if (!pTail || (runStart < 0 && !overflow)) return;
    if (runStart < 0) return;
    // Long-name entries wait for their short entry: keep at most the last
    // 512 bytes' worth of whole entries.
    int from = runStart;
    if (len - from > static_cast<int>(sizeof pTail->byData)) from = len - static_cast<int>(sizeof pTail->byData);
    pTail->bPending = 1;
    pTail->byCheckSum = runSum;
    if (pDbr) {
        pTail->nSectorsPerCluster = pDbr->nSectorsPerCluster;
        pTail->u64PartitionStart = pDbr->u64PartitionStart;
        pTail->nDataStartSector = pDbr->nDataStartSector;
    }
    pTail->uParentClusterNO = P;
    pTail->nDataLen = static_cast<u32>(len - from);
    pTail->u64Sector = S;
    std::memcpy(pTail->byData, buf + from, pTail->nDataLen);
}

void CProfessionalFatRecovery::GetParentClusterNO(const unsigned char* buf, int len, u64& S,
                                                  const __VIRTUAL_DBR_INFO__* pDbr, u32& P) {
    if (len < 2 * FAT_ENTRY_SIZE) return;
    if (buf[11] == FAT_ATTR_VOLUME) {
        P = 0;  // the root directory
        if (pDbr) S = pDbr->u64PartitionStart + pDbr->nDataStartSector;
        return;
    }
    if (buf[0] == '.' && buf[32] == '.' && buf[33] == '.') {
        P = EntryCluster(buf);
        return;
    }
    if (!pDbr) return;
    DirHead head;
    if (!ClusterHead(pDbr, P, head)) return;
    if (head.bDotPair) return;
    // Not a directory's first cluster: a subdirectory listed here names this
    // directory in its ".." entry.
    for (int off = 0; off + FAT_ENTRY_SIZE <= len; off += FAT_ENTRY_SIZE) {
        const unsigned char* e = buf + off;
        if (e[0] == 0) return;
        if (S >= PartitionEnd()) return;
        if (!IsFatEntyValid(e, len - off)) continue;
        if (e[11] == FAT_ATTR_LONG_NAME || !(e[11] & FAT_ATTR_DIRECTORY) || e[0] == '.') continue;
        u32 dc = EntryCluster(e);
        if (e[0] == FAT_DELETED_MARK && GetLe16(e + 20) == 0) {
            u16 high = 0;
            GetDirRealHighClusterNO(GetLe16(e + 26), high, pDbr);
            dc = (static_cast<u32>(high) << 16) | GetLe16(e + 26);
        }
        u64 sector = 0;
        if (!ClusterStart(*pDbr, dc, sector)) continue;
        const DirHead& h = ReadHead(sector);
        if (!h.bRead) return;
        if (h.bDotPair) {
            P = h.uDotDot;
            S = sector;
            return;
        }
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

int CProfessionalFatRecovery::GetRootParentDirIndex(const __VIRTUAL_DBR_INFO__* pDbr, u32 D, int& depth) {
    if (!pDbr || !IsVirtualDbrSet(*pDbr)) return 0;
    std::set<u32> visited;
    for (int step = 0; D != 0 && step < kMaxChainSteps; ++step) {
        visited.insert(D);
        DirHead h;
        if (!ClusterHead(pDbr, D, h)) return FR_SHORT_READ;
        if (h.bLabel) return 0;
        if (!h.bDotPair) {
            // The root, or a cluster that no longer starts a directory.
            if (!IsRootCluster(pDbr, D)) ++depth;
            return 0;
        }
        ++depth;
        if (h.uDotDot == 0 || visited.count(h.uDotDot)) return 0;
        D = h.uDotDot;
    }
    return 0;
}

// Files and folders under P go under the key (depth of P, P), where every
// directory at depth 0 is the root, key 0.
void CProfessionalFatRecovery::ParentKey(const __VIRTUAL_DBR_INFO__* pDbr, u32 P, u32& keyLow, u32& depth) {
    int d = 0;
    if (P != 0) GetRootParentDirIndex(pDbr, P, d);
    depth = static_cast<u32>(d);
    keyLow = d == 0 ? 0 : P;
}

void CProfessionalFatRecovery::GetDirRealHighClusterNO(u16 low, u16& high, const __VIRTUAL_DBR_INFO__* pDbr) {
    if (!pDbr || (m_bHasRealDbr && !m_RealBoot.bIsFat32)) return;
    for (unsigned h = 0; h <= kMaxGuessedHighWord; ++h) {
        const u32 c = (h << 16) | low;
        if (c < 2) continue;
        u64 sector = 0;
        if (!ClusterStart(*pDbr, c, sector)) return;
        const DirHead& head = ReadHead(sector);
        if (!head.bRead) return;
        if (head.bDotPair) {
            high = static_cast<u16>(h);
            return;
        }
    }
}

bool CProfessionalFatRecovery::GetFileRealHighClusterNO(u16 low, u16& high, const char* name,
                                                        const __VIRTUAL_DBR_INFO__* pDbr) {
    if (!pDbr || (m_bHasRealDbr && !m_RealBoot.bIsFat32)) return true;
    const std::string ext = ExtensionOf(name, 16);
    if (ext.empty()) return true;
    const bool bKnown = CFileTypeJudge::GetExtendNameType(ext.c_str()) != FT_NONE;
    auto looksLike = [&](u32 c, bool& like) -> int {
        like = true;
        u64 sector = 0;
        if (!ClusterStart(*pDbr, c, sector)) return like = false, 0;
        if (!bKnown) return 0;
        unsigned int got = 0;
        int ret = m_DiskReader.ReadData(m_vecSector.data(), 1, static_cast<long long>(sector), kSector, &got);
        if (ret != 0 || got == 0) return ret != 0 ? ret : FR_SHORT_READ;
        like = m_FileTypeJudge.IsFileTypeMatching(m_vecSector.data(), kSector, ext.c_str(), &m_DiskReader, kSector,
                                                  sector) != 0;
        return 0;
    };
    // Only the real boot record's FAT can say which clusters are free.
    std::function<int(u32, bool&)> isFree;
    if (m_FatTable.IsReady() && IsRealDbr(*pDbr))
        isFree = [&](u32 c, bool& free) -> int {
            unsigned v = 1;
            const int ret = m_FatTable.GetEntry(c, v);
            free = ret == 0 && v == 0;
            return ret;
        };
    bool bChecked = false;
    // The last cluster that starts inside the partition.
    const u64 base = pDbr->u64PartitionStart + pDbr->nDataStartSector;
    const u64 maxCluster = base < PartitionEnd() ? (PartitionEnd() - 1 - base) / pDbr->nSectorsPerCluster + 2 : 1;
    ChooseFatHighWord(low, maxCluster, bKnown, looksLike, isFree, high, bChecked);
    return bChecked;
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
    _FILETIME t;
    Fat32GetFileCreateTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
    proto.u64CreateTime = FileTimeToU64(t);
    Fat32GetFileLastAccessTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
    proto.u64AccessTime = FileTimeToU64(t);
    Fat32GetFileLastChangeTime(reinterpret_cast<const FAT32_Entry*>(e), &t);
    proto.u64ModifyTime = FileTimeToU64(t);
    proto.u64FileSize = GetLe32(e + 28);
    proto.u64RecordSector = S;
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
        bool done = false;
        for (const auto& d : m_vecVirtualDbr) {
            if (!ClusterAtStart(d, s, c)) continue;
            m_UnDealContext.Dbr = d;
            m_UnDealContext.uClusterNO = c;
            m_UnDealContext.u64FirstSector = s;
            m_UnDealContext.nSectors = c == 0 ? RootAreaSectors(d) : d.nSectorsPerCluster;
            const __VIRTUAL_DBR_INFO__ rd = d;
            ParseFatFDTRecord(std::move(data), s, c, &rd, s);
            done = true;
            break;
        }
        if (done) continue;
        const ClusterContext& ctx = m_UnDealContext;
        if (ctx.IsSet() && s >= ctx.u64FirstSector && s - ctx.u64FirstSector < ctx.nSectors) {
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
            ParentKey(&rec, P, keyLow, depth);
            AddDirNode(info.FileNode, keyLow, depth);
            continue;
        }
        __VIRTUAL_DBR_INFO__ rec = need.DbrInfo;
        if (!IsVirtualDbrSet(rec) && !GetNearestVirtualDbrInfo(need.u64Sector, D, &rec)) continue;
        if (IsRootCluster(&rec, D)) continue;  // the root is key 0 and has no node
        u32 P = 0;
        if (GetParentClusterNO(&rec, D, P) != 0 || P == D) P = 0;
        u32 keyLow = 0, depth = 0;
        ParentKey(&rec, P, keyLow, depth);
        _FILE_NODE_ lost{};
        lost.wcDriveLetter = static_cast<u32>(m_wcDriveLetter);
        lost.nEngineType = m_nEngineType;
        lost.uClusterNO = D;
        snprintf(lost.szFileName, sizeof lost.szFileName, "LostFolder%u", D);
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
// clusters from the first.
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
    if (c < 2 || !m_FatTable.IsReady() || !IsRealDbr(d)) {
        if (u64Wanted) AppendExtent(extents, {start * kSector, u64Wanted, false});
        return 0;
    }
    u64 covered = 0;
    for (u64 steps = 0; covered < u64Wanted; ++steps) {
        if (!NodeClusterStart(node, spc, c, start) || start + spc > PartitionEnd()) return FR_SHORT_READ;
        const u64 bytes = std::min<u64>(bpc, u64Wanted - covered);
        AppendExtent(extents, {start * kSector, bytes, false});
        covered += bytes;
        if (covered >= u64Wanted) break;
        unsigned next = 0;
        if (steps > m_RealBoot.nClusterCount) return FR_SHORT_READ;  // a chain that loops
        if (int ret = m_FatTable.FindNext(c, next)) return ret;
        if (next == 0) return FR_SHORT_READ;
        c = next;
    }
    return 0;
}

