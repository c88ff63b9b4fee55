// FAT structures that need more than one buffer to read: the allocation
// table (FAT12, FAT16 and FAT32 entries through a window of the first FAT),
// cluster chains, and the pieces of directory decoding that every FAT
// engine shares (long-name runs, first clusters, "." and ".." entries).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/DiskReader.h"
#include "rules/FatRules.h"

// The first FAT of a volume, read on demand through a window.
class CFatTable {
public:
    static constexpr u32 kWindowBytes = 16777216;

    // boot: the volume's geometry (its cluster count already fitted to the
    // volume); u64FatStartSector: absolute sector of the first FAT, in the
    // volume's sector size. The window never holds more than one FAT.
    void Init(CDiskReader* pReader, const FatBootInfo& boot, u64 u64FatStartSector);
    bool IsReady() const { return m_pReader != nullptr; }

    // Raw entry of a cluster (FAT12 and FAT16 entries widened, FAT32 entries
    // cut to 28 bits). 87 for a cluster outside the FAT; 30 or errno when
    // the FAT cannot be read there.
    int GetEntry(unsigned uCluster, unsigned& uValue);
    // The chain step for file data: the next cluster, or 0 at the end of
    // the chain; after a free entry (a deleted file, whose chain is zeroed)
    // the next free cluster, clusters in use skipped, so that a file written
    // around live ones is read back without their data.
    int FindNext(unsigned uCluster, unsigned& uNext);
    // The first free cluster after uCluster (0 when there is none).
    int NextFreeCluster(unsigned uCluster, unsigned& uNext);
    // An end-of-chain mark of this FAT's width.
    bool IsEndOfChain(unsigned v) const;
    // A cluster number of the data area (2 .. count + 1).
    bool IsValidCluster(u64 c) const { return c >= 2 && c <= static_cast<u64>(m_Boot.nClusterCount) + 1; }

private:
    CDiskReader* m_pReader = nullptr;
    FatBootInfo m_Boot;
    u64 m_u64FatStartSector = 0;
    u32 m_uWindowFirstSector = 0;
    u32 m_uWindowSectors = 0;  // sectors held in the window (0: empty)
    std::vector<unsigned char> m_vecWindow;
};

// The high word of a deleted FAT32 entry whose own was cleared (Windows does
// that): among the clusters h x 65536 + low (h = 0 .. 256, up to
// maxCluster) the first that looks like the file (looksLike) and is free in
// the FAT (isFree; without a FAT every cluster counts as free), else the
// first that looks like it. bChecked tells whether the choice is sure: a
// free cluster of a type the judge knows (bTypeKnown), or the only free
// candidate. 0, or the code of a failed read.
int ChooseFatHighWord(u16 low, u64 maxCluster, bool bTypeKnown, const std::function<int(u32, bool&)>& looksLike,
                      const std::function<int(u32, bool&)>& isFree, u16& high, bool& bChecked);

// True when p (at least 64 bytes) starts with a "." entry (name ". ", a
// directory) followed by a ".." entry.
bool IsFatDotPair(const unsigned char* p);

// The first cluster an entry names: high word (FAT32 only) and low word.
inline u32 FatEntryFirstCluster(const unsigned char* e, bool bFat32) {
    const u32 lo = GetLe16(e + 26);
    return bFat32 ? (static_cast<u32>(GetLe16(e + 20)) << 16 | lo) : lo;
}

// The parent cluster that a directory's ".." entry (the second entry of
// its first sector, len bytes) names; false when the sector does not start
// a directory. 0 stands for the root.
bool GetFatParentCluster(const unsigned char* sec, size_t len, bool bFat32, u32& uParent);

// Collects the parts of a long name, which are stored last part first, up
// to 20 parts; the name then belongs to the next short entry.
class CFatLongName {
public:
    // Adds one long-name entry's 13 characters; an overlong run starts over.
    void AddPart(const unsigned char* entry);
    // Forgets the collected parts.
    void Drop() { m_nPos = kCapacity; }
    // The collected name as UTF-8 (and forgets it); false when none was
    // collected or it is empty.
    bool Take(std::string& out);

private:
    static constexpr int kCapacity = 20 * 13;
    char16_t m_Units[kCapacity + 1] = {};  // the last unit stays 0
    int m_nPos = kCapacity;
};
