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

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() = default;

// ------------------------------------------------------------------ init

int CFastNtfsRecovery::InitFromBootSector(const unsigned char* boot, size_t len) {
    if (len < 512) return FR_SHORT_READ;
    int bps = GetLe16(boot + 11);
    if (bps == 0) bps = 512;
    if (m_Parse.Init(bps) != 0) return FR_INVALID;
    const unsigned v = boot[13];
    unsigned spc = 0;
    if (v >= 1 && v <= 128 && (v & (v - 1)) == 0)
        spc = v;
    else if (v >= 0xF4)  // large clusters: 2^(256 - v) bytes... stored as a negative shift of sectors
        spc = 1u << (256 - v);
    if (spc == 0 || static_cast<u64>(spc) * bps > (2u << 20)) return FR_INVALID;

    // The caller gave the volume in 512-byte sectors; keep it in volume sectors.
    if (bps != 512) {
        const u64 ratio = static_cast<u64>(bps) / 512;
        if (m_u64VolumeStartSector % ratio != 0) return FR_INVALID;
        m_u64VolumeStartSector /= ratio;
        m_u64VolumeSectorCount /= ratio;
    }
    m_nBytesPerSector = bps;
    m_nSectorsPerCluster = static_cast<int>(spc);
    m_nRecordSectors = m_Parse.nRecordSectors;
    m_nRecordSize = m_Parse.RecordSize();
    m_nReadChunkBytes = m_nRecordSize * 1024;
    m_u64ClusterCount = m_u64VolumeSectorCount / spc;
    const u64 mftCluster = GetLe64(boot + 48);
    if (m_u64ClusterCount == 0 || mftCluster >= m_u64ClusterCount) return FR_INVALID;
    m_u64MftStartSector = mftCluster * spc + m_u64VolumeStartSector;
    const u64 mirrorCluster = GetLe64(boot + 56);
    m_u64MftMirrorSector = mirrorCluster < m_u64ClusterCount ? mirrorCluster * spc + m_u64VolumeStartSector : 0;
    m_vecReadBuf.assign(static_cast<size_t>(m_nReadChunkBytes), 0);
    return 0;
}

int CFastNtfsRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                            wchar_t wcDriveLetter) {
    if (u64StartSector < 0 || u64SectorCount <= 0) return FR_INVALID;
    const std::string path = GetDiskDevicePath(nDiskNumber);
    CUniqueFd fd(OpenDeviceReadOnly(path.c_str()));
    if (!fd.valid()) return errno ? errno : ENOENT;
    if (lseek(fd.get(), static_cast<off_t>(u64StartSector) * 512, SEEK_SET) == -1) return errno ? errno : FR_FAILED;
    unsigned char boot[4096];
    unsigned got = 0;
    if (::ReadData(fd.get(), boot, sizeof boot, &got) != 0 || got < sizeof boot) return FR_SHORT_READ;
    return OpenVolume(path, boot, got, wcDriveLetter, static_cast<u64>(u64StartSector),
                      static_cast<u64>(u64SectorCount));
}

int CFastNtfsRecovery::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    ImageFile image;
    if (const int err = OpenImageFile(szPath, image)) return err;
    unsigned char boot[4096];
    unsigned got = 0;
    errno = 0;
    if (::ReadData(image.fd.get(), boot, sizeof boot, &got) != 0 || got < sizeof boot)
        return errno ? errno : FR_SHORT_READ;
    return OpenVolume(image.strPath, boot, got, wcDriveLetter, 0, static_cast<u64>(image.llBytes) / 512);
}

int CFastNtfsRecovery::OpenVolume(const std::string& path, const unsigned char* boot, unsigned got,
                                  wchar_t wcDriveLetter, u64 u64Start512, u64 u64Count512) {
    m_wcDriveLetter = wcDriveLetter;
    m_u64VolumeStart512 = u64Start512;
    m_u64VolumeStartSector = u64Start512;
    m_u64VolumeSectorCount = u64Count512;
    int rc = InitFromBootSector(boot, got);
    if (rc != 0) return rc;
    rc = m_DiskReader.Init(path.c_str(), m_u64VolumeStartSector + m_u64VolumeSectorCount);
    if (rc != 0) return rc;
    m_hDevice = m_DiskReader.GetHandle();
    LoadMftRunList();
    return 0;
}

