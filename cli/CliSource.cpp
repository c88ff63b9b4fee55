#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "CliCommon.h"
#include "core/PartitionManager.h"
#include "core/Platform.h"

namespace {

bool ParseNumber(const std::string& s, long long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno || *end || v < 0) return false;
    out = v;
    return true;
}

bool OpenError(const std::string& path) {
    int err = errno;
    if (err == EISDIR || err == ENOTBLK)
        fprintf(stderr, "fotoretta-cli: %s is %s, not a disk, partition or image file\n", path.c_str(),
                err == EISDIR ? "a folder" : "a special file");
    else if (err == EACCES || err == EPERM)
        fprintf(stderr, "fotoretta-cli: cannot read %s: %s (reading a device needs root: try sudo)\n", path.c_str(),
                strerror(err));
    else
        fprintf(stderr, "fotoretta-cli: cannot open %s: %s\n", path.c_str(), strerror(err));
    return false;
}

bool CheckReadable(const std::string& path) {
    int fd = OpenDeviceReadOnly(path.c_str());
    if (fd < 0) return OpenError(path);
    close(fd);
    return true;
}

bool PickPartition(int disk, long long part, const std::string& strArg, CliSource& out) {
    CPartitionManager pm;
    std::vector<_PARTITION_ITEM_> parts;
    pm.GetDiskPartitionItems(disk, parts);
    if (part < 1 || static_cast<size_t>(part) > parts.size()) {
        fprintf(stderr, "fotoretta-cli: %s: no partition %lld (the disk has %zu)\n", strArg.c_str(), part,
                parts.size());
        return false;
    }
    const _PARTITION_ITEM_& p = parts[static_cast<size_t>(part - 1)];
    out.bPartition = true;
    out.nPartition = static_cast<int>(part);
    out.nDiskNumber = disk;
    out.u64Start = p.u64StartSector;
    out.u64Count = p.u64EndSector + 1 - p.u64StartSector;
    return true;
}

}  // namespace

bool ResolveSource(const std::string& strArg, CliSource& out) {
    out = CliSource{};
    out.strArg = strArg;
    if (strArg.rfind("disk:", 0) == 0) {
        std::string rest = strArg.substr(5);
        size_t colon = rest.find(':');
        long long disk = 0, part = 0;
        if (!ParseNumber(rest.substr(0, colon), disk) ||
            (colon != std::string::npos && !ParseNumber(rest.substr(colon + 1), part))) {
            fprintf(stderr, "fotoretta-cli: bad source '%s' (use disk:N or disk:N:P)\n", strArg.c_str());
            return false;
        }
        out.strPath = GetDiskDevicePath(static_cast<int>(disk));
        if (out.strPath.empty() && disk >= FR_FIRST_IMAGE_DISK) {
            fprintf(stderr, "fotoretta-cli: there is no disk %lld (image files are named IMAGE@P, as 'disks IMAGE' "
                    "prints them)\n", disk);
            return false;
        }
        if (out.strPath.empty()) {
            fprintf(stderr, "fotoretta-cli: there is no disk %lld\n", disk);
            return false;
        }
        if (!CheckReadable(out.strPath)) return false;
        out.nDiskNumber = static_cast<int>(disk);
        if (colon == std::string::npos) return true;
        return PickPartition(static_cast<int>(disk), part, strArg, out);
    }
    size_t at = strArg.rfind('@');
    long long part = 0;
    struct stat st;
    if (at != std::string::npos && stat(strArg.c_str(), &st) != 0 && ParseNumber(strArg.substr(at + 1), part)) {
        out.strPath = strArg.substr(0, at);
        if (!CheckReadable(out.strPath)) return false;
        int disk = RegisterImageDisk(out.strPath);
        return PickPartition(disk, part, strArg, out);
    }
    out.strPath = strArg;
    return CheckReadable(strArg);
}

std::vector<CliSource> VolumesToScan(const CliSource& src) {
    if (src.bPartition) return {src};
    const int disk = src.nDiskNumber >= 0 ? src.nDiskNumber : RegisterImageDisk(src.strPath);
    CPartitionManager pm;
    std::vector<_PARTITION_ITEM_> parts;
    pm.GetDiskPartitionItems(disk, parts);
    // No partition table, or a volume that begins at the first sector: the
    // source is one volume (or none, and the deep scan sweeps it whole).
    if (parts.empty() || parts.front().u64StartSector == 0) return {src};
    const CliDisk whole{disk, src.strPath, {}};
    std::vector<CliSource> volumes;
    for (size_t i = 0; i < parts.size(); ++i) {
        const _PARTITION_ITEM_& p = parts[i];
        // A range no disk can have is no partition.
        if (p.u64EndSector < p.u64StartSector || p.u64EndSector >= (1ull << 54)) continue;
        const unsigned long long count = p.u64EndSector + 1 - p.u64StartSector;
        CliSource v = src;
        v.strArg = PartitionSource(whole, i + 1);
        // Partitions never overlap; a damaged or crafted table that names
        // the same sectors again would have them scanned over and over.
        const auto overlap = std::find_if(volumes.begin(), volumes.end(), [&](const CliSource& o) {
            return p.u64StartSector < o.u64Start + o.u64Count && o.u64Start < p.u64StartSector + count;
        });
        if (overlap != volumes.end()) {
            fprintf(stderr, "fotoretta-cli: %s overlaps %s: skipped (scan it on its own as %s)\n", v.strArg.c_str(),
                    overlap->strArg.c_str(), v.strArg.c_str());
            continue;
        }
        v.bPartition = true;
        v.nPartition = static_cast<int>(i + 1);
        v.nDiskNumber = disk;
        v.u64Start = p.u64StartSector;
        v.u64Count = count;
        volumes.push_back(std::move(v));
    }
    if (volumes.empty()) return {src};
    return volumes;
}

void ReportNoFileSystem(const CliSource& src, bool bSkipped) {
    if (bSkipped)
        fprintf(stderr,
                "fotoretta-cli: %s: no FAT, exFAT, NTFS or Ext file system found; skipped (a scan without --fast still "
                "sweeps it)\n",
                src.strArg.c_str());
    else
        fprintf(stderr,
                "fotoretta-cli: %s: no FAT, exFAT, NTFS or Ext file system found (a scan without --fast still carves "
                "files)\n",
                src.strArg.c_str());
}
