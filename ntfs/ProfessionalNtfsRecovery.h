// The deep NTFS engine: rebuilds files, names and folders from FILE records
// found anywhere on a partition, without relying on a boot sector or an
// intact $MFT.
//
// The deep-scan driver sweeps the partition and hands every sector that
// passes IsNtfsFileRecord to ParseNtfsFileRecord. From these records the
// engine learns where MFTs lie (each "$MFT" record gives one, keyed by the
// absolute sector of its record 0), learns cluster sizes from the files'
// own data attributes, works out which MFT (and so which volume) each
// record belongs to, and places each file under its parent folder by
// reading the parent's record through that MFT. After the sweep,
// ParseProfessionalRecordVec places the records that no MFT matched yet and
// turns every parent folder met into a directory node, or into a top-level
// "LostFolder<n>" when it can no longer be read as that folder.
//
// Calling order (the deep-scan driver):
//   Init(...)                       once; an intact boot sector gives the
//                                   first MFT
//   InitCallBack(...)               scan/recovery callbacks and the weight
//   InitProfessionalScan(nullptr)   a new "Pro_Ntfs_" result log (or the
//                                   name of an earlier log to reopen it)
//   ParseNtfsFileRecord(rec, s)     for each candidate sector, sweep order
//   ParseProfessionalRecordVec()    once, after the sweep
//   browsing, search, preview and extraction through IFileRecoveryParse.
//
// Sectors are 512 bytes and FILE records 1024 bytes here; every sector
// number is absolute on the device. Nodes carry the engine type 2.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "core/DiskReader.h"
#include "core/ExtentReader.h"
#include "results/NodeOutput.h"
#include "results/StoreBackedEngine.h"
#include "rules/NtfsParse.h"

class CProfessionalNtfsRecovery : public CSweepFedEngine<CStoreBackedEngine> {
public:
    static constexpr int kSectorBytes = 512;
    static constexpr int kRecordBytes = 1024;
    static constexpr int kRecordSectors = 2;

    CProfessionalNtfsRecovery();
    ~CProfessionalNtfsRecovery() override;

    // Opens the disk (or image) read-only and remembers the partition. When
    // its first sector is an intact NTFS boot sector, the MFT it names is
    // known from the start. 0, or the errno of a failed open or read.
    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    int Init(wchar_t* szPath, wchar_t wcDriveLetter) override;

    // Starts a sweep: forgets the folders met so far (not the MFTs) and opens
    // a new result log named "Pro_Ntfs_<start sector>_<date and time>", or,
    // when szLogName is given, reopens that earlier log. 0 or the store's code.
    int InitProfessionalScan(wchar_t* szLogName);
    // One candidate sector of the sweep; pRecord holds the whole 1024-byte
    // record (nAvail bytes are readable there; when fewer, the record is
    // read from the device). Directory records are ignored (0); live and
    // deleted file records are placed, a "$MFT" record registers its MFT.
    // -1 without "FILE", 87 for a torn or malformed record, else 0.
    int ParseNtfsFileRecord(const unsigned char* pRecord, unsigned long long u64Sector);
    int ParseNtfsFileRecord(const unsigned char* pRecord, size_t nAvail, unsigned long long u64Sector);
    // After the sweep: places the records that waited for their MFT, then
    // turns the parent folders met into directory nodes or lost folders.
    // 0, or the last failure (nodes made so far stay).
    int ParseProfessionalRecordVec();

    // Nodes stored so far, plus records still waiting for their MFT.
    unsigned GetLostFileCount() override;

    // Writes a file, or a folder with everything below it, under the target
    // path; never overwrites, names made safe, folders 0755. 0, an error
    // code, 30 when the runs end before the file does, or the callback's
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;
    // 1 when the file's first data still looks like its extension's type.
    int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster);

    // What the scan learnt (for the driver's log and for tests).
    struct MftInfo {
        u64 u64Key = 0;            // sector of record 0 (a guess: where record 0 would be)
        u64 u64VolumeStartSector = 0;
        u32 nSectorsPerCluster = 0;  // 0 while unknown (guesses)
        bool bGuess = false;       // contiguous MFT inferred from a record, no "$MFT" seen
        std::vector<__RUNLIST__> runs;
    };
    const std::vector<MftInfo>& GetKnownMfts() const { return m_vecMfts; }
    int GetSectorsPerCluster() const { return m_nSectorsPerCluster; }
    // Record reads spent resolving folders in the current scan.
    u64 GetFolderRecordReads() const { return m_u64DirReads; }