void CFastNtfsRecovery::LoadMftRunList() {
    std::vector<__RUNLIST__> runs;
    m_nMftLoadError = GetRunListInfo(m_u64MftStartSector, NTFS_ATTR_DATA, runs);
    if (runs.empty() && m_u64MftMirrorSector) {
        // $MFT's own record is unreadable: its copy in $MFTMirr holds the same runs.
        FrLog("CFastNtfsRecovery MFT record unusable, using the mirror\n");
        m_nMftLoadError = GetRunListInfo(m_u64MftMirrorSector, NTFS_ATTR_DATA, runs);
    }
    if (runs.empty() && m_nMftLoadError == 0) m_nMftLoadError = FR_FAILED;
    if (!runs.empty()) m_nMftLoadError = 0;
    m_vecMftRunList = runs;
}

// ------------------------------------------------------------------ scan

int CFastNtfsRecovery::ScanDevice(wchar_t* szLogName) {
    m_vecDirRecords.clear();
    m_setDirRecords.clear();
    m_mapDirCache.clear();
    if (szLogName) {
        return OpenStore(szLogName);
    }
    m_pStore.reset();
    if (m_hDevice < 0) return FR_INVALID;
    if (m_vecMftRunList.empty()) {
        // Neither $MFT nor its mirror can be read: there is nothing to walk,
        // which is a failure (the deep scan takes over), not "no files".
        FrLog("CFastNtfsRecovery no usable MFT, scan failed\n");
        m_pStore.reset();
        return m_nMftLoadError ? m_nMftLoadError : FR_FAILED;
    }

    SYSTEMTIME t;
    rsb_getLocalTime(&t);
    const std::wstring name = MakeResultLogName("Fast_", m_u64VolumeStart512, t);
    int rc = OpenNewStore(name.c_str());
    if (rc != 0) return rc;

    // The MFT sweep.
    const u64 startMs = rsb_getTickCount();
    u64 lastEstimateMs = startMs;
    const u64 spc = static_cast<u64>(m_nSectorsPerCluster);
    const u64 volEnd = m_u64VolumeStartSector + m_u64VolumeSectorCount;
    struct Piece {
        u64 sector, sectors, firstRecord;
    };
    std::vector<Piece> pieces;
    u64 total = 0;
    {
        u64 s = 0;  // MFT sectors before the run
        for (const auto& e : NtfsAbsoluteRuns(m_vecMftRunList)) {
            u64 runSectors = e.clusters * spc;
            if (e.lcn >= 0 && static_cast<u64>(e.lcn) < m_u64ClusterCount) {
                u64 first = m_u64VolumeStartSector + static_cast<u64>(e.lcn) * spc;
                u64 n = std::min(runSectors, volEnd - first);
                pieces.push_back({first, n, s / static_cast<u64>(m_nRecordSectors)});
                total += n;
            }
            s += runSectors;
        }
    }
    u64 done = 0;
    int secondsLeft = -1;
    const u64 chunkSectors = static_cast<u64>(m_nReadChunkBytes / m_nBytesPerSector);
    for (const auto& p : pieces) {
        for (u64 off = 0; off < p.sectors; off += chunkSectors) {
            const u64 n = std::min(chunkSectors, p.sectors - off);
            rc = ReadFileAndParseRecordInfo(p.sector + off, static_cast<int>(n),
                                            p.firstRecord + off / static_cast<u64>(m_nRecordSectors));
            if (rc != 0) return rc;
            done += n;
            const u64 now = rsb_getTickCount();
            if (now - lastEstimateMs >= 5000 && m_nPercent == 100) {
                lastEstimateMs = now;
                const u64 e = (now - startMs) / 1000;
                if (e > 0) {
                    u64 rate = done * static_cast<u64>(m_nBytesPerSector) / e;
                    if (rate == 0) rate = 1;
                    secondsLeft = static_cast<int>((total - done) * static_cast<u64>(m_nBytesPerSector) / rate);
                }
            }
            if (m_pScanFunc) {
                const int pct = total ? static_cast<int>(done * 100 / total) : 100;
                int stop = m_pScanFunc(m_pParam, std::min(pct, 99), m_nPercent, secondsLeft, 0, 0, 0, nullptr);
                if (stop != 0) return stop;
            }
        }
    }

    // Directory pass: every ancestor met while placing files; the list grows
    // while it is walked.
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    for (size_t i = 0; i < m_vecDirRecords.size(); ++i) {
        const u32 n = m_vecDirRecords[i];
        if ((n & NTFS_LOST_FOLDER_BIT) || GetFileRecordBuf(n, rec.data()) != 0) {
            AddLostFolder(n);
            continue;
        }
        ParseRecordInfo(rec.data(), 1, n, RecordSector(n));
    }
    m_pStore->FlushBufToFile();
    if (m_pScanFunc) return m_pScanFunc(m_pParam, 100, m_nPercent, secondsLeft, 0, 0, 0, nullptr);
    return 0;
}

