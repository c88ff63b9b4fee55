// The fast NTFS engine's folder tree: nodes from MFT records, parent
// references to folders, lost folders and folder depths.
#include "ntfs/FastNtfsRecovery.h"

#include "ntfs/NtfsCompressed.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ExtentReader.h"
#include "core/FileOutput.h"
#include "core/SectorUnits.h"
#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/ScanResultFileManager.h"
#include "ntfs/FastNtfsLimits.h"

using namespace ntfs_fast;

void CFastNtfsRecovery::FillNode(_FILE_NODE_& node, const NtfsRecordInfo& info, u32 uNumber, u64 u64Sector,
                                 bool bDir) const {
    node = BlankNode(m_wcDriveLetter, static_cast<u32>(m_nEngineType), bDir);
    node.uClusterNO = uNumber;
    node.nBytesPerCluster = static_cast<u32>(m_nBytesPerSector * m_nSectorsPerCluster);
    node.u64CreateTime = info.firstName.u64CreateTime;
    node.u64AccessTime = info.firstName.u64AccessTime;
    node.u64ModifyTime = info.firstName.u64ModifyTime;
    node.u64FileSize = bDir ? 0 : (info.bHasData ? info.u64DataSize : info.firstName.u64RealSize);
    node.u64DataStartSector = 0;
    node.u64RecordSector = u64Sector;
    node.u64VolumeStartSector = m_u64VolumeStart512;
    CopyNodeName(node.szFileName, sizeof node.szFileName, info.strName);
}

int CFastNtfsRecovery::StoreNode(const _FILE_NODE_& node, u32 uParent, u32 uDepth, const char* szDirName) {
    void* p = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (!p) return FR_FAILED;
    _FILE_NODE_ copy = node;
    copy.nFileIndex = m_pStore->GetFileIndex();
    std::memcpy(p, &copy, sizeof copy);
    m_pStore->AddChildren(uParent, uDepth, copy.nFileIndex, copy.uClusterNO, const_cast<char*>(szDirName));
    return 0;
}

void CFastNtfsRecovery::AddLostFolder(u32 uNumber) {
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, static_cast<u32>(m_nEngineType), true);
    node.uClusterNO = uNumber;
    node.nBytesPerCluster = kNoCluster;
    snprintf(node.szFileName, sizeof node.szFileName, "LostFolder%u", uNumber & ~NTFS_LOST_FOLDER_BIT);
    StoreNode(node, NTFS_ROOT_RECORD, 0, node.szFileName);
}

const CFastNtfsRecovery::DirCacheEntry& CFastNtfsRecovery::GetDirInfo(u32 uRecord) {
    auto it = m_mapDirCache.find(uRecord);
    if (it != m_mapDirCache.end()) return it->second;
    DirCacheEntry e;
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    NtfsRecordInfo info;
    if (GetFileRecordBuf(uRecord, rec.data()) == 0 && NtfsParseRecord(m_Parse, rec.data(), info)) {
        e.bValid = true;
        e.bIsDir = (info.hdr.nFlags & NTFS_RECORD_IS_DIR) != 0;
        e.bHasName = info.bHasName;
        e.bInUse = (info.hdr.nFlags & NTFS_RECORD_IN_USE) != 0;
        e.nSequence = info.hdr.nSequence;
        e.uParent = info.firstName.ParentRecord();
        e.u64ParentRef = info.firstName.u64ParentRef;
    }
    return m_mapDirCache.emplace(uRecord, e).first->second;
}

void CFastNtfsRecovery::NoteDirRecord(u32 uId) {
    if (m_setDirRecords.insert(uId).second) m_vecDirRecords.push_back(uId);
}

u32 CFastNtfsRecovery::ParentFolderId(u64 u64ParentRef) {
    const u32 p = static_cast<u32>(NtfsRefRecord(u64ParentRef));
    if (p == NTFS_ROOT_RECORD || (p & NTFS_LOST_FOLDER_BIT)) return p;
    const DirCacheEntry& e = GetDirInfo(p);
    if (e.bValid && e.bIsDir && e.bHasName && !NtfsParentSequenceMatches(e.nSequence, e.bInUse, u64ParentRef))
        return p | NTFS_LOST_FOLDER_BIT;  // the record now holds another folder
    return p;
}

