#include "PartitionManager.h"
#include "core/ByteOrder.h"

#include <QtCore/QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "BootSector.h"
#include "DiskReader.h"
#include "Platform.h"

namespace {
constexpr int kHeadBytes = 4096;
constexpr int kMaxChainLinks = 256;  // logical partitions followed per disk

// A FAT, exFAT, NTFS or Ext volume begins at the first sector. Its boot record
// also ends in 0x55AA, so this is asked before the MBR test. An exFAT volume
// whose first sector is damaged still has its backup boot sector 12 sectors
// in (at its own sector size, 512 or 4096 bytes).
bool IsWholeDiskVolume(int fd, const unsigned char* head, size_t got) {
    if (IsNtfs(head) || IsFat(head) || IsExfat(head)) return true;
    if (got >= 1112 && IsExt(head)) return true;
    unsigned char s[512];
    for (u64 bytesPerSector : {512u, 4096u})
        if (ReadFullAt(fd, 12 * bytesPerSector, s, sizeof s) == sizeof s && IsExfat(s) &&
            (s[108] == 9 || s[108] == 12) && (1u << s[108]) == bytesPerSector)
            return true;
    // Nor a FAT32 volume, by its backup boot sector 6 sectors in.
    for (u32 bytesPerSector = 512; bytesPerSector <= 4096; bytesPerSector *= 2)
        if (ReadFullAt(fd, 6 * bytesPerSector, s, sizeof s) == sizeof s && IsFat(s) && GetLe16(s + 22) == 0 &&
            GetLe16(s + 11) == bytesPerSector)
            return true;
    return false;
}

void FillDisk(_PARTITION_ITEM_& item, int diskNumber, const char* diskName) {
    item.nDiskNumber = diskNumber;
    std::memset(item.szDiskName, 0, sizeof item.szDiskName);
    if (diskName) std::strncpy(item.szDiskName, diskName, sizeof item.szDiskName - 1);
}
}  // namespace

bool IsMBR(const char* buf, int) {
    if (!buf) return false;
    return static_cast<unsigned char>(buf[510]) == 0x55 && static_cast<unsigned char>(buf[511]) == 0xAA;
}
bool IsAPM(const char* buf, int) { return buf && buf[0] == 'E' && buf[1] == 'R'; }
bool IsEFI(const char* buf, int) { return buf && std::memcmp(buf, "EFI PART", 8) == 0; }

void SetPartitionName(_PARTITION_ITEM_& item, const char16_t* name, size_t len) {
    std::memset(item.szPartitionName, 0, sizeof item.szPartitionName);
    size_t n = std::min<size_t>(len, 35);  // always terminated
    for (size_t i = 0; i < n && name[i]; ++i) item.szPartitionName[i] = name[i];
}

void SetPartitionName(_PARTITION_ITEM_& item, const char* ascii) {
    std::memset(item.szPartitionName, 0, sizeof item.szPartitionName);
    for (size_t i = 0; i < 35 && ascii && ascii[i]; ++i)
        item.szPartitionName[i] = static_cast<unsigned char>(ascii[i]);
}

std::string GetPartitionName(const _PARTITION_ITEM_& item) {
    size_t n = 0;
    while (n < 36 && item.szPartitionName[n]) ++n;
    return QString::fromUtf16(item.szPartitionName, static_cast<qsizetype>(n)).toStdString();
}

CPartitionManager::CPartitionManager()
    : nSectorSize(512), nDiskCursor(0), nPartitionCursor(0), nPartitionNumber(1), nExtendedBase(0) {}

CPartitionManager::~CPartitionManager() { UnInit(); }

int CPartitionManager::GetPartitionItems(std::map<int, std::vector<_PARTITION_ITEM_>>& out) {
    out.clear();
    nPartitionNumber = 1;
    std::vector<int> disks;
    for (int n = 0; n < FR_MAX_ENUM_DISKS; ++n) disks.push_back(n);
    for (int n : GetRegisteredImageDisks()) disks.push_back(n);
    for (int n : disks) {
        std::vector<_PARTITION_ITEM_> list;
        EnumerateDisk(n, list);
        if (!list.empty()) out[n] = std::move(list);
    }
    return 1;
}

