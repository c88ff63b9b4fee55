#include "CliVolume.h"

#include <algorithm>
#include <vector>

#include "core/BootSector.h"
#include "core/ByteOrder.h"
#include "core/DiskReader.h"
#include "core/Platform.h"
#include "rules/ExfatRules.h"
#include "rules/FatRules.h"
#include "rules/NtfsParse.h"

namespace {

constexpr u32 kNtfsVolumeRecord = 3;
constexpr u32 kNtfsVolumeName = 0x60;

bool ReadAt(int fd, u64 offset, unsigned char* buf, size_t len) { return ReadFullAt(fd, offset, buf, len) == len; }

// Blank-padded text of a boot record, trailing blanks dropped.
std::string Padded(const unsigned char* p, size_t len) {
    std::string s(reinterpret_cast<const char*>(p), len);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return s;
}

std::string NtfsLabel(int fd, u64 volumeByte, const unsigned char* boot) {
    const u64 bps = GetLe16(boot + 11) ? GetLe16(boot + 11) : 512;
    const u64 cluster = bps * boot[13];
    const u64 mft = GetLe64(boot + 48);
    CNtfsParse parser;
    if (parser.Init(static_cast<int>(bps)) != 0 || cluster == 0 || mft > (1ull << 40)) return {};
    const size_t size = static_cast<size_t>(parser.RecordSize());
    std::vector<unsigned char> rec(size);
    if (!ReadAt(fd, volumeByte + mft * cluster + kNtfsVolumeRecord * size, rec.data(), size)) return {};
    NtfsRecordHeader hdr;
    if (parser.FileRecordFixUp(rec.data()) != 0 || !NtfsReadRecordHeader(rec.data(), size, hdr)) return {};
    CNtfsAttrWalk walk(rec.data(), hdr, size);
    NtfsAttr attr;
    while (walk.Next(attr)) {
        const unsigned char* v = nullptr;
        u32 len = 0;
        if (attr.nType == kNtfsVolumeName && NtfsResidentValue(attr, &v, &len)) return NtfsUtf16ToUtf8(v, len / 2);
    }
    return {};
}

// The label entry of an exFAT volume's root folder (its first cluster).
std::string ExfatLabel(int fd, u64 volumeByte, const ExfatBootInfo& b) {
    const u32 bpc = b.BytesPerCluster();
    std::vector<unsigned char> root(std::min<u32>(bpc, 65536));
    const u64 at = volumeByte + static_cast<u64>(b.nHeapOffset) * b.nBytesPerSector +
                   static_cast<u64>(b.nRootCluster - 2) * bpc;
    if (!ReadAt(fd, at, root.data(), root.size())) return {};
    return ExfatVolumeLabel(root);
}

}  // namespace

CliVolumeInfo DescribeVolume(const std::string& path, u64 startSector) {
    CliVolumeInfo info{"unknown", {}};
    CUniqueFd fd(OpenDeviceReadOnly(path.c_str()));
    unsigned char head[kFatBackupHeadBytes] = {};
    if (!fd.valid() || startSector > (1ull << 54) || !ReadAt(fd.get(), startSector * 512, head, 2048))
        return info;
    if (IsNtfs(head)) {
        info.strFileSystem = "NTFS";
        info.strLabel = NtfsLabel(fd.get(), startSector * 512, head);
    } else if (IsBitlockerDBR(head)) {
        info.strFileSystem = "BitLocker";
    } else if (const unsigned char* boot = IsFat(head) ? head
                                          : ReadAt(fd.get(), startSector * 512, head, sizeof head)
                                              ? FindFatBootRecord(head, sizeof head)
                                              : nullptr) {
        // Sector 0, or the FAT32 backup when sector 0 is damaged.
        const bool fat32 = GetLe16(boot + 22) == 0;
        const std::string type = Padded(boot + (fat32 ? 82 : 54), 8);
        info.strFileSystem = fat32 ? "FAT32" : (type == "FAT12" || type == "FAT16") ? type : "FAT";
        info.strLabel = Padded(boot + (fat32 ? 71 : 43), 11);
        if (info.strLabel == "NO NAME") info.strLabel.clear();
    } else if (IsExt(head)) {
        const unsigned char* sb = head + 1024;
        const u32 incompat = GetLe32(sb + 96);
        info.strFileSystem = (incompat & 0x40) ? "ext4" : (GetLe32(sb + 92) & 0x4) ? "ext3" : "ext2";
        info.strLabel = Padded(sb + 120, 16);
    } else {
        // exFAT: a boot region with its checksum, the backup one when needed.
        std::vector<unsigned char> region(kExfatHeadBytes);
        const size_t got = ReadFullAt(fd.get(), startSector * 512, region.data(), region.size());
        region.resize(got);
        ExfatBootInfo boot;
        if (FindExfatBootRegion(region, boot)) {
            info.strFileSystem = "exFAT";
            info.strLabel = ExfatLabel(fd.get(), startSector * 512, boot);
        } else if (IsExfat(head)) {
            info.strFileSystem = "exFAT";
        }
    }
    return info;
}
