// Lists the partitions of every attached disk from its GPT, Apple
// Partition Map or MBR with extended chains. Disks are only read.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Records.h"

bool IsMBR(const char* buf, int len);
bool IsAPM(const char* buf, int len);
bool IsEFI(const char* buf, int len);

class CPartitionManager {
public:
    CPartitionManager();
    ~CPartitionManager();

    // Enumerates disk numbers 0..127 and every registered image disk.
    int GetPartitionItems(std::map<int, std::vector<_PARTITION_ITEM_>>& out);
    // Enumerates one disk (also used for image files added at run time);
    // true when its table yielded partitions.
    bool GetDiskPartitionItems(int nDiskNumber, std::vector<_PARTITION_ITEM_>& out);
    void GetMBRPartition(int fd, unsigned sector, std::vector<_PARTITION_ITEM_>& out, int diskNumber,
                         const char* diskName);

    // Secondary operations over the per-disk table.
    int Init();
    int UnInit();
    int InitPartitionInfo() { return 1; }
    void AddFreePartition() {}
    void SortPartitionItem();
    int GetPartitionItems(std::vector<_PARTITION_ITEM_>& out);
    int GetPartitionItem(_PARTITION_ITEM_* item);
    int GetRemovePartitionItem(std::vector<_PARTITION_ITEM_> known, std::vector<_PARTITION_ITEM_>& out);
    std::map<unsigned, std::vector<_PARTITION_ITEM_>>& Table() { return m_mapDiskPartitions; }

private:
    void EnumerateDisk(int nDiskNumber, std::vector<_PARTITION_ITEM_>& list);
    void GetMBRPartitionChain(int fd, unsigned long long sector, std::vector<_PARTITION_ITEM_>& out,
                              int diskNumber, const char* diskName, std::set<unsigned long long>& visited,
                              int depth);

    unsigned nSectorSize;
    unsigned nDiskCursor;
    unsigned nPartitionCursor;
    std::map<unsigned, std::vector<_PARTITION_ITEM_>> m_mapDiskPartitions;
    int nPartitionNumber;
    unsigned long long nExtendedBase;
};

// Fills a partition name from UTF-16 / ASCII text (zero padded, terminated).
void SetPartitionName(_PARTITION_ITEM_& item, const char16_t* name, size_t len);
void SetPartitionName(_PARTITION_ITEM_& item, const char* ascii);
// The partition name as UTF-8.
std::string GetPartitionName(const _PARTITION_ITEM_& item);
