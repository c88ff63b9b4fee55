// The deep exFAT engine: rebuilds exFAT folders from entry sets found
// anywhere the sweep goes, after a quick format or when the boot regions,
// the FAT and the allocation bitmap are gone.
//
// The deep-scan driver calls, in this order:
//   Init(...)                 once, on the disk or image
//   StartScan(name)           at the start of every scan (null: a new log)
//   ParseSector(p, n, s)      for each swept sector passing MayHoldExfatSet
//                             or IsExfatRootStart
//   FinishScan()              once after the sweep: builds the tree
// and routes queries, previews and extraction of nodes whose nEngineType is
// ENGINE_DEEP_EXFAT here. Sectors are absolute 512-byte sectors.
//
// Every set found (in use or deleted) is kept. The cluster size and the
// heap offset come from the boot region or its backup; without either they
// are worked out from folders whose first cluster starts with a set and
// from files whose first data looks like their type. Sets are filed under
// the folder whose clusters hold them (by its first cluster); sets in the
// root's cluster at the top; the rest in "LostFolder<n>" folders, one per
// run of clusters.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "core/DiskReader.h"
#include "exfat/ExfatVolume.h"
#include "results/NodeOutput.h"
#include "results/VolumeEngine.h"
#include "rules/FatRules.h"

class CProfessionalExfatRecovery : public CSweepFedEngine<CVolumeEngine> {
public:
    CProfessionalExfatRecovery();
    ~CProfessionalExfatRecovery() override;

    // Without a trusted FAT the data is taken as contiguous.
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override {
        _FILE_NODE_ c = node;
        c.nReserved |= EXFAT_NODE_NO_FAT_CHAIN;
        return m_Volume.NodeExtents(c, u64Wanted, true, extents);
    }

    int StartScan(wchar_t* szLogName);
    // The sets that start in one sector; avail bytes from p on are there to
    // read (a set running further is read from the device). The sets found,
    // and one more for the start of a root folder.
    int ParseSector(const unsigned char* p, size_t avail, u64 u64Sector);
    int FinishScan();

    // What FinishScan used: cluster size and heap start in 512-byte sectors
    // from the volume start (0, 0 when they could not be told).
    u32 GetSectorsPerCluster() const { return m_nSpc; }
    u64 GetHeapSector() const { return m_u64Heap; }

private:
    struct Found {
        u64 u64Sector;  // of its File entry, relative to the volume
        ExfatEntrySet set;
    };
    int OnOpened() override;
    bool LearnGeometry();
    u32 ScoreFiles(u32 spc, u64 heap);
    // The cluster holding a volume sector; 0 before the heap.
    u32 ClusterOf(u64 u64Sector) const;
    _FILE_NODE_ MakeNode(const ExfatEntrySet& set) const;

    bool m_bBoot = false;  // geometry from a boot region
    ExfatBootInfo m_Boot;
    u32 m_nSpc = 0;
    u64 m_u64Heap = 0;
    u32 m_nRootId = 1;  // the root's cluster, or 1 when unknown
    CExfatVolume m_Volume{m_DiskReader};
    std::vector<Found> m_vecFound;
    std::vector<u64> m_vecRootSectors;
    std::vector<u64> m_vecDirStarts;  // sectors whose first slot starts a set
    CFileTypeJudge m_FileTypeJudge;

protected:
    u32 RootDirId() const override { return m_nRootId; }
};
