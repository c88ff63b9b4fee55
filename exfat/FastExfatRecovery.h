// The fast exFAT engine: reads the boot region (the backup when the main one
// is damaged), the FAT and the allocation bitmap, and walks every folder from
// the root. It lists every deleted file and folder with its full name, size
// and times, every file below a deleted folder, and the folders on the way
// to them; it reads them back out, previews them and reports the volume's
// unallocated stretches from the bitmap.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "core/DiskReader.h"
#include "exfat/ExfatVolume.h"
#include "results/NodeOutput.h"
#include "results/VolumeEngine.h"
#include "rules/FatRules.h"

class CFastExfatRecovery : public CVolumeEngine {
public:
    CFastExfatRecovery();

    int ScanDevice(wchar_t* szLogName) override;
    // Sectors here are 512-byte sectors relative to the volume start.
    int GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) override;
    int BuildBitMapInfo() override;
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override {
        return m_Volume.NodeExtents(node, u64Wanted, true, extents);
    }

    const ExfatBootInfo& GetBootInfo() const { return m_Volume.Boot(); }

private:
    struct Dir {
        u32 nParent = 0;
        u32 nDepth = 0;
        bool bDeleted = false;
        _FILE_NODE_ node{};
    };
    int OnOpened() override;
    // Lists one folder: its sets, deleted files recorded, folders queued.
    void WalkDir(u32 nCluster, const _FILE_NODE_* pSelf, std::vector<u32>& queue);
    _FILE_NODE_ MakeNode(const ExfatEntrySet& set, bool bMarked) const;
    void RecordFile(const ExfatEntrySet& set, u32 nParent, bool bMarked);

    bool m_bReady = false;
    CExfatVolume m_Volume{m_DiskReader};
    std::map<u32, Dir> m_mapDirs;       // by first cluster
    std::vector<u32> m_vecUsedDirs;     // folders holding a find, in order met
    std::set<u32> m_setUsedDirs;
    CFileTypeJudge m_FileTypeJudge;

protected:
    u32 RootDirId() const override { return m_Volume.Boot().nRootCluster; }
};