int CFastNtfsRecovery::ReadFileAndParseRecordInfo(u64 u64Sector, int nSectors, u64 u64FirstRecord) {
    unsigned got = 0;
    int rc = ReadVolumeSectors(m_vecReadBuf.data(), nSectors, u64Sector, &got);
    const u64 records = static_cast<u64>(nSectors) / static_cast<u64>(m_nRecordSectors);
    // A chunk that cannot be read whole is read record by record: a bad
    // sector costs the records on it, not the scan.
    std::vector<bool> bad;
    if (rc != 0) {
        bad.assign(static_cast<size_t>(records), false);
        for (u64 j = 0; j < records; ++j) {
            unsigned one = 0;
            const u64 at = j * static_cast<u64>(m_nRecordSize);
            if (ReadVolumeSectors(m_vecReadBuf.data() + at, m_nRecordSectors,
                                  u64Sector + j * static_cast<u64>(m_nRecordSectors), &one) != 0 ||
                one < static_cast<unsigned>(m_nRecordSectors)) {
                bad[static_cast<size_t>(j)] = true;
                FrLog("CFastNtfsRecovery unreadable record %llu skipped\n",
                      static_cast<unsigned long long>(u64FirstRecord + j));
            }
        }
    } else if (got < static_cast<unsigned>(nSectors)) {
        bad.assign(static_cast<size_t>(records), false);
        for (u64 j = got / static_cast<unsigned>(m_nRecordSectors); j < records; ++j) bad[static_cast<size_t>(j)] = true;
    }
    for (u64 j = 0; j < records; ++j) {
        if (!bad.empty() && bad[static_cast<size_t>(j)]) continue;
        const u64 number = u64FirstRecord + j;
        if (number > 0xFFFFFFFFull) break;
        ParseRecordInfo(m_vecReadBuf.data() + j * static_cast<u64>(m_nRecordSize), 0, static_cast<u32>(number),
                        u64Sector + j * static_cast<u64>(m_nRecordSectors));
    }
    return 0;
}

// ---------------------------------------------------------- free space

int CFastNtfsRecovery::BuildBitMapInfo() {
    if (m_hDevice < 0) return FR_INVALID;
    m_vecBitmap.clear();
    m_u64BitmapBytes = 0;
    const u64 bytes = (m_u64ClusterCount + 7) / 8;
    if (bytes == 0 || bytes > kMaxBitmapBytes) return FR_INVALID;
    u64 sector;
    if (!NtfsRecordToSector(6, m_vecMftRunList, static_cast<u64>(m_nSectorsPerCluster),
                            static_cast<u64>(m_nRecordSectors), m_u64VolumeStartSector, &sector))
        return FR_FAILED;
    std::vector<__RUNLIST__> runs;
    int rc = GetRunListInfo(sector, NTFS_ATTR_DATA, runs);
    if (rc != 0) return rc;
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    rc = ReadRecordAt(sector, rec.data());
    if (rc != 0) return rc;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, rec.data(), info) || !info.bHasData || !info.bDataNonResident) return FR_INVALID;
    const u64 want = std::min(info.u64DataSize, bytes);

    // Unread space stays zero: it counts as free and is swept.
    std::vector<unsigned char> bitmap(static_cast<size_t>(bytes), 0);
    const u64 bpc = static_cast<u64>(m_nBytesPerSector) * m_nSectorsPerCluster;
    std::vector<unsigned char> piece(kTransferBytes);
    u64 pos = 0;
    for (const auto& e : NtfsAbsoluteRuns(runs)) {
        if (pos >= want) break;
        if (e.lcn == -1) {
            pos += std::min(e.clusters * bpc, want - pos);
            continue;
        }
        if (e.lcn < 0 || static_cast<u64>(e.lcn) >= m_u64ClusterCount) return FR_INVALID;
        const u64 runBytes = std::min(e.clusters * bpc, (want - pos + bpc - 1) / bpc * bpc);
        for (u64 off = 0; off < runBytes && pos < want; off += kTransferBytes) {
            const u64 n = std::min<u64>(kTransferBytes, runBytes - off);
            unsigned got = 0;
            rc = m_DiskReader.ReadData(piece.data(), static_cast<int>(n / m_nBytesPerSector),
                                       static_cast<long long>(m_u64VolumeStartSector + static_cast<u64>(e.lcn) *
                                                                  m_nSectorsPerCluster + off / m_nBytesPerSector),
                                       m_nBytesPerSector, &got);
            if (rc != 0) return rc;
            const u64 use = std::min(n, want - pos);
            std::memcpy(bitmap.data() + pos, piece.data(), static_cast<size_t>(use));
            pos += use;
        }
    }
    m_vecBitmap = std::move(bitmap);
    m_u64BitmapBytes = want;
    return 0;
}

