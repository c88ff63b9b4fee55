#include "ntfs/ProfessionalNtfsRecovery.h"

#include "ntfs/NtfsCompressed.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "core/BootSector.h"
#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/ScanResultFileManager.h"

namespace {

constexpr int kAttrAbsent = -100;
constexpr u32 kLostIdBit = NTFS_LOST_FOLDER_BIT;
constexpr u32 kVolumeIdUnit = 1u << 24;
constexpr size_t kMaxVolumeOrdinal = 128;
constexpr u64 kExtendRecord = 11;
constexpr u64 kNoMapping = UINT64_MAX;  // key of the MFT of records that fit no MFT at all

bool NameIs(const NtfsRecordInfo& info, const char* name) {
    return info.bHasName && strcasecmp(info.strName.c_str(), name) == 0;
}

// Cluster size in sectors that a record's first data attribute implies:
// allocated size / 512 / clusters in its runs. 0 when it tells nothing.
u32 ClusterSizeFromRecord(const CNtfsParse& parse, const unsigned char* rec, const NtfsRecordHeader& hdr) {
    CNtfsAttrWalk walk(rec, hdr, hdr.nBytesInUse);
    NtfsAttr a;
    while (walk.Next(a)) {
        if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST) return 0;
        if (a.nType != NTFS_ATTR_DATA) continue;
        if (!a.bNonResident || GetLe64(a.p + 16) != 0) return 0;
        std::vector<__RUNLIST__> runs;
        parse.GetRunList(a.p, a.nLength, runs);
        u64 clusters = 0;
        for (const auto& r : runs) clusters += r.u64ClusterCount;
        const u64 alloc = GetLe64(a.p + 40);
        if (clusters == 0 || clusters > (1ull << 40) || alloc % (clusters * 512) != 0) return 0;
        const u64 spc = alloc / 512 / clusters;
        if (spc == 0 || spc > 4096 || (spc & (spc - 1)) != 0) return 0;
        return static_cast<u32>(spc);
    }
    return 0;
}

constexpr size_t kMaxExtensionBytes = 16;

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() { m_Parse.Init(kSectorBytes); }

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() = default;

// ------------------------------------------------------------------ init

int CProfessionalNtfsRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                                    wchar_t wcDriveLetter) {
    if (u64StartSector < 0 || u64SectorCount <= 0) return FR_INVALID;
    m_nDiskNumber = nDiskNumber;
    m_wcDriveLetter = wcDriveLetter;
    return OpenAndLearnBootSector(GetDiskDevicePath(nDiskNumber), static_cast<u64>(u64StartSector),
                                  static_cast<u64>(u64SectorCount));
}

int CProfessionalNtfsRecovery::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    ImageFile image;
    if (const int err = OpenImageFile(szPath, image)) return err;
    m_wcDriveLetter = wcDriveLetter;
    return OpenAndLearnBootSector(image.strPath, 0, static_cast<u64>(image.llBytes) / kSectorBytes);
}

