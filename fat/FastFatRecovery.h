// The fast FAT engine: walks the directory tree of a FAT12/16/32 volume
// breadth-first from the root and records every deleted file, every file
// below a deleted directory and the directories on the way to them. It also
// reads files and whole directories back out along their cluster chains,
// previews files, and reports the volume's unallocated stretches from a
// free-cluster bitmap.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "fat/FatPictureJoin.h"
#include "core/DiskReader.h"
#include "core/ExtentReader.h"
#include "rules/FatRules.h"
#include "rules/FatVolume.h"
#include "results/NodeOutput.h"
#include "results/VolumeEngine.h"

class CFastFatRecovery : public CVolumeEngine {
public:
    CFastFatRecovery();
    ~CFastFatRecovery() override;

    // Interface slots.
    int ScanDevice(wchar_t* szLogName) override;
    // Sectors here are 512-byte sectors relative to the volume start.
    int GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) override;
    int BuildBitMapInfo() override;
    // The extents along the node's cluster chain. 0 when they cover the
    // bytes wanted; otherwise what stopped the chain (30 when it ends first),
    // with the extents up to there.
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;

    // 1 for FAT32, 0 otherwise (the argument is not used).
    int GetDeviceFileSystemType(char* = nullptr) const { return m_bIsFat32; }
    const FatBootInfo& GetBootInfo() const { return m_Boot; }
    // Raw FAT entry of a cluster (FAT12 and FAT16 entries widened, FAT32
    // entries cut to 28 bits). 87 for a cluster outside the FAT.
    int GetNextClusterNO(unsigned uCluster, unsigned& uNext);
    // The chain step for file data: the next cluster, or 0 at the end of the
    // chain; a free entry continues in the following cluster when that one
    // is free too (how deleted files are read back).
    int FindNextClusterNO(unsigned uCluster, unsigned& uNext);
    // 1 when the first sector of the file still looks like its type.
    int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int uSectorsPerCluster);
    // The deleted pictures recorded by the scan, checked whole over the
    // free clusters from their first one or looked for in two pieces (see
    // FatPictureJoin.h); later ones first, so that what they hold is known
    // when the earlier ones are looked for. Sets their layouts and health.
    void CheckDeletedPictures();
    // Depth of a directory below the root (0 for the root itself),
    // remembered per directory for the rest of the scan.
    int GetDirDepth(unsigned uCluster, int& nDepth);
    CScanResultFileManager* GetResultManager() { return m_pStore.get(); }

    static constexpr u32 kFatCacheBytes = CFatTable::kWindowBytes;
    static constexpr u32 kMaxClusterBytes = FAT_MAX_CLUSTER_BYTES;
    static constexpr int kRecoveryFailedDirCode = CNodeOutput::kBadClusterCode;

protected:
    u32 RootDirId() const override { return m_uRootClusterNO; }

private:
    int OnOpened() override;
    // Absolute sector (in volume sector units) of a cluster.
    u64 ClusterToSector(u32 c) const;
    u64 VolumeStartInSectors(u64 u64VolumeStart512) const;
    int GetUnUsedVolumeSectors(u64& u64Sector, u64& u64Count);
    int InitDirInfo(unsigned uCluster);
    void ParseDirEntries(const unsigned char* buf, int len, u64 u64StartSector, bool bMarked, u32& P,
                         CFatLongName& lfn, bool& bEnded);
    void RecordFile(const unsigned char* e, const std::string& name, u64 u64Sector, u32 P);
    int GetDirRealHighClusterNO(unsigned short low, unsigned short& high);
    // bChecked: false when the choice could not be confirmed (the node is then not healthy).
    int GetFileRealHighClusterNO(unsigned short low, unsigned short& high, const char* name, bool& bChecked);
    // The ".." walk behind GetDirDepth, without its memory.
    int WalkDirDepth(unsigned uCluster, int& nDepth, std::set<unsigned>& visited);

    u64 m_u64VolumeSectors = 0;    // volume length in its own sector size
    u64 m_u64VolumeStart = 0;      // volume start in its own sector size
    bool m_bReady = false;
    unsigned char m_byBootSector[4096] = {};
    FatBootInfo m_Boot;
    u32 m_uDataStartSector = 0;
    u32 m_uSectorsPerCluster = 0;
    u32 m_uRootClusterNO = 0;
    u32 m_bIsFat32 = 1;
    u32 m_nBitMapBytes = 0;
    std::vector<u8> m_vecBitMap;
    CFatTable m_FatTable;
    u32 m_nEngineType = ENGINE_FAST_FAT;
    std::deque<u32> m_DirQueue;
    std::map<u32, _FILE_NODE_> m_mapDirInfo;
    std::vector<u32> m_vecLostDirCluster;
    std::set<u32> m_setLostDirCluster;
    std::unordered_map<u32, int> m_mapDepthCache;
    CFileTypeJudge m_FileTypeJudge;
    FatClaims m_mapDeletedClaims;          // deleted files of this scan whose first cluster is free
    std::vector<std::pair<u32, u32>> m_vecPictureChecks;  // (first cluster, node) of deleted pictures
};
