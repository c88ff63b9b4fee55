#include "CliCommon.h"

#include <cstdio>
#include <map>

#include "core/PartitionManager.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"

// Disks in the order the device list shows them; image files named on the
// command line are added as disks of their own.
std::vector<CliDisk> EnumerateDisks(const std::vector<std::string>& images) {
    for (const auto& img : images) RegisterImageDisk(img);
    std::map<int, std::vector<_PARTITION_ITEM_>> map;
    CPartitionManager pm;
    pm.GetPartitionItems(map);
    std::vector<CliDisk> disks;
    for (auto& kv : map) disks.push_back({kv.first, GetDiskDevicePath(kv.first), kv.second});
    return disks;
}

int CmdDisks(const std::vector<std::string>& args) {
    std::vector<CliDisk> disks = EnumerateDisks(args);
    if (disks.empty()) {
        fprintf(stderr, "No disk with a partition table could be read (devices usually need root: try sudo).\n");
        return 1;
    }
    int n = 0;
    for (const auto& d : disks) {
        ++n;
        printf("Physical Driver %d  (disk:%d  %s)\n", n, d.nDiskNumber, d.strPath.c_str());
        int p = 0;
        for (const auto& part : d.parts) {
            ++p;
            unsigned long long count = part.u64EndSector + 1 - part.u64StartSector;
            printf("  %2d  %-36s  sectors %llu-%llu  %s\n", p, GetPartitionName(part).c_str(),
                   static_cast<unsigned long long>(part.u64StartSector),
                   static_cast<unsigned long long>(part.u64EndSector),
                   GetFileSizeString(static_cast<long long>(count * 512)).c_str());
        }
    }
    return 0;
}