int CProfessionalNtfsRecovery::OpenAndLearnBootSector(const std::string& path, u64 u64Start, u64 u64Count) {
    m_u64VolumeStartSector = u64Start;
    m_u64VolumeSectorCount = u64Count;
    m_nSectorsPerCluster = static_cast<int>(GetDefaultNtfsSectorPerCluster(u64Count, kSectorBytes));
    m_vecMfts.clear();
    m_mapMftRunList.clear();
    m_mapGuesses.clear();
    if (path.empty()) return ENOENT;
    int rc = m_DiskReader.Init(path.c_str(), u64Start + u64Count);
    if (rc != 0) return rc;
    unsigned char boot[4096];
    unsigned got = 0;
    errno = 0;
    rc = m_DiskReader.ReadData(boot, 8, static_cast<long long>(u64Start), kSectorBytes, &got);
    if (rc != 0) return errno ? errno : rc;
    if (!IsNtfs(boot)) return 0;
    const unsigned bps = GetLe16(boot + 11);
    const unsigned spc = boot[13];
    if ((bps != 0 && bps != 512) || spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return 0;
    const u64 mftLcn = GetLe64(boot + 48);
    if (mftLcn >= u64Count / spc) return 0;
    const u64 key = u64Start + mftLcn * spc;
    unsigned char rec[kRecordBytes];
    NtfsRecordInfo info;
    if (ReadRecord(key, rec) != 0 || !NtfsParseRecord(m_Parse, rec, info) || info.dataRuns.empty() ||
        info.dataRuns[0].i64ClusterOffset != static_cast<i64>(mftLcn))
        return 0;
    MftInfo m;
    m.u64Key = key;
    m.u64VolumeStartSector = u64Start;
    m.nSectorsPerCluster = spc;
    m.runs = info.dataRuns;
    m_mapMftRunList[key] = static_cast<u32>(m_vecMfts.size());
    m_vecMfts.push_back(std::move(m));
    return 0;
}

int CProfessionalNtfsRecovery::InitProfessionalScan(wchar_t* szLogName) {
    m_vecSpecialDirs.clear();
    m_mapDirs.clear();
    m_mapNoted.clear();
    m_vecDeferred.clear();
    m_mapGuesses.clear();
    m_u64DirReads = 0;
    m_vecVolumeStarts.clear();
    m_pStore.reset();
    if (szLogName && szLogName[0]) {
        return OpenStore(szLogName);
    }
    SYSTEMTIME t;
    rsb_getLocalTime(&t);
    return OpenNewStore(MakeResultLogName("Pro_Ntfs_", m_u64VolumeStartSector, t).c_str());
}

// ------------------------------------------------------------ MFT matching

int CProfessionalNtfsRecovery::ReadRecord(u64 u64Sector, unsigned char* pBuf) {
    unsigned got = 0;
    if (u64Sector > static_cast<u64>(INT64_MAX)) return FR_INVALID;
    int rc = m_DiskReader.ReadData(pBuf, kRecordSectors, static_cast<long long>(u64Sector), kSectorBytes, &got);
    if (rc != 0) return rc;
    return got < static_cast<unsigned>(kRecordSectors) ? FR_SHORT_READ : 0;
}

int CProfessionalNtfsRecovery::RegisterMft(u64 u64Sector, const NtfsRecordInfo& info, const unsigned char* pRecord) {
    if (info.dataRuns.empty() || info.dataRuns[0].i64ClusterOffset <= 0) return 0;
    u32 spc = ClusterSizeFromRecord(m_Parse, pRecord, info.hdr);
    if (spc == 0) spc = static_cast<u32>(m_nSectorsPerCluster);
    const u64 mftLcn = static_cast<u64>(info.dataRuns[0].i64ClusterOffset);
    if (mftLcn > UINT64_MAX / spc) return 0;
    u64 key = u64Sector;
    std::vector<__RUNLIST__> runs = info.dataRuns;

    // $MFTMirr holds a copy of this record. Record 1 names the mirror's
    // place: if this copy sits where the mirror would be and an "$MFT"
    // record sits where the MFT would then be, this is the mirror, and the
    // MFT it describes is the one to register.
    unsigned char rec[kRecordBytes];
    NtfsRecordInfo mirr;
    if (ReadRecord(u64Sector + kRecordSectors, rec) == 0 && NtfsParseRecord(m_Parse, rec, mirr) &&
        mirr.hdr.nRecordNumber == 1 && NameIs(mirr, "$MFTMirr") && !mirr.dataRuns.empty() &&
        mirr.dataRuns[0].i64ClusterOffset > 0) {
        const u64 mirrLcn = static_cast<u64>(mirr.dataRuns[0].i64ClusterOffset);
        if (mirrLcn != mftLcn && mirrLcn <= UINT64_MAX / spc && u64Sector >= mirrLcn * spc) {
            const u64 real = u64Sector - mirrLcn * spc + mftLcn * spc;
            NtfsRecordInfo other;
            if (ReadRecord(real, rec) == 0 && NtfsParseRecord(m_Parse, rec, other) && other.hdr.nRecordNumber == 0 &&
                NameIs(other, "$MFT") && !other.dataRuns.empty() &&
                other.dataRuns[0].i64ClusterOffset == static_cast<i64>(mftLcn)) {
                key = real;
                runs = other.dataRuns;
            }
        }
    }
    if (key < mftLcn * spc) return 0;  // the volume would start before the disk
    MftInfo m;
    m.u64Key = key;
    m.u64VolumeStartSector = key - mftLcn * spc;
    m.nSectorsPerCluster = spc;
    m.runs = std::move(runs);
    auto it = m_mapMftRunList.find(key);
    if (it != m_mapMftRunList.end()) {
        m_vecMfts[it->second] = std::move(m);
    } else {
        m_mapMftRunList[key] = static_cast<u32>(m_vecMfts.size());
        m_vecMfts.push_back(std::move(m));
    }
    return 0;
}

bool CProfessionalNtfsRecovery::MftRecordSector(u32 nMft, u32 uRecord, u64& u64Sector) const {
    const MftInfo& m = m_vecMfts[nMft];
    if (m.bGuess) {
        if (m.u64Key == kNoMapping) return false;
        u64Sector = m.u64Key + static_cast<u64>(uRecord) * kRecordSectors;
        return u64Sector >= m.u64Key;
    }
    return NtfsRecordToSector(uRecord, m.runs, m.nSectorsPerCluster, kRecordSectors, m.u64VolumeStartSector,
                              &u64Sector);
}

int CProfessionalNtfsRecovery::MatchMft(u32 uRecord, u64 u64Sector) const {
    // The MFT whose mapping puts this record number exactly here. When
    // several do, the one whose volume starts at or before the record and
    // nearest to it.
    int best = -1;
    for (const auto& [key, idx] : m_mapMftRunList) {
        u64 s;
        if (!MftRecordSector(idx, uRecord, s) || s != u64Sector) continue;
        const u64 vs = m_vecMfts[idx].u64VolumeStartSector;
        if (best < 0) {
            best = static_cast<int>(idx);
            continue;
        }
        const u64 bvs = m_vecMfts[static_cast<u32>(best)].u64VolumeStartSector;
        const bool ok = vs <= u64Sector, bok = bvs <= u64Sector;
        if ((ok && !bok) || (ok == bok && ok && vs > bvs)) best = static_cast<int>(idx);
    }
    return best;
}

u32 CProfessionalNtfsRecovery::GuessMft(u32 uRecord, u64 u64Sector) {
    // No MFT known for it: take its MFT to be contiguous, with record 0
    // where the record number puts it.
    const u64 t = static_cast<u64>(uRecord) * kRecordSectors;
    const u64 key = u64Sector >= t ? u64Sector - t : kNoMapping;
    auto it = m_mapGuesses.find(key);
    if (it != m_mapGuesses.end()) return it->second;
    MftInfo m;
    m.u64Key = key;
    m.u64VolumeStartSector = m_u64VolumeStartSector;
    m.bGuess = true;
    const u32 idx = static_cast<u32>(m_vecMfts.size());
    m_vecMfts.push_back(std::move(m));
    m_mapGuesses[key] = idx;
    return idx;
}

// ---------------------------------------------------------------- records

int CProfessionalNtfsRecovery::ParseNtfsFileRecord(const unsigned char* pRecord, unsigned long long u64Sector) {
    return ParseNtfsFileRecord(pRecord, kRecordBytes, u64Sector);
}

int CProfessionalNtfsRecovery::ParseNtfsFileRecord(const unsigned char* pRecord, size_t nAvail,
                                                   unsigned long long u64Sector) {
    if (!m_pStore || !pRecord) return FR_INVALID;
    unsigned char rec[kRecordBytes];
    if (nAvail >= static_cast<size_t>(kRecordBytes)) {
        std::memcpy(rec, pRecord, kRecordBytes);
    } else {
        int rc = ReadRecord(u64Sector, rec);
        if (rc != 0) return rc;
    }
    if (GetLe32(rec) != NTFS_FILE_SIGNATURE) return -1;
    if (GetLe16(rec + 22) & NTFS_RECORD_IS_DIR) return 0;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, rec, info)) return FR_INVALID;  // torn or malformed
    const u32 n = info.hdr.nRecordNumber;
    if (n == 0) return NameIs(info, "$MFT") ? RegisterMft(u64Sector, info, rec) : 0;
    if (n < NTFS_FIRST_USER_RECORD || n >= kLostIdBit || !info.bHasName) return 0;
    // The file system's own files below $Extend ($Quota, $ObjId, ...).
    if (NtfsRefRecord(info.firstName.u64ParentRef) == kExtendRecord) return 0;
    const int mft = MatchMft(n, u64Sector);
    if (mft < 0) {
        // Its MFT may still turn up later in the sweep.
        m_vecDeferred.push_back(u64Sector);
        return 0;
    }
    return PlaceFile(info, rec, u64Sector, static_cast<u32>(mft));
}

