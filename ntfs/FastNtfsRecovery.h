// The fast NTFS engine: reads the whole MFT in large sequential chunks,
// keeps every record that is neither in use nor a directory and still
// carries a file name, rebuilds the directory tree above those files from
// their parent references, and extracts and previews their data.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/DiskReader.h"
#include "core/ExtentReader.h"
#include "carving/FileTypeJudge.h"
#include "results/NodeOutput.h"
#include "results/StoreBackedEngine.h"
#include "rules/NtfsParse.h"

class CFastNtfsRecovery : public CStoreBackedEngine {
public:
    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;

    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    int Init(wchar_t* szPath, wchar_t wcDriveLetter) override;
    int ScanDevice(wchar_t* szLogName) override;
    int GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) override;
    int BuildBitMapInfo() override;
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;

    // Resident unnamed data of the record at an absolute sector. len is in:
    // the buffer's capacity, out: the data length. 0; -101 when the data is
    // not resident or the record cannot be used; 87 when it would not fit.
    int GetAttr0x80Data(long long recordSector, unsigned char* buf, unsigned int& len);
    // 1 when the file's first data still looks like its extension's type.
    int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster);
    // Runs of the record's attribute of a type (the unnamed one for data),
    // following an attribute list. 0; errno or -100 for a failed read; -1
    // without "FILE"; -100 when the attribute is absent.
    int GetRunListInfo(u64 u64RecordSector, u32 uType, std::vector<__RUNLIST__>& runs);
    // Reads one FILE record by number (raw, not fixed up); 0 or an error code.
    int GetFileRecordBuf(u32 uRecordNumber, unsigned char* pBuf);
    // Absolute sector of a record number (the volume start when not mapped).
    u64 RecordSector(u64 uRecordNumber) const;

    const std::vector<__RUNLIST__>& GetMftRunList() const { return m_vecMftRunList; }
    int GetBytesPerSector() const { return m_nBytesPerSector; }
    int GetSectorsPerCluster() const { return m_nSectorsPerCluster; }
    // In the volume's own sectors (GetBytesPerSector() bytes each).
    u64 GetVolumeSectorCount() const { return m_u64VolumeSectorCount; }
    u64 GetClusterCount() const { return m_u64ClusterCount; }

protected:
    CNodeOutput* NodeOutput() override { return &m_Output; }
    u32 RootDirId() const override { return NTFS_ROOT_RECORD; }
    // MFT and record reads go through here (a seam for tests that make
    // parts of a device unreadable). As CDiskReader::ReadData.
    virtual int ReadVolumeSectors(unsigned char* pBuf, int nSectors, u64 u64Sector, unsigned* pSectorsRead);

private:
    struct DirCacheEntry {
        bool bValid = false;  // a usable FILE record
        bool bIsDir = false;
        bool bInUse = false;
        bool bHasName = false;
        u16 nSequence = 0;
        u32 uParent = 0;
        u64 u64ParentRef = 0;  // with its sequence number
    };

    void LoadMftRunList();
    int GetUnUsedVolumeSectors(u64& u64Sector, u64& u64Count);
    int InitFromBootSector(const unsigned char* boot, size_t len);
    // The rest of both Init slots once the boot sector is read: the volume's
    // place (512-byte sectors), its geometry, the reader and the MFT's runs.
    int OpenVolume(const std::string& path, const unsigned char* boot, unsigned got, wchar_t wcDriveLetter,
                   u64 u64Start512, u64 u64Count512);
    int ReadRecordAt(u64 u64Sector, unsigned char* pBuf);
    int ReadFileAndParseRecordInfo(u64 u64Sector, int nSectors, u64 u64FirstRecord);
    int ParseRecordInfo(unsigned char* pRecord, int nMode, u32 uNumber, u64 u64Sector);
    int GetRootParentDirIndex(u32 uParent, int& nDepth, std::unordered_set<u32>& visited);
    // The folder a parent reference stands for: the record number, or a
    // lost folder's identifier when the record now holds another folder.
    u32 ParentFolderId(u64 u64ParentRef);
    void NoteDirRecord(u32 uId);
    const DirCacheEntry& GetDirInfo(u32 uRecord);
    void AddLostFolder(u32 uNumber);
    void FillNode(_FILE_NODE_& node, const NtfsRecordInfo& info, u32 uNumber, u64 u64Sector, bool bDir) const;
    int StoreNode(const _FILE_NODE_& node, u32 uParent, u32 uDepth, const char* szDirName);
    int ReadAttrList(const NtfsRecordInfo& info, std::vector<NtfsAttrListEntry>& entries);
    bool ListedDataSize(const NtfsRecordInfo& info, u64& u64Size);
    int CollectAttrListRuns(const NtfsRecordInfo& info, u32 uSelf, u32 uType, const unsigned char* pRecord,
                            std::vector<__RUNLIST__>& runs);
    int FindAttrRuns(const unsigned char* pRecord, u32 uType, u64 u64StartVcn, std::vector<__RUNLIST__>& runs,
                     bool bAnyVcn);
    // The extents of a file's unnamed data along its runs.
    int DataExtents(const _FILE_NODE_& node, std::vector<DataExtent>& extents);
    // Copies the first u64Wanted bytes of a file's data (resident or along
    // its runs) to fd (when >= 0) or into pBuf. 0, an error code, the
    // progress stop value, or 30 when the data ends first.
    int CopyData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered,
                        const ExtentProgress& progress);
    int ChildrenDepth(const _FILE_NODE_& dir);

    int m_hDevice = -1;
    u64 m_u64VolumeStartSector = 0;  // in volume sectors
    u64 m_u64VolumeStart512 = 0;     // the same in 512-byte sectors, as nodes carry it
    u64 m_u64VolumeSectorCount = 0;
    u64 m_u64MftStartSector = 0;
    u64 m_u64MftMirrorSector = 0;  // record 0 of $MFTMirr, 0 when unknown
    wchar_t m_wcDriveLetter = L'C';
    int m_nBytesPerSector = 512;
    int m_nRecordSize = 1024;
    int m_nRecordSectors = 2;
    int m_nSectorsPerCluster = 0;
    int m_nReadChunkBytes = 0;
    std::vector<unsigned char> m_vecReadBuf;
    u64 m_u64BitmapBytes = 0;
    std::vector<unsigned char> m_vecBitmap;
    int m_nEngineType = ENGINE_FAST_NTFS;
    std::vector<__RUNLIST__> m_vecMftRunList;
    int m_nMftLoadError = 0;  // why the MFT's run list could not be loaded
    std::vector<u32> m_vecDirRecords;
    std::unordered_set<u32> m_setDirRecords;
    std::unordered_map<u32, DirCacheEntry> m_mapDirCache;
    CDiskReader m_DiskReader;
    CNtfsParse m_Parse;
    CFileTypeJudge m_TypeJudge;
    u64 m_u64ClusterCount = 0;
    // Extraction and preview: this engine's data copy, listing and folder depth.
    CNodeOutput m_Output{
        CopyThrough(this, &CFastNtfsRecovery::CopyData), ChildrenLister(),
        [this](const _FILE_NODE_& dir, int nPathLevel) {
            const int d = ChildrenDepth(dir);
            return d < 0 ? nPathLevel : d;
        }};
};