bool CPartitionManager::GetDiskPartitionItems(int nDiskNumber, std::vector<_PARTITION_ITEM_>& out) {
    nPartitionNumber = 1;
    out.clear();
    EnumerateDisk(nDiskNumber, out);
    return !out.empty();
}

void CPartitionManager::EnumerateDisk(int nDiskNumber, std::vector<_PARTITION_ITEM_>& list) {
    nExtendedBase = 0;
    std::string path = GetDiskDevicePath(nDiskNumber);
    if (path.empty()) return;
    CUniqueFd fd(OpenDeviceReadOnly(path.c_str()));
    if (!fd.valid()) return;
    std::vector<unsigned char> head(kHeadBytes, 0);
    // A short head (a tiny image) is examined as far as it goes.
    size_t got = ReadFullAt(fd.get(), 0, head.data(), head.size());
    if (got < 512) return;
    const char* h = reinterpret_cast<const char*>(head.data());

    if (got >= 1024 && IsEFI(h + 512, 8)) {
        for (size_t off = 1024; off + 128 <= got; off += 128) {
            const unsigned char* e = head.data() + off;
            u64 first = GetLe64(e + 32);
            u64 last = GetLe64(e + 40);
            if (first == 0 || last == 0) break;
            if (last < first) continue;
            _PARTITION_ITEM_ item{};
            item.u64StartSector = first;
            item.u64EndSector = last;
            char16_t name[36];
            for (int i = 0; i < 36; ++i) name[i] = static_cast<char16_t>(e[56 + 2 * i] | (e[57 + 2 * i] << 8));
            SetPartitionName(item, name, 36);
            FillDisk(item, nDiskNumber, path.c_str());
            list.push_back(item);
        }
    } else if (IsWholeDiskVolume(fd.get(), head.data(), got)) {
        // No partition table: a volume that starts at sector 0 (a
        // "superfloppy" card or stick, or an image of one partition) is
        // listed as one partition covering the whole disk.
        const long long bytes = rsb_getDeviceSize(fd.get());
        if (bytes < static_cast<long long>(nSectorSize)) return;
        _PARTITION_ITEM_ item{};
        item.u64StartSector = 0;
        item.u64EndSector = static_cast<u64>(bytes) / nSectorSize - 1;
        SetPartitionName(item, "Whole disk");
        FillDisk(item, nDiskNumber, path.c_str());
        list.push_back(item);
    } else if (IsAPM(h, 2)) {
        if (got < 520) return;
        u32 count = GetBe32(head.data() + 516);
        if (count > 128 || count == 0) return;
        std::vector<unsigned char> map(static_cast<size_t>(count) * 512);
        if (ReadFullAt(fd.get(), 512, map.data(), map.size()) != map.size()) return;
        for (u32 i = 0; i < count; ++i) {
            const unsigned char* e = map.data() + static_cast<size_t>(i) * 512;
            u64 start = static_cast<u64>(GetBe32(e + 8)) + GetBe32(e + 80);
            u64 blocks = GetBe32(e + 84);
            if (blocks == 0) continue;  // an entry that covers no block is no partition
            _PARTITION_ITEM_ item{};
            item.u64StartSector = start;
            item.u64EndSector = start + blocks - 1;
            char name[33];
            std::memcpy(name, e + 16, 32);
            name[32] = 0;
            SetPartitionName(item, name);
            FillDisk(item, nDiskNumber, path.c_str());
            list.push_back(item);
        }
    } else if (IsMBR(h, 512)) {
        GetMBRPartition(fd.get(), 0, list, nDiskNumber, path.c_str());
    }
    // A table may claim more sectors than the disk has: each partition is
    // cut at the disk's end (one that starts beyond it keeps a single
    // sector, which no read can reach).
    const long long bytes = rsb_getDeviceSize(fd.get());
    if (bytes < 0) return;
    const u64 diskSectors = static_cast<u64>(bytes) / nSectorSize;
    for (auto& p : list)
        if (p.u64EndSector >= diskSectors) p.u64EndSector = std::max(p.u64StartSector, diskSectors - 1);
}