int CProfessionalNtfsRecovery::PlaceFile(const NtfsRecordInfo& info, const unsigned char* pRecord, u64 u64Sector,
                                         u32 nMft) {
    const u32 learnt = ClusterSizeFromRecord(m_Parse, pRecord, info.hdr);
    if (learnt) m_nSectorsPerCluster = static_cast<int>(learnt);
    MftInfo& m = m_vecMfts[nMft];
    u32 spc = m.nSectorsPerCluster;
    if (m.bGuess && learnt) spc = m.nSectorsPerCluster = learnt;
    if (spc == 0) spc = static_cast<u32>(m_nSectorsPerCluster);

    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_DEEP_NTFS, false);
    node.uClusterNO = info.hdr.nRecordNumber;
    node.nBytesPerCluster = kSectorBytes * spc;
    node.u64CreateTime = info.firstName.u64CreateTime;
    node.u64AccessTime = info.firstName.u64AccessTime;
    node.u64ModifyTime = info.firstName.u64ModifyTime;
    node.u64FileSize = info.bHasData ? info.u64DataSize : info.firstName.u64RealSize;
    node.u64RecordSector = u64Sector;
    node.u64VolumeStartSector = m.u64VolumeStartSector;
    CopyNodeName(node.szFileName, sizeof node.szFileName, info.strName);

    u32 keyId = NTFS_ROOT_RECORD, depth = 0;
    if (NtfsRefRecord(info.firstName.u64ParentRef) != info.hdr.nRecordNumber)
        ResolveParent(nMft, info.firstName.u64ParentRef, keyId, depth);
    // Compressed data does not start with what its type begins with.
    const NtfsDataForm form = NtfsDataFormOf(info.nDataFlags, info.bDataNonResident);
    node.bIsHealth = form == NtfsDataForm::Encrypted   ? FR_HEALTH_ENCRYPTED
                     : form == NtfsDataForm::Compressed ? 1
                                                        : static_cast<u32>(IsFileDataHealth(&node, spc));
    return StoreNode(node, StoreId(nMft, keyId), depth, nullptr);
}

