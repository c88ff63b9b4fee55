// The deep FAT engine's entry collection: sectors from the sweep, long-name
// tails, the entries of a directory run and the clusters they name.
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
    if (ctx.Holds(u64SectorNo)) {
        const __VIRTUAL_DBR_INFO__ d = ctx.Dbr;
        ParseFatFDTRecord(std::vector<unsigned char>(pSector, pSector + kSector), ctx.u64FirstSector, ctx.uClusterNO,
                          &d, u64SectorNo);
        return 0;
    }
    DoParseFileOrAddUndelFileMap(pSector, u64SectorNo);
    return 0;
}

bool CProfessionalFatRecovery::EnterClusterAt(u64 s, ClusterContext& ctx) const {
    for (const auto& d : m_vecVirtualDbr) {
        u32 c = 0;
        if (!ClusterAtStart(d, s, c)) continue;
        ctx.Dbr = d;
        ctx.uClusterNO = c;
        ctx.u64FirstSector = s;
        ctx.nSectors = c == 0 ? RootAreaSectors(d) : d.nSectorsPerCluster;
        return true;
    }
    return false;
}

void CProfessionalFatRecovery::DoParseFileOrAddUndelFileMap(const unsigned char* buf, u64 s) {
    if (!EnterClusterAt(s, m_FragmentContext)) {
        AddUnDealFileMap(buf, s);
        return;
    }
    const __VIRTUAL_DBR_INFO__ rec = m_FragmentContext.Dbr;
    ParseFatFDTRecord(std::vector<unsigned char>(buf, buf + kSector), s, m_FragmentContext.uClusterNO, &rec, s);
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
    if (pDbr) {
        u64 start = 0;
        const bool bFirst = c >= 2 && ClusterStart(*pDbr, c, start) && start == s;
        P = m_DirContinuation.Owner(c, P, bFirst, buf, len, pDbr->nSectorsPerCluster * kSector);
    }
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
        n = BlankNode(m_wcDriveLetter, m_nEngineType, true);
        n.nFileIndex = P;
        n.uClusterNO = dc;
        n.nReserved = bDeleted ? 1 : 0;  // kept here only to prefer live entries below
        SetFatEntryTimes(e, n);
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