// The deep scan counts in 512-byte sectors; the bitmap in the volume's own.
int CFastNtfsRecovery::GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) {
    const u64 perSector = static_cast<u64>(m_nBytesPerSector) / 512;
    return QueryIn512ByteSectors(static_cast<u64>(m_nBytesPerSector), m_u64VolumeSectorCount * perSector, u64Sector,
                                 u64Count, [this](u64& s, u64& c) { return GetUnUsedVolumeSectors(s, c); });
}

int CFastNtfsRecovery::GetUnUsedVolumeSectors(u64& u64Sector, u64& u64Count) {
    u64Count = 0;
    if (u64Sector > m_u64VolumeSectorCount) {
        u64Sector = m_u64VolumeSectorCount;
        return 1;
    }
    const u64 spc = static_cast<u64>(m_nSectorsPerCluster);
    if (spc == 0 || m_vecBitmap.empty()) return 1;
    const u64 nClusters = std::min<u64>(m_u64ClusterCount, static_cast<u64>(m_vecBitmap.size()) * 8);
    const u64 c = u64Sector / spc;
    if (c >= nClusters) return 1;
    const unsigned char* bm = m_vecBitmap.data();
    auto used = [bm](u64 i) { return (bm[i >> 3] >> (i & 7)) & 1; };
    u64 f = c;
    while (f < nClusters) {
        if ((f & 7) == 0 && f + 8 <= nClusters && bm[f >> 3] == 0xFF) {
            f += 8;
            continue;
        }
        if (!used(f)) break;
        ++f;
    }
    if (f >= nClusters) return 1;  // nothing free after it
    u64 g = f;
    while (g < nClusters) {
        if ((g & 7) == 0 && g + 8 <= nClusters && bm[g >> 3] == 0x00) {
            g += 8;
            continue;
        }
        if (used(g)) break;
        ++g;
    }
    u64Sector += (f - c) * spc;
    u64Count = (g - f) * spc;
    if (u64Sector + u64Count > m_u64VolumeSectorCount)
        u64Count = u64Sector < m_u64VolumeSectorCount ? m_u64VolumeSectorCount - u64Sector : 0;
    return 1;
}

// ----------------------------------------------------------- extraction

int CFastNtfsRecovery::GetAttr0x80Data(long long recordSector, unsigned char* buf, unsigned int& len) {
    if (!buf || recordSector < 0) return kResidentNotFound;
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    if (ReadRecordAt(static_cast<u64>(recordSector), rec.data()) != 0) return kResidentNotFound;
    NtfsRecordInfo info;
    if (!NtfsParseRecord(m_Parse, rec.data(), info)) return kResidentNotFound;
    if (!info.bHasData || info.bDataNonResident || !info.pResident) return kResidentNotFound;
    if (info.nResidentLength > len || info.nResidentLength >= static_cast<u32>(m_nRecordSize)) return FR_INVALID;
    std::memcpy(buf, info.pResident, info.nResidentLength);
    len = info.nResidentLength;
    return 0;
}

int CFastNtfsRecovery::DataExtents(const _FILE_NODE_& node, std::vector<DataExtent>& extents) {
    extents.clear();
    std::vector<__RUNLIST__> runs;
    int rc = GetRunListInfo(node.u64RecordSector, NTFS_ATTR_DATA, runs);
    if (rc != 0) return rc;
    u32 bpc = node.nBytesPerCluster;
    if (bpc == 0 || bpc == kNoCluster || bpc % static_cast<u32>(m_nBytesPerSector) != 0)
        bpc = static_cast<u32>(m_nBytesPerSector * m_nSectorsPerCluster);
    if (node.u64VolumeStartSector > UINT64_MAX / 512) return FR_INVALID;
    return NtfsDataExtents(runs, bpc, node.u64VolumeStartSector * 512, extents);
}

int CFastNtfsRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) {
    // Resident data lives inside the record: no extents.
    static_assert(kAttrAbsent == NTFS_NO_EXTENTS);
    return NtfsNodeExtents(node, u64Wanted, extents, [&] { return DataExtents(node, extents); });
}

int CFastNtfsRecovery::CopyData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf,
                                u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    std::vector<unsigned char> res(static_cast<size_t>(m_nRecordSize));
    unsigned len = static_cast<unsigned>(res.size());
    int rc = GetAttr0x80Data(static_cast<long long>(node.u64RecordSector), res.data(), len);
    if (rc == 0) return CNodeOutput::CopyFromMemory(res.data(), len, u64Wanted, fd, pBuf, u64Delivered, progress);
    if (rc != kResidentNotFound) return rc;
    std::vector<DataExtent> extents;
    rc = DataExtents(node, extents);
    if (rc != 0) return rc;
    std::vector<unsigned char> rec(static_cast<size_t>(m_nRecordSize));
    NtfsRecordInfo info;
    if (ReadRecordAt(node.u64RecordSector, rec.data()) == 0 && NtfsParseRecord(m_Parse, rec.data(), info)) {
        switch (NtfsDataFormOf(info.nDataFlags, info.bDataNonResident)) {
            case NtfsDataForm::Encrypted: return ENOTSUP;  // never handed out as if it were the file
            case NtfsDataForm::Compressed: {
                u64 bpc = node.nBytesPerCluster;
                if (bpc == 0 || bpc == kNoCluster) bpc = static_cast<u64>(m_nBytesPerSector) * m_nSectorsPerCluster;
                if (info.nCompressionUnit > 8) return FR_INVALID;
                CExtentReader reader(m_DiskReader, m_nBytesPerSector);
                return CopyCompressedData(reader, extents, bpc << info.nCompressionUnit, u64Wanted, fd, pBuf,
                                          u64Delivered, progress);
            }
            case NtfsDataForm::Plain: break;
        }
    }
    return CNodeOutput::CopyFromExtents(m_DiskReader, m_nBytesPerSector, extents, u64Wanted, fd, pBuf, u64Delivered,
                                        progress);
}

// ---------------------------------------------------------------- health

int CFastNtfsRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int /*uSectorsPerCluster*/) {
    if (!pNode) return 1;
    // A file larger than the volume it was found on cannot be whole.
    if (pNode->u64FileSize / 512 > m_u64VolumeSectorCount) return 0;
    const std::string ext = ExtensionOf(pNode->szFileName, kMaxExtensionBytes);
    std::vector<unsigned char> res(static_cast<size_t>(m_nRecordSize));
    unsigned len = static_cast<unsigned>(res.size());
    int rc = GetAttr0x80Data(static_cast<long long>(pNode->u64RecordSector), res.data(), len);
    if (rc == 0) {
        if (len == 0) return 0;
        if (ext.empty()) return 1;
        return m_TypeJudge.IsFileTypeMatching(res.data(), static_cast<int>(len), ext.c_str(), &m_DiskReader,
                                             m_nBytesPerSector, 0) ? 1 : 0;
    }
    if (rc != kResidentNotFound || ext.empty()) return 1;
    std::vector<__RUNLIST__> runs;
    if (GetRunListInfo(pNode->u64RecordSector, NTFS_ATTR_DATA, runs) != 0 || runs.empty()) return 1;
    if (runs[0].i64ClusterOffset <= 0) return 1;
    u32 bpc = pNode->nBytesPerCluster;
    if (bpc == 0 || bpc == kNoCluster) bpc = static_cast<u32>(m_nBytesPerSector * m_nSectorsPerCluster);
    const u64 sector = static_cast<u64>(runs[0].i64ClusterOffset) * bpc / static_cast<u64>(m_nBytesPerSector) +
                       pNode->u64VolumeStartSector * 512 / static_cast<u64>(m_nBytesPerSector);
    if (sector == 0) return 1;
    std::vector<unsigned char> sec(static_cast<size_t>(m_nBytesPerSector));
    unsigned got = 0;
    if (m_DiskReader.ReadData(sec.data(), 1, static_cast<long long>(sector), m_nBytesPerSector, &got) != 0 || got == 0)
        return 1;
    return m_TypeJudge.IsFileTypeMatching(sec.data(), static_cast<int>(sec.size()), ext.c_str(), &m_DiskReader,
                                         m_nBytesPerSector, sector)
               ? 1
               : 0;
}