int CProfessionalNtfsRecovery::StoreNode(_FILE_NODE_& node, u32 uParent, u32 nDepth, const char* szDirName) {
    _FILE_NODE_* p = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!p) return FR_FAILED;
    node.nFileIndex = m_pStore->GetFileIndex();
    std::memcpy(p, &node, sizeof node);
    m_pStore->AddChildren(uParent, nDepth, node.nFileIndex, node.uClusterNO, szDirName);
    return 0;
}

// ------------------------------------------------------------ parent chains

CProfessionalNtfsRecovery::DirInfo& CProfessionalNtfsRecovery::GetDir(u32 nMft, u32 uRecord) {
    const u64 key = (static_cast<u64>(nMft) << 32) | uRecord;
    auto it = m_mapDirs.find(key);
    if (it != m_mapDirs.end()) return it->second;
    DirInfo d;
    unsigned char rec[kRecordBytes];
    NtfsRecordInfo info;
    u64 sector;
    if (MftRecordSector(nMft, uRecord, sector)) {
        ++m_u64DirReads;
        d.u64Sector = sector;
        if (ReadRecord(sector, rec) == 0 && NtfsParseRecord(m_Parse, rec, info)) {
            d.bValid = true;
            d.bIsDir = (info.hdr.nFlags & NTFS_RECORD_IS_DIR) != 0;
            d.bInUse = (info.hdr.nFlags & NTFS_RECORD_IN_USE) != 0;
            d.bNumberOk = info.hdr.nRecordNumber == uRecord;
            d.bHasName = info.bHasName;
            d.nSequence = info.hdr.nSequence;
            d.u64ParentRef = info.firstName.u64ParentRef;
            d.u64CreateTime = info.firstName.u64CreateTime;
            d.u64AccessTime = info.firstName.u64AccessTime;
            d.u64ModifyTime = info.firstName.u64ModifyTime;
            d.strName = info.strName;
        }
    }
    return m_mapDirs.emplace(key, std::move(d)).first->second;
}

void CProfessionalNtfsRecovery::NoteDir(u32 nMft, u32 uId) {
    if (m_mapNoted.emplace((static_cast<u64>(nMft) << 32) | uId, true).second) m_vecSpecialDirs.push_back({nMft, uId});
}

