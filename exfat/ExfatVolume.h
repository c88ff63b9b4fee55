// An exFAT volume as both exFAT engines see it: its geometry, its FAT and
// allocation bitmap when they can be read, and where a file's or folder's
// clusters lie. Offsets are bytes of the device; reads go in 512-byte units.
#pragma once

#include <functional>
#include <vector>

#include "core/DiskReader.h"
#include "core/ExtentReader.h"
#include "rules/ExfatRules.h"

class CExfatVolume {
public:
    explicit CExfatVolume(CDiskReader& reader) : m_Reader(reader) {}

    // Geometry of a volume starting at a byte offset of the device.
    void SetGeometry(const ExfatBootInfo& boot, u64 u64VolumeByte);
    // Reads the FAT window on demand and the allocation bitmap (found in the
    // root directory) whole. false when the bitmap cannot be read.
    bool LoadBitmap();
    const ExfatBootInfo& Boot() const { return m_Boot; }
    bool HasBitmap() const { return !m_vecBitmap.empty(); }
    const std::vector<u8>& Bitmap() const { return m_vecBitmap; }

    bool IsValidCluster(u64 c) const { return c >= 2 && c <= static_cast<u64>(m_Boot.nClusterCount) + 1; }
    u64 ClusterByte(u32 c) const { return m_u64HeapByte + static_cast<u64>(c - 2) * m_Boot.BytesPerCluster(); }
    // Unknown bitmap: every cluster counts as free.
    bool IsAllocated(u32 c) const;
    // The FAT entry of a cluster; false when it cannot be read.
    bool FatEntry(u32 c, u32& next);

    // The clusters of nBytes of data from the first cluster: contiguous for
    // a stream without a FAT chain, the FAT chain for a live one, and for a
    // deleted one the chain while it runs over free clusters, then the next
    // free clusters the bitmap shows. Fewer when the volume ends first.
    std::vector<u32> Clusters(u32 first, u64 nBytes, bool bNoFatChain, bool bDeleted);
    // The same, one cluster at a time (fn returns false to stop): true when
    // they reached nBytes. Memory stays small however long the run is.
    bool ForEachCluster(u32 first, u64 nBytes, bool bNoFatChain, bool bDeleted, const std::function<bool(u32)>& fn);
    // The extents of a node's first u64Wanted bytes: what lies past the
    // valid data length is zeros and never read. 0, or 30 when the
    // clusters end first (with the extents found up to there).
    int NodeExtents(const _FILE_NODE_& node, u64 u64Wanted, bool bDeleted, std::vector<DataExtent>& out);
    // The geometry from the boot region of a volume at a device byte
    // offset, or from its backup when the main one is damaged. Only a
    // sector that names itself exFAT is read further, so a volume of
    // another kind costs five sector reads.
    bool ReadBootRegion(u64 u64VolumeByte, u64 u64VolumeBytes, ExfatBootInfo& out);
    // Reads len bytes (a multiple of 512) at a device byte offset; the
    // bytes that arrived.
    size_t Read(u64 u64Byte, unsigned char* buf, size_t len);

private:
    CDiskReader& m_Reader;
    ExfatBootInfo m_Boot;
    u64 m_u64VolumeByte = 0;
    u64 m_u64HeapByte = 0;
    std::vector<u8> m_vecBitmap;
    std::vector<unsigned char> m_vecFatWindow;
    u64 m_u64FatWindowFirst = ~0ULL;  // first entry held
};

// Node flags in _FILE_NODE_::nReserved of both exFAT engines.
constexpr u32 EXFAT_NODE_DELETED = 1;  // a deleted folder (or one below it)
constexpr u32 EXFAT_NODE_NO_FAT_CHAIN = 2;