int CFastNtfsRecovery::GetRootParentDirIndex(u32 uParent, int& nDepth, std::unordered_set<u32>& visited) {
    u32 p = uParent;
    for (;;) {
        if (p == NTFS_ROOT_RECORD) return 0;
        visited.insert(p);
        NoteDirRecord(p);
        ++nDepth;
        if (p & NTFS_LOST_FOLDER_BIT) return 0;  // a lost folder at the top
        const DirCacheEntry& e = GetDirInfo(p);
        if (!e.bValid) return -1;
        if (!e.bIsDir || !e.bHasName) return 0;
        const u32 next = ParentFolderId(e.u64ParentRef);
        if (visited.count(next)) return 0;  // the chain loops
        p = next;
    }
}

int CFastNtfsRecovery::ParseRecordInfo(unsigned char* pRecord, int nMode, u32 uNumber, u64 u64Sector) {
    const bool bDirMode = nMode == 1;
    if (GetLe32(pRecord) != NTFS_FILE_SIGNATURE) {
        if (bDirMode) AddLostFolder(uNumber);
        return -1;
    }
    const u16 flags = GetLe16(pRecord + 22);
    if (!bDirMode && (flags & (NTFS_RECORD_IN_USE | NTFS_RECORD_IS_DIR))) return 0;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, pRecord, info)) {
        // Torn or malformed: skipped in the file pass, a lost folder otherwise.
        if (bDirMode) AddLostFolder(uNumber);
        return -1;
    }
    if (bDirMode && (!(flags & NTFS_RECORD_IS_DIR) || !info.bHasName)) {
        AddLostFolder(uNumber);
        return 0;
    }
    if (!info.bHasName) return 0;
    if (uNumber < NTFS_FIRST_USER_RECORD) return 0;  // the system files

    _FILE_NODE_ node;
    FillNode(node, info, uNumber, u64Sector, bDirMode);
    // Data moved to an extension record: take its size from there.
    u64 listedSize = 0;
    if (!bDirMode && !info.bHasData && info.pAttrList && ListedDataSize(info, listedSize)) node.u64FileSize = listedSize;
    std::unordered_set<u32> visited;
    visited.insert(uNumber);
    int depth = 0;
    const u32 parent = info.firstName.ParentRecord() == uNumber ? uNumber : ParentFolderId(info.firstName.u64ParentRef);
    u32 key = parent;
    if (parent == uNumber) {
        key = NTFS_ROOT_RECORD;  // a record that names itself as its parent
    } else {
        GetRootParentDirIndex(parent, depth, visited);
    }
    if (!bDirMode) {
        // Compressed data does not start with what its type begins with.
        const NtfsDataForm form = NtfsDataFormOf(info.nDataFlags, info.bDataNonResident);
        node.bIsHealth = form == NtfsDataForm::Encrypted   ? FR_HEALTH_ENCRYPTED
                         : form == NtfsDataForm::Compressed ? 1
                                                            : static_cast<u32>(IsFileDataHealth(
                                                                  &node, static_cast<unsigned>(m_nSectorsPerCluster)));
    }
    return StoreNode(node, key, static_cast<u32>(depth), bDirMode ? node.szFileName : nullptr);
}


int CFastNtfsRecovery::ChildrenDepth(const _FILE_NODE_& dir) {
    if (dir.nBytesPerCluster == kNoCluster) return 1;  // a lost folder sits at the top
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    NtfsRecordInfo info;
    if (ReadRecordAt(dir.u64RecordSector, rec.data()) != 0 || !NtfsParseRecord(m_Parse, rec.data(), info) ||
        !info.bHasName)
        return -1;
    // The same walk that placed the directory in the scan.
    std::unordered_set<u32> visited;
    visited.insert(dir.uClusterNO);
    int depth = 0;
    u32 p = ParentFolderId(info.firstName.u64ParentRef);
    while (p != NTFS_ROOT_RECORD && p != dir.uClusterNO) {
        visited.insert(p);
        ++depth;
        if (p & NTFS_LOST_FOLDER_BIT) break;
        const DirCacheEntry& e = GetDirInfo(p);
        if (!e.bValid || !e.bIsDir || !e.bHasName) break;
        const u32 next = ParentFolderId(e.u64ParentRef);
        if (visited.count(next)) break;
        p = next;
    }
    return depth + 1;
}