bool CProfessionalNtfsRecovery::ParentMatches(const DirInfo& d, u64 u64Ref) const {
    return NtfsParentSequenceMatches(d.nSequence, d.bInUse, u64Ref);
}

namespace {
bool UsableFolder(bool valid, bool dir, bool numberOk, bool named) { return valid && dir && numberOk && named; }
}  // namespace

void CProfessionalNtfsRecovery::ResolveParent(u32 nMft, u64 u64ParentRef, u32& uKeyId, u32& nDepth) {
    const u64 p = NtfsRefRecord(u64ParentRef);
    uKeyId = NTFS_ROOT_RECORD;
    nDepth = 0;
    if (p == NTFS_ROOT_RECORD || p >= kLostIdBit) return;
    const u32 id = static_cast<u32>(p);
    const DirInfo& d = GetDir(nMft, id);
    if (UsableFolder(d.bValid, d.bIsDir, d.bNumberOk, d.bHasName) && !ParentMatches(d, u64ParentRef)) {
        uKeyId = id | kLostIdBit;
        nDepth = 1;
        NoteDir(nMft, uKeyId);
        return;
    }
    uKeyId = id;
    nDepth = static_cast<u32>(DirDepth(nMft, id));
}

int CProfessionalNtfsRecovery::DirDepth(u32 nMft, u32 uRecord) {
    // Walks up from the folder until the root, a folder resolved before, a
    // record that is no usable folder, or a loop; then gives every folder on
    // the way its depth, so each folder is read once per scan.
    std::vector<u32> path;
    std::unordered_set<u32> onPath;
    int base = 0;
    u32 cur = uRecord;
    for (;;) {
        DirInfo& d = GetDir(nMft, cur);
        if (d.nDepth >= 0) {
            base = d.nDepth;
            break;
        }
        NoteDir(nMft, cur);
        path.push_back(cur);
        onPath.insert(cur);
        if (!UsableFolder(d.bValid, d.bIsDir, d.bNumberOk, d.bHasName)) break;
        const u64 g = NtfsRefRecord(d.u64ParentRef);
        if (g == NTFS_ROOT_RECORD || g >= kLostIdBit) break;
        if (onPath.count(static_cast<u32>(g))) {
            d.bLoopStop = true;  // becomes a lost folder at the top
            break;
        }
        const u64 ref = d.u64ParentRef;
        const DirInfo& gd = GetDir(nMft, static_cast<u32>(g));
        if (UsableFolder(gd.bValid, gd.bIsDir, gd.bNumberOk, gd.bHasName) && !ParentMatches(gd, ref)) {
            NoteDir(nMft, static_cast<u32>(g) | kLostIdBit);
            base = 1;
            break;
        }
        cur = static_cast<u32>(g);
    }
    for (size_t i = path.size(); i-- > 0;) GetDir(nMft, path[i]).nDepth = base + static_cast<int>(path.size() - i);
    return GetDir(nMft, uRecord).nDepth;
}

u32 CProfessionalNtfsRecovery::StoreId(u32 nMft, u32 uId) {
    // Folders of the first volume met keep their record numbers; those of
    // further volumes (a whole disk, an older file system under a newer
    // one) carry the volume's ordinal in bits 24 to 30, so that equal
    // record numbers of two volumes do not share a folder. The root stays
    // one for all.
    const u32 rec = uId & ~kLostIdBit;
    if (rec == NTFS_ROOT_RECORD || rec >= kVolumeIdUnit) return uId;
    const u64 vs = m_vecMfts[nMft].u64VolumeStartSector;
    auto it = std::find(m_vecVolumeStarts.begin(), m_vecVolumeStarts.end(), vs);
    size_t ord = static_cast<size_t>(it - m_vecVolumeStarts.begin());
    if (it == m_vecVolumeStarts.end()) m_vecVolumeStarts.push_back(vs);
    if (ord == 0 || ord >= kMaxVolumeOrdinal) return uId;
    return (uId & kLostIdBit) | static_cast<u32>(ord) * kVolumeIdUnit | rec;
}

void CProfessionalNtfsRecovery::AddLostFolder(u32 uId, u32 nSpc) {
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_DEEP_NTFS, true);
    node.uClusterNO = uId;
    node.nBytesPerCluster = kSectorBytes * nSpc;
    snprintf(node.szFileName, sizeof node.szFileName, "LostFolder%u", uId & ~kLostIdBit & (kVolumeIdUnit - 1));
    StoreNode(node, NTFS_ROOT_RECORD, 0, node.szFileName);
}

