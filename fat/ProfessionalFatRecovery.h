// The deep FAT engine: rebuilds FAT directory trees from directory sectors
// found anywhere on a partition, even when the boot record, the FATs or the
// directory chains are gone.
//
// The deep-scan driver owns the sweep and calls, in this order:
//   Init(...)                     once, on the disk or image
//   ClearProfessionalVec(name)    at the start of every scan (new result log)
//   InitVirtualDbrInfo()          learns the real boot record, if intact
//   ParseFatFileRecord(s, n)      for each sector passing IsFatFileRecord
//   ParseFDTFileRecord(s, n)      for each other sector passing IsFatFDTRecord
//                                 (both in ascending sector order)
//   DealProfessionalRecordVec()   once after the sweep: finishes the tree
// and afterwards routes tree queries, searches, previews and extraction of
// nodes whose nEngineType is 3 to this engine. Sector numbers given to the
// parse calls are absolute 512-byte sectors of the disk.
//
// Cluster geometry is held as "virtual boot records": (sectors per cluster,
// data-area start) pairs learnt from the real boot record or worked out from
// two directory starts whose "." entries name their own clusters. Every
// file entry found (deleted or not) becomes a node; directories hang under
// their parents through their ".." entries; directories known only as
// ancestors of found files become "LostFolder<cluster>" folders. The root
// directory is always the store key 0, so the top level lists it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "fat/FatDirContinuation.h"
#include "fat/FatPictureJoin.h"
#include "core/DiskReader.h"
#include "fat/FatDeepRecords.h"
#include "rules/FatRules.h"
#include "rules/FatVolume.h"
#include "results/NodeOutput.h"
#include "results/VolumeEngine.h"

// The deep-scan driver runs the sweep: ScanDevice, GetUnUsedSectorCount and
// BuildBitMapInfo do nothing.
class CProfessionalFatRecovery : public CSweepFedEngine<CVolumeEngine> {
public:
    CProfessionalFatRecovery();
    ~CProfessionalFatRecovery() override;

    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;

    // --- The deep scan, driven sector by sector (see the top of this file).

    // Starts a scan: forgets everything collected and opens a new result
    // log "Pro_Fat_<start>_<local date and time>" (an empty or null name),
    // or reopens the earlier log szLogName. 0 or the store's code.
    int ClearProfessionalVec(wchar_t* szLogName);
    // Learns the real boot record when the partition's first sector is an
    // intact FAT boot record. 0, or the code of the failed read.
    int InitVirtualDbrInfo();
    // A directory's first sector ("." and ".." entries); always 0.
    int ParseFatFileRecord(unsigned char* pSector, unsigned long long u64SectorNo);
    // A run of directory entries that is not a directory's start; always 0.
    int ParseFDTFileRecord(unsigned char* pSector, unsigned long long u64SectorNo);
    // After the sweep: kept sectors, folders, lost folders, leftover files.
    int DealProfessionalRecordVec();

    // 1 when the file's first sector still looks like its type (or cannot be checked).
    int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster);

    const std::vector<__VIRTUAL_DBR_INFO__>& GetVirtualDbrVec() const { return m_vecVirtualDbr; }
    bool HasRealDbr() const { return m_bHasRealDbr != 0; }
    CScanResultFileManager* GetResultManager() { return m_pStore.get(); }

