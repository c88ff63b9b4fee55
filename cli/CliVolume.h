// What lies on a volume, for the disk list: its file system and label.
#pragma once

#include <string>

#include "core/Records.h"

struct CliVolumeInfo {
    std::string strFileSystem;  // "FAT32", "NTFS", "ext4", ... or "unknown"
    std::string strLabel;       // empty when the volume has none
};

// Reads the volume's boot record (and, for NTFS, its $Volume record) from
// the device or image at path; the volume begins at startSector (512 bytes).
CliVolumeInfo DescribeVolume(const std::string& path, u64 startSector);