void CProfessionalNtfsRecovery::MakeFolderNode(const PendingDir& p) {
    const MftInfo& m = m_vecMfts[p.nMft];
    const u32 spc = m.nSectorsPerCluster ? m.nSectorsPerCluster : static_cast<u32>(m_nSectorsPerCluster);
    if (p.uId & kLostIdBit) return AddLostFolder(StoreId(p.nMft, p.uId), spc);
    const DirInfo d = GetDir(p.nMft, p.uId);
    if (!UsableFolder(d.bValid, d.bIsDir, d.bNumberOk, d.bHasName) || d.bLoopStop)
        return AddLostFolder(StoreId(p.nMft, p.uId), spc);
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_DEEP_NTFS, true);
    node.uClusterNO = StoreId(p.nMft, p.uId);
    node.nBytesPerCluster = kSectorBytes * spc;
    node.u64CreateTime = d.u64CreateTime;
    node.u64AccessTime = d.u64AccessTime;
    node.u64ModifyTime = d.u64ModifyTime;
    node.u64RecordSector = d.u64Sector;
    node.u64VolumeStartSector = m.u64VolumeStartSector;
    CopyNodeName(node.szFileName, sizeof node.szFileName, d.strName);
    u32 keyId = NTFS_ROOT_RECORD, depth = 0;
    if (NtfsRefRecord(d.u64ParentRef) != p.uId) ResolveParent(p.nMft, d.u64ParentRef, keyId, depth);
    StoreNode(node, StoreId(p.nMft, keyId), depth, node.szFileName);
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordVec() {
    if (!m_pStore) return FR_INVALID;
    int result = 0;
    unsigned skipped = 0;
    // Records that came before their MFT in the sweep: every MFT the sweep
    // met is known now; what still matches none is taken to sit in a
    // contiguous MFT.
    std::vector<u64> deferred;
    deferred.swap(m_vecDeferred);
    unsigned char rec[kRecordBytes];
    for (const u64 sector : deferred) {
        NtfsRecordInfo info;
        int rc = ReadRecord(sector, rec);
        if (rc != 0) {
            result = rc;
            continue;
        }
        if (!NtfsParseRecord(m_Parse, rec, info)) {
            ++skipped;
            continue;
        }
        const u32 n = info.hdr.nRecordNumber;
        int mft = MatchMft(n, sector);
        if (mft < 0) mft = static_cast<int>(GuessMft(n, sector));
        rc = PlaceFile(info, rec, sector, static_cast<u32>(mft));
        if (rc != 0) result = rc;
    }
    if (skipped) FrLog("CProfessionalNtfsRecovery skipped %u unusable records\n", skipped);
    // Every folder met on the way up, in the order first met; the list
    // grows while folders' own parents are resolved.
    for (size_t i = 0; i < m_vecSpecialDirs.size(); ++i) MakeFolderNode(PendingDir(m_vecSpecialDirs[i]));
    int rc = m_pStore->FlushBufToFile();
    if (rc != 0) result = rc;
    return result;
}

// ---------------------------------------------------------------- queries

unsigned CProfessionalNtfsRecovery::GetLostFileCount() {
    return CStoreBackedEngine::GetLostFileCount() + static_cast<unsigned>(m_vecDeferred.size());
}

// ------------------------------------------------------------- file data

int CProfessionalNtfsRecovery::NodeData(const _FILE_NODE_& node, std::vector<unsigned char>& resident,
                                        std::vector<DataExtent>& extents, u64* pFirstCluster, u16* pFlags,
                                        u64* pUnitBytes) {
    // 1 with resident data, 0 with extents, else a failure code. The
    // record is the one found by the sweep; attribute lists are not
    // followed. Clusters count from the volume start the scan worked out.
    unsigned char rec[kRecordBytes];
    int rc = ReadRecord(node.u64RecordSector, rec);
    if (rc != 0) return rc;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, rec, info)) return FR_FAILED;
    if (!info.bHasData) return kAttrAbsent;
    if (pFlags) *pFlags = info.nDataFlags;
    if (pUnitBytes)
        *pUnitBytes = info.nCompressionUnit > 8 ? 0 : static_cast<u64>(node.nBytesPerCluster) << info.nCompressionUnit;
    if (!info.bDataNonResident) {
        resident.assign(info.pResident, info.pResident + info.nResidentLength);
        return 1;
    }
    if (pFirstCluster)
        *pFirstCluster = info.dataRuns.empty() || info.dataRuns[0].i64ClusterOffset <= 0
                             ? 0
                             : static_cast<u64>(info.dataRuns[0].i64ClusterOffset);
    const u64 bpc = node.nBytesPerCluster;
    if (bpc == 0 || bpc % kSectorBytes != 0 || node.u64VolumeStartSector > UINT64_MAX / kSectorBytes)
        return FR_INVALID;
    return NtfsDataExtents(info.dataRuns, bpc, node.u64VolumeStartSector * kSectorBytes, extents);
}

int CProfessionalNtfsRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted,
                                              std::vector<DataExtent>& extents) {
    return NtfsNodeExtents(node, u64Wanted, extents, [&] {
        std::vector<unsigned char> resident;
        const int rc = NodeData(node, resident, extents, nullptr);
        return rc == 1 || rc == kAttrAbsent ? NTFS_NO_EXTENTS : rc;
    });
}

int CProfessionalNtfsRecovery::CopyData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf,
                                        u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    std::vector<unsigned char> resident;
    std::vector<DataExtent> extents;
    u16 flags = 0;
    u64 unitBytes = 0;
    const int rc = NodeData(node, resident, extents, nullptr, &flags, &unitBytes);
    const NtfsDataForm form = NtfsDataFormOf(flags, rc == 0);
    if (form == NtfsDataForm::Encrypted) return ENOTSUP;  // never handed out as if it were the file
    if (rc == 1)
        return CNodeOutput::CopyFromMemory(resident.data(), resident.size(), u64Wanted, fd, pBuf, u64Delivered, progress);
    if (rc != 0) return rc;
    if (form == NtfsDataForm::Compressed) {
        CExtentReader reader(m_DiskReader, kSectorBytes);
        return CopyCompressedData(reader, extents, unitBytes, u64Wanted, fd, pBuf, u64Delivered, progress);
    }
    return CNodeOutput::CopyFromExtents(m_DiskReader, kSectorBytes, extents, u64Wanted, fd, pBuf, u64Delivered, progress);
}

u32 CProfessionalNtfsRecovery::ChildrenLevel(const _FILE_NODE_& dir, u32 nFallback) const {
    // The store knows under which depth the folder's children were filed.
    const u32 id = dir.uClusterNO ? dir.uClusterNO : NTFS_ROOT_RECORD;
    u32 level = nFallback;
    int found = 0;
    if (!m_pStore) return nFallback;
    for (const auto& [key, children] : m_pStore->GetRelationMap()) {
        if (static_cast<u32>(key) != id) continue;
        level = static_cast<u32>(key >> 32);
        ++found;
    }
    return found == 1 ? level : nFallback;
}

// ----------------------------------------------------------------- health

int CProfessionalNtfsRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int /*uSectorsPerCluster*/) {
    if (!pNode) return 1;
    std::vector<unsigned char> resident;
    std::vector<DataExtent> extents;
    u64 firstCluster = 0;
    const int rc = NodeData(*pNode, resident, extents, &firstCluster);
    const std::string ext = ExtensionOf(pNode->szFileName, kMaxExtensionBytes);
    if (rc == 1) {
        if (resident.empty()) return 0;
        if (ext.empty()) return 1;
        return m_TypeJudge.IsFileTypeMatching(resident.data(), static_cast<int>(resident.size()), ext.c_str(),
                                             &m_DiskReader, kSectorBytes, 0) ? 1 : 0;
    }
    // The first data sector: where the first run begins.
    if (rc != 0 || ext.empty() || firstCluster == 0 || extents.empty() || extents[0].bSparse) return 1;
    const u64 sector = extents[0].u64Offset / kSectorBytes;
    unsigned char sec[kSectorBytes];
    unsigned got = 0;
    if (sector == 0 || m_DiskReader.ReadData(sec, 1, static_cast<long long>(sector), kSectorBytes, &got) != 0 || got == 0)
        return 1;
    return m_TypeJudge.IsFileTypeMatching(sec, kSectorBytes, ext.c_str(), &m_DiskReader, kSectorBytes, sector) ? 1 : 0;
}
