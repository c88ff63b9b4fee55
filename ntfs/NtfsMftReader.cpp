// The fast NTFS engine's MFT reader: record numbers to sectors, record reads,
// and attribute runs (through attribute lists).
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

// --------------------------------------------------------- record access

u64 CFastNtfsRecovery::RecordSector(u64 uRecordNumber) const {
    u64 sector = m_u64VolumeStartSector;
    NtfsRecordToSector(uRecordNumber, m_vecMftRunList, static_cast<u64>(m_nSectorsPerCluster),
                       static_cast<u64>(m_nRecordSectors), m_u64VolumeStartSector, &sector);
    return sector;
}

int CFastNtfsRecovery::ReadVolumeSectors(unsigned char* pBuf, int nSectors, u64 u64Sector, unsigned* pSectorsRead) {
    if (u64Sector > static_cast<u64>(INT64_MAX)) return FR_INVALID;
    return m_DiskReader.ReadData(pBuf, nSectors, static_cast<long long>(u64Sector), m_nBytesPerSector, pSectorsRead);
}

int CFastNtfsRecovery::ReadRecordAt(u64 u64Sector, unsigned char* pBuf) {
    if (m_hDevice < 0) return FR_INVALID;
    unsigned got = 0;
    int rc = ReadVolumeSectors(pBuf, m_nRecordSectors, u64Sector, &got);
    if (rc != 0) return rc;
    return got < static_cast<unsigned>(m_nRecordSectors) ? FR_SHORT_READ : 0;
}

int CFastNtfsRecovery::GetFileRecordBuf(u32 uRecordNumber, unsigned char* pBuf) {
    u64 sector = m_u64VolumeStartSector;
    if (!NtfsRecordToSector(uRecordNumber, m_vecMftRunList, static_cast<u64>(m_nSectorsPerCluster),
                            static_cast<u64>(m_nRecordSectors), m_u64VolumeStartSector, &sector)) {
        // Not covered by the MFT: the volume start holds no "FILE".
        std::memset(pBuf, 0, static_cast<size_t>(m_nRecordSize));
        return 0;
    }
    return ReadRecordAt(sector, pBuf);
}

int CFastNtfsRecovery::FindAttrRuns(const unsigned char* pRecord, u32 uType, u64 u64StartVcn,
                                    std::vector<__RUNLIST__>& runs, bool bAnyVcn) {
    NtfsRecordHeader hdr;
    if (!NtfsReadRecordHeader(pRecord, static_cast<size_t>(m_nRecordSize), hdr)) return -1;
    CNtfsAttrWalk walk(pRecord, hdr, hdr.nBytesInUse);
    NtfsAttr a;
    while (walk.Next(a)) {
        if (a.nType != uType || !a.bNonResident) continue;
        if (uType == NTFS_ATTR_DATA && a.nNameLength != 0) continue;
        if (!bAnyVcn && GetLe64(a.p + 16) != u64StartVcn) continue;
        m_Parse.GetRunList(a.p, a.nLength, runs);
        return 0;
    }
    return kAttrAbsent;
}

int CFastNtfsRecovery::ReadAttrList(const NtfsRecordInfo& info, std::vector<NtfsAttrListEntry>& entries) {
    // The list's value: resident inside the record, or in clusters of its own.
    std::vector<unsigned char> listBytes;
    NtfsAttr la;
    la.p = info.pAttrList;
    la.nLength = info.nAttrListLength;
    la.nType = NTFS_ATTR_ATTRIBUTE_LIST;
    la.bNonResident = info.pAttrList[8] != 0;
    if (!la.bNonResident) {
        const unsigned char* v;
        u32 vlen;
        if (!NtfsResidentValue(la, &v, &vlen)) return kAttrAbsent;
        listBytes.assign(v, v + vlen);
    } else {
        u64 size = 0;
        if (!NtfsNonResidentSize(la, &size)) return kAttrAbsent;
        size = std::min(size, kMaxAttrListBytes);
        std::vector<__RUNLIST__> lruns;
        m_Parse.GetRunList(la.p, la.nLength, lruns);
        const u64 bpc = static_cast<u64>(m_nBytesPerSector) * m_nSectorsPerCluster;
        for (const auto& e : NtfsAbsoluteRuns(lruns)) {
            if (listBytes.size() >= size) break;
            if (e.lcn < 0 || e.clusters > size / bpc + 1) return kAttrAbsent;
            const size_t at = listBytes.size();
            const size_t bytes = static_cast<size_t>(e.clusters * bpc);
            listBytes.resize(at + bytes);
            unsigned got = 0;
            int rc = m_DiskReader.ReadData(listBytes.data() + at, static_cast<int>(bytes / m_nBytesPerSector),
                                           static_cast<long long>(m_u64VolumeStartSector +
                                                                  static_cast<u64>(e.lcn) * m_nSectorsPerCluster),
                                           m_nBytesPerSector, &got);
            if (rc != 0) return rc;
        }
        if (listBytes.size() > size) listBytes.resize(static_cast<size_t>(size));
    }
    NtfsParseAttrList(listBytes.data(), listBytes.size(), entries);
    return 0;
}