void CPartitionManager::GetMBRPartition(int fd, unsigned sector, std::vector<_PARTITION_ITEM_>& out, int diskNumber,
                                        const char* diskName) {
    std::set<unsigned long long> visited;
    GetMBRPartitionChain(fd, sector, out, diskNumber, diskName, visited, 0);
}

void CPartitionManager::GetMBRPartitionChain(int fd, unsigned long long sector, std::vector<_PARTITION_ITEM_>& out,
                                             int diskNumber, const char* diskName,
                                             std::set<unsigned long long>& visited, int depth) {
    // A chain that points back at a table already read, or runs on without
    // end, is not followed further.
    if (depth > kMaxChainLinks || !visited.insert(sector).second) return;
    unsigned char table[512];
    if (ReadFullAt(fd, sector * nSectorSize, table, sizeof table) != sizeof table) return;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = table + 446 + 16 * i;
        u8 type = e[4];
        u32 first = GetLe32(e + 8);
        u32 count = GetLe32(e + 12);
        if (type == 0x05 || type == 0x0F) {
            unsigned long long base = nExtendedBase;
            if (base == 0 && sector != 0) base = nExtendedBase = sector;
            GetMBRPartitionChain(fd, static_cast<unsigned long long>(first) + base, out, diskNumber, diskName,
                                 visited, depth + 1);
            continue;
        }
        if (type == 0 && first == 0 && count == 0) break;
        if (count == 0) continue;  // an entry that covers no sector is no partition
        _PARTITION_ITEM_ item{};
        item.u64StartSector = static_cast<unsigned long long>(first) + sector;
        item.u64EndSector = item.u64StartSector + count - 1;
        char name[32];
        snprintf(name, sizeof name, "Partition %d", nPartitionNumber);
        SetPartitionName(item, name);
        FillDisk(item, diskNumber, diskName);
        out.push_back(item);
        ++nPartitionNumber;
    }
}

int CPartitionManager::Init() {
    nDiskCursor = 0;
    nPartitionCursor = 0;
    m_mapDiskPartitions.clear();
    SortPartitionItem();
    return 1;
}

int CPartitionManager::UnInit() {
    m_mapDiskPartitions.clear();
    return 0;
}

void CPartitionManager::SortPartitionItem() {
    for (auto& kv : m_mapDiskPartitions)
        std::sort(kv.second.begin(), kv.second.end(),
                  [](const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) { return VectorCmp(a, b); });
}

int CPartitionManager::GetPartitionItems(std::vector<_PARTITION_ITEM_>& out) {
    out.clear();
    for (auto& kv : m_mapDiskPartitions) out.insert(out.end(), kv.second.begin(), kv.second.end());
    return 1;
}

int CPartitionManager::GetPartitionItem(_PARTITION_ITEM_* item) {
    while (nDiskCursor < m_mapDiskPartitions.size()) {
        auto it = m_mapDiskPartitions.find(nDiskCursor);
        if (it != m_mapDiskPartitions.end() && nPartitionCursor < it->second.size()) {
            if (item) *item = it->second[nPartitionCursor];
            ++nPartitionCursor;
            return 1;
        }
        ++nDiskCursor;
        nPartitionCursor = 0;
    }
    return 0;
}

int CPartitionManager::GetRemovePartitionItem(std::vector<_PARTITION_ITEM_> known, std::vector<_PARTITION_ITEM_>& out) {
    Init();
    int result = 1;
    for (const auto& k : known) {
        bool found = false;
        auto it = m_mapDiskPartitions.find(static_cast<unsigned>(k.nDiskNumber));
        if (it != m_mapDiskPartitions.end())
            for (const auto& p : it->second)
                if (p.u64StartSector == k.u64StartSector) found = true;
        if (found) {
            result = 0;
        } else {
            out.push_back(k);
            result = 1;
        }
    }
    return result;
}