private:
    // What the first bytes of a sector say about a directory there.
    struct DirHead {
        bool bRead = false;     // the sector could be read
        bool bLabel = false;    // first entry is exactly a volume label
        bool bDotPair = false;  // "." (blank) and ".." directory entries
        u32 uDot = 0;
        u32 uDotDot = 0;
    };
    // A cluster context of the fragment parse.
    struct ClusterContext {
        __VIRTUAL_DBR_INFO__ Dbr{};
        u32 uClusterNO = 0;
        u64 u64FirstSector = 0;
        u32 nSectors = 0;       // sectors of the cluster (of the root area for cluster 0)
        bool IsSet() const { return Dbr.nSectorsPerCluster != 0; }
        bool Holds(u64 s) const { return IsSet() && s >= u64FirstSector && s - u64FirstSector < nSectors; }
    };
    // Points ctx at the cluster (or root area) that starts at sector s under
    // the first virtual boot record with one there; false when none has.
    bool EnterClusterAt(u64 s, ClusterContext& ctx) const;

    int OnOpened() override;
    void ResetCollections();
    u64 PartitionEnd() const { return m_u64PartitionStart + m_u64SectorCount; }
    u32 RootAreaSectors(const __VIRTUAL_DBR_INFO__& d) const;
    bool IsRealDbr(const __VIRTUAL_DBR_INFO__& d) const;
    void NameFromParent(const __VIRTUAL_DBR_INFO__& d, u32 P, u32 D, _FILE_NODE_& node);
    // Absolute first sector of cluster c under d; false outside the partition.
    bool ClusterStart(const __VIRTUAL_DBR_INFO__& d, u32 c, u64& sector) const;
    // The cluster whose first sector is s under d (0 for the root area).
    bool ClusterAtStart(const __VIRTUAL_DBR_INFO__& d, u64 s, u32& c) const;
    // The cluster that holds s under d, and its first sector.
    bool ClusterHolding(const __VIRTUAL_DBR_INFO__& d, u64 s, u32& c, u64& first) const;
    u32 EntryCluster(const unsigned char* e) const;
    const DirHead& ReadHead(u64 u64Sector);
    bool ClusterHead(const __VIRTUAL_DBR_INFO__* d, u32 c, DirHead& head);
    bool IsRootCluster(const __VIRTUAL_DBR_INFO__* d, u32 c);

    // Virtual boot records and the selection rules.
    int CalcVirtualDbr(unsigned c1, unsigned long long s1, unsigned c2, unsigned long long s2);
    void AddObservation(u32 c, u64 s);
    int GetVirtualDbrInfo(unsigned long long s, unsigned c, __VIRTUAL_DBR_INFO__* out) const;
    int GetNearestVirtualDbrInfo(unsigned long long s, unsigned c, __VIRTUAL_DBR_INFO__* out) const;
    int GetBestVirtalDbr(unsigned long long s, __VIRTUAL_DBR_INFO__* out) const;

    // Parsing.
    // s and c: the sector associated with the buffer and its directory's
    // cluster; u64LastSector: where the buffer's last 512 bytes lie.
    void ParseFatFDTRecord(std::vector<unsigned char> buf, u64 s, u32 c, const __VIRTUAL_DBR_INFO__* pDbr,
                           u64 u64LastSector);
    void DealWithTails(std::vector<unsigned char> buf, u64 s, u32 c, const __VIRTUAL_DBR_INFO__* pDbr,
                       u64 u64LastSector);
    bool ContinuesTail(const __LONG_FILE_INFO__& t, const unsigned char* e0, u64 sector) const;
    void DealProfessionalFatFileEntry(const unsigned char* buf, int len, u64 s, u32 c, __LONG_FILE_INFO__* pTail,
                                      const __VIRTUAL_DBR_INFO__* pDbr);
    void GetParentClusterNO(const unsigned char* buf, int len, u64& S, const __VIRTUAL_DBR_INFO__* pDbr, u32& P);
    int GetParentClusterNO(const __VIRTUAL_DBR_INFO__* pDbr, u32 D, u32& parent);
    bool GetParentDirCluster(const unsigned char* buf, u64 sector, std::vector<unsigned char>& joined, u64& S,
                             u32& c, __VIRTUAL_DBR_INFO__& dbr);
    void DoParseFileOrAddUndelFileMap(const unsigned char* buf, u64 s);
    void AddUnDealFileMap(const unsigned char* buf, u64 s);
    void ParseUnDealFileMap();
    void UpdateNoDbrFileVec();
    int GetRootParentDirIndex(const __VIRTUAL_DBR_INFO__* pDbr, u32 D, int& depth);
    bool IsLoopHead(const __VIRTUAL_DBR_INFO__* pDbr, u32 D);
    // Store key halves for files and folders under directory P.
    void ParentKey(const __VIRTUAL_DBR_INFO__* pDbr, u32 P, u32& keyLow, u32& depth);
    void GetDirRealHighClusterNO(u16 low, u16& high, const __VIRTUAL_DBR_INFO__* pDbr);
    // false when the choice could not be confirmed (the node is then not healthy).
    bool GetFileRealHighClusterNO(u16 low, u16& high, const char* name, const __VIRTUAL_DBR_INFO__* pDbr);
    void RecordFile(const unsigned char* e, const std::string& name, u64 S, u32 P, u32 c,
                    const __VIRTUAL_DBR_INFO__* pDbr);
    void AttachFile(const _FILE_NODE_& proto, u32 P, const __VIRTUAL_DBR_INFO__& dbr);
    void RegisterAncestors(u32 P, const __VIRTUAL_DBR_INFO__* pDbr, u64 S, u32 c);
    void AddDirNode(const _FILE_NODE_& proto, u32 keyLow, u32 depth);
    void AttachUnreachable();

    bool NodeClusterStart(const _FILE_NODE_& node, u32 spc, u32 c, u64& sector) const;
    // The cluster after c where a node's data goes on: along the FAT on the
    // volume of the real boot record, else the following one; 0 at the end.
    u32 NextDataCluster(const _FILE_NODE_& node, u32 c);
    // After the sweep: the deleted pictures recorded, checked whole or
    // looked for in two pieces (see FatPictureJoin.h), later ones first.
    void CheckDeletedPictures();

    std::vector<__VIRTUAL_DBR_INFO__> m_vecVirtualDbr;
    std::vector<__FAT_SECTOR_OFFSET__> m_vecSectorOffset;
    std::vector<__NO_DBR_FILE_NODE__> m_vecNoDbrFile;
    std::vector<__LONG_FILE_INFO__> m_vecLongFileInfo;
    std::map<u64, __UNDEAL_FILE__> m_mapUnDealFile;
    std::map<u32, __PRO_DIR_INFO__> m_mapProDirInfo;
    CFatDirContinuation m_DirContinuation;  // later clusters of deleted folders
    std::map<u32, __PRO_NEED_ADD_DIR_INFO__> m_mapNeedAddDir;
    u32 m_nEngineType = ENGINE_DEEP_FAT;
    u32 m_bHasRealDbr = 0;
    bool m_bRealDbrChecked = false;  // InitVirtualDbrInfo ran for this scan
    FatBootInfo m_RealBoot;          // valid while m_bHasRealDbr
    CFatTable m_FatTable;            // the real boot record's FAT, when there is one
    u32 m_uRealRootSectors = 32;     // FAT12/16 root area of the real boot record, 512-byte sectors
    ClusterContext m_UnDealContext;
    ClusterContext m_FragmentContext;
    CFileTypeJudge m_FileTypeJudge;
    u32 m_uRootClusterNO = 2;
    u32 m_uSyntheticDir = 0;         // numbering of holder folders made for unreachable ones
    std::unordered_map<u64, DirHead> m_mapHeadCache;  // first entries of sectors read by the lookups
    std::vector<std::pair<u64, u64>> m_vecDirEdges;  // (parent key, folder key) of every folder node
    std::map<u32, _FILE_NODE_> m_mapUnattachedDir;   // folders seen whose parent no record fits
    size_t m_nNoDbrCheckedRecords = 0;
    size_t m_nNoDbrCheckedFiles = 0;
    std::vector<unsigned char> m_vecSector;
    // Deleted files by volume (start, data start, cluster bytes), and the
    // deleted pictures to check: (volume, first cluster, node).
    using VolumeKey = std::tuple<u64, u64, u32>;
    std::map<VolumeKey, FatClaims> m_mapDeletedClaims;
    std::vector<std::tuple<VolumeKey, u32, u32>> m_vecPictureChecks;

};