private:
    // One folder record as read through its MFT, resolved once per scan.
    struct DirInfo {
        bool bValid = false;     // a readable, untorn FILE record
        bool bIsDir = false;
        bool bInUse = false;
        bool bNumberOk = false;  // its own record number is the one asked for
        bool bHasName = false;
        bool bLoopStop = false;  // its parent chain closes on itself here
        u16 nSequence = 0;
        u64 u64ParentRef = 0;
        int nDepth = -1;         // folders from it up to the root, -1 until known
        u64 u64Sector = 0;
        u64 u64CreateTime = 0, u64AccessTime = 0, u64ModifyTime = 0;
        std::string strName;
    };
    struct PendingDir {
        u32 nMft;
        u32 uId;  // a record number, or a lost-folder id (kLostIdBit set)
    };

    int OpenAndLearnBootSector(const std::string& path, u64 u64Start, u64 u64Count);
    int ReadRecord(u64 u64Sector, unsigned char* pBuf);
    int RegisterMft(u64 u64Sector, const NtfsRecordInfo& info, const unsigned char* pRecord);
    int MatchMft(u32 uRecord, u64 u64Sector) const;
    u32 GuessMft(u32 uRecord, u64 u64Sector);
    bool MftRecordSector(u32 nMft, u32 uRecord, u64& u64Sector) const;
    int PlaceFile(const NtfsRecordInfo& info, const unsigned char* pRecord, u64 u64Sector, u32 nMft);
    DirInfo& GetDir(u32 nMft, u32 uRecord);
    void NoteDir(u32 nMft, u32 uId);
    bool ParentMatches(const DirInfo& d, u64 u64Ref) const;
    void ResolveParent(u32 nMft, u64 u64ParentRef, u32& uKeyId, u32& nDepth);
    int DirDepth(u32 nMft, u32 uRecord);
    int StoreNode(_FILE_NODE_& node, u32 uParent, u32 nDepth, const char* szDirName);
    u32 StoreId(u32 nMft, u32 uId);
    void AddLostFolder(u32 uId, u32 nSpc);
    void MakeFolderNode(const PendingDir& p);
    u32 ChildrenLevel(const _FILE_NODE_& dir, u32 nFallback) const;
    int NodeData(const _FILE_NODE_& node, std::vector<unsigned char>& resident, std::vector<DataExtent>& extents,
                 u64* pFirstCluster, u16* pFlags = nullptr, u64* pUnitBytes = nullptr);
    int CopyData(const _FILE_NODE_& node, u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered,
                 const ExtentProgress& progress);

    int m_nDiskNumber = -1;
    u64 m_u64VolumeStartSector = 0;
    u64 m_u64VolumeSectorCount = 0;
    wchar_t m_wcDriveLetter = L'C';
    int m_nSectorsPerCluster = 8;
    CDiskReader m_DiskReader;
    CNtfsParse m_Parse;
    CFileTypeJudge m_TypeJudge;

    std::vector<MftInfo> m_vecMfts;
    std::map<u64, u32> m_mapMftRunList;  // key sector -> index into m_vecMfts (known MFTs)
    std::map<u64, u32> m_mapGuesses;     // guessed record-0 sector -> index
    std::vector<u64> m_vecDeferred;      // sectors of records that matched no MFT yet
    std::vector<PendingDir> m_vecSpecialDirs;
    std::unordered_map<u64, DirInfo> m_mapDirs;  // (mft << 32 | id)
    std::unordered_map<u64, bool> m_mapNoted;
    std::vector<u64> m_vecVolumeStarts;  // volumes in the order their folders were met
    u64 m_u64DirReads = 0;


    // Extraction and preview: this engine's data copy, listing and folder levels.
    CNodeOutput m_Output{
        CopyThrough(this, &CProfessionalNtfsRecovery::CopyData), ChildrenLister(),
        [this](const _FILE_NODE_& dir, int nPathLevel) {
            return static_cast<int>(ChildrenLevel(dir, static_cast<u32>(std::max(nPathLevel, 1))));
        }};

protected:
    CNodeOutput* NodeOutput() override { return &m_Output; }
    u32 RootDirId() const override { return NTFS_ROOT_RECORD; }
};
