// Feeds arbitrary bytes to the boot-sector tests (as the factory's 16 KiB
// probe) and, as a whole disk image, to the partition enumerator (GPT,
// Apple Partition Map, MBR with extended chains). The image lives in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/BootSector.h"
#include "core/PartitionManager.h"
#include "core/Platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> probe(16384, 0);
    for (size_t i = 0; i < size && i < probe.size(); ++i) probe[i] = data[i];
    volatile int sink = IsNtfs(probe.data()) + IsFat(probe.data()) + IsExt(probe.data()) +
                        IsBitlockerDBR(probe.data()) + IsFullValidFAT16DBR(probe.data()) +
                        IsFullValidFAT32DBR(probe.data());

    static int fd = memfd_create("fuzz-disk", MFD_CLOEXEC);
    static int disk = fd >= 0 ? RegisterImageDisk("/proc/self/fd/" + std::to_string(fd)) : -1;
    if (disk < 0 || ftruncate(fd, 0) != 0) return 0;
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    CPartitionManager pm;
    std::vector<_PARTITION_ITEM_> parts;
    pm.GetDiskPartitionItems(disk, parts);
    const unsigned long long diskSectors = size / 512;
    for (const auto& p : parts) {
        // Every partition lies within the disk (or keeps one sector when it
        // starts beyond it).
        if (p.u64EndSector < p.u64StartSector) __builtin_trap();
        if (p.u64StartSector < diskSectors && p.u64EndSector >= diskSectors) __builtin_trap();
        sink = sink + static_cast<int>(GetPartitionName(p).size());
    }
    (void)sink;
    return 0;
}