int CFastNtfsRecovery::CollectAttrListRuns(const NtfsRecordInfo& info, u32 uSelf, u32 uType,
                                           const unsigned char* pRecord, std::vector<__RUNLIST__>& runs) {
    std::vector<NtfsAttrListEntry> entries;
    int rc = ReadAttrList(info, entries);
    if (rc != 0) return rc;
    std::unordered_set<u64> seen;  // (record, start VCN) pairs already taken
    std::vector<unsigned char> ext(static_cast<size_t>(m_nRecordSize));
    bool found = false;
    for (const auto& e : entries) {
        if (e.nType != uType) continue;
        if (uType == NTFS_ATTR_DATA && e.nNameLength != 0) continue;
        if (!seen.insert(e.u64RecordNumber * 0x9E3779B97F4A7C15ull ^ e.u64StartVcn).second) continue;
        std::vector<__RUNLIST__> extent;
        if (e.u64RecordNumber == uSelf) {
            rc = FindAttrRuns(pRecord, uType, e.u64StartVcn, extent, false);
        } else {
            if (e.u64RecordNumber > 0xFFFFFFFFull) continue;
            rc = GetFileRecordBuf(static_cast<u32>(e.u64RecordNumber), ext.data());
            if (rc != 0) return rc;
            if (m_Parse.FileRecordFixUp(ext.data()) != 0) continue;
            rc = FindAttrRuns(ext.data(), uType, e.u64StartVcn, extent, false);
        }
        if (rc != 0) continue;
        NtfsAppendExtentRuns(runs, extent);
        found = true;
    }
    return found ? 0 : kAttrAbsent;
}

bool CFastNtfsRecovery::ListedDataSize(const NtfsRecordInfo& info, u64& u64Size) {
    std::vector<NtfsAttrListEntry> entries;
    if (ReadAttrList(info, entries) != 0) return false;
    std::vector<unsigned char> ext(static_cast<size_t>(m_nRecordSize));
    for (const auto& e : entries) {
        if (e.nType != NTFS_ATTR_DATA || e.nNameLength != 0 || e.u64StartVcn != 0) continue;
        if (e.u64RecordNumber > 0xFFFFFFFFull || e.u64RecordNumber == info.hdr.nRecordNumber) return false;
        NtfsRecordInfo x;
        if (GetFileRecordBuf(static_cast<u32>(e.u64RecordNumber), ext.data()) != 0 ||
            !NtfsParseRecord(m_Parse, ext.data(), x) || !x.bHasData)
            return false;
        u64Size = x.u64DataSize;
        return true;
    }
    return false;
}

int CFastNtfsRecovery::GetRunListInfo(u64 u64RecordSector, u32 uType, std::vector<__RUNLIST__>& runs) {
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    errno = 0;
    int rc = ReadRecordAt(u64RecordSector, rec.data());
    if (rc != 0) return rc;
    if (GetLe32(rec.data()) != NTFS_FILE_SIGNATURE) return -1;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, rec.data(), info)) return -1;
    // With an attribute list the attribute may be split over several
    // records: gather every extent in order.
    if (info.pAttrList) {
        std::vector<__RUNLIST__> all;
        rc = CollectAttrListRuns(info, info.hdr.nRecordNumber, uType, rec.data(), all);
        if (rc == 0) {
            runs.insert(runs.end(), all.begin(), all.end());
            return 0;
        }
    }
    return FindAttrRuns(rec.data(), uType, 0, runs, true);
}
