// What the deep FAT engine collects during a sweep: virtual boot records,
// observations of directory starts, pending long-name tails, kept sectors,
// and entries waiting for a boot record or a parent.
#pragma once

#include <vector>

#include "core/Records.h"

// A virtual boot record. Cluster n (n >= 2) starts at absolute sector
// u64PartitionStart + nDataStartSector + (n - 2) x nSectorsPerCluster;
// cluster 0 stands for the fixed root area of FAT12/16 just before the data area.
struct __VIRTUAL_DBR_INFO__ {
    u32 nSectorsPerCluster;
    u32 nDataStartSector;    // sectors from the partition start
    u64 u64PartitionStart;   // absolute
};
inline bool operator==(const __VIRTUAL_DBR_INFO__& a, const __VIRTUAL_DBR_INFO__& b) {
    return a.nSectorsPerCluster == b.nSectorsPerCluster && a.nDataStartSector == b.nDataStartSector &&
           a.u64PartitionStart == b.u64PartitionStart;
}

// One observation: a directory whose "." entry names uClusterNO starts at u64Sector.
struct __FAT_SECTOR_OFFSET__ {
    u32 uClusterNO;
    u64 u64Sector;
};

// Long-name entries at the end of a parsed buffer, still waiting for their
// short entry in a sector met later (or earlier and kept).
struct __LONG_FILE_INFO__ {
    u8 byCheckSum;
    u8 bPending;              // 1 while the tail waits
    u32 nSectorsPerCluster;   // of the record in use, 0 when none
    u64 u64PartitionStart;
    u32 nDataStartSector;
    u32 uParentClusterNO;
    u32 nDataLen;
    u64 u64Sector;            // the sector associated with the buffer
    u64 u64LastSector;        // where the buffer's last sector lies on the disk
    unsigned char byData[512];
};

struct __UNDEAL_FILE__ {
    u32 bDealt;
    std::vector<unsigned char> pData;  // one sector
};

// A file found while no virtual boot record fitted its directory:
// FileNode.nFileIndex holds the directory's cluster until it is attached.
struct __NO_DBR_FILE_NODE__ {
    u32 bDealt;
    _FILE_NODE_ FileNode;
};

// A directory entry seen in some directory: FileNode.nFileIndex holds the
// cluster of the directory that holds the entry.
struct __PRO_DIR_INFO__ {
    _FILE_NODE_ FileNode;
    __VIRTUAL_DBR_INFO__ DbrInfo;  // all 0 when none was known
};

struct __PRO_NEED_ADD_DIR_INFO__ {
    __VIRTUAL_DBR_INFO__ DbrInfo;
    u64 u64Sector;
};
