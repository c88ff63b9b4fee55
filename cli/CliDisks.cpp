#include "CliCommon.h"

#include <cstdio>
#include <map>

#include "CliVolume.h"
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

// The SOURCE that names partition p of a disk in a later command: images by
// their path (their disk numbers exist only inside one run), devices by
// their disk number.
std::string PartitionSource(const CliDisk& d, size_t p) {
    if (d.nDiskNumber >= FR_FIRST_IMAGE_DISK) return d.strPath + "@" + std::to_string(p);
    return "disk:" + std::to_string(d.nDiskNumber) + ":" + std::to_string(p);
}

int CmdDisks(const std::vector<std::string>& args) {
    std::vector<CliDisk> disks = EnumerateDisks(args);
    if (disks.empty()) {
        fprintf(stderr,
                "No disk with a partition table or a file system could be read (devices usually need root: try "
                "sudo).\n");
        return 1;
    }
    int n = 0;
    for (const auto& d : disks) {
        ++n;
        if (d.nDiskNumber >= FR_FIRST_IMAGE_DISK)
            printf("Physical Drive %d  (image %s)\n", n, d.strPath.c_str());
        else
            printf("Physical Drive %d  (disk:%d  %s)\n", n, d.nDiskNumber, d.strPath.c_str());
        printf("  %-24s  %-9s  %-16s  %10s  %s\n", "SOURCE", "TYPE", "LABEL", "SIZE", "NAME");
        size_t p = 0;
        for (const auto& part : d.parts) {
            ++p;
            const unsigned long long count = part.u64EndSector + 1 - part.u64StartSector;
            const CliVolumeInfo v = DescribeVolume(d.strPath, part.u64StartSector);
            printf("  %-24s  %-9s  %-16s  %10s  %s\n", PartitionSource(d, p).c_str(), v.strFileSystem.c_str(),
                   v.strLabel.empty() ? "-" : v.strLabel.c_str(),
                   GetFileSizeString(static_cast<long long>(count * 512)).c_str(), GetPartitionName(part).c_str());
        }
    }
    return 0;
}
