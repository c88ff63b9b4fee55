#include "BootSector.h"
#include "core/ByteOrder.h"

#include <cstdint>
#include <cstring>

namespace {
bool PowerOfTwoUpTo64(unsigned v) { return v == 1 || v == 2 || v == 4 || v == 8 || v == 16 || v == 32 || v == 64; }
bool HasBootSignature(const unsigned char* p) { return p[510] == 0x55 && p[511] == 0xAA; }
}  // namespace

bool IsNtfs(const unsigned char* p) {
    if (!p) return false;
    if (std::memcmp(p + 3, "NTFS    ", 8) != 0) return false;
    if ((GetLe16(p + 11) & 0x1FF) != 0) return false;
    if (GetLe16(p + 14) != 0) return false;
    if (!PowerOfTwoUpTo64(p[13])) return false;
    if (GetLe64(p + 40) == 0) return false;
    static const int kZero[] = {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35};
    for (int off : kZero)
        if (p[off] != 0) return false;
    return HasBootSignature(p);
}

bool IsBitlockerDBR(const unsigned char* p) {
    if (!p) return false;
    if (std::memcmp(p + 3, "-FVE-FS-", 8) == 0) return true;
    static const unsigned char kTail[30] = {0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x1F, 0x2C};
    return std::memcmp(p + 480, kTail, sizeof kTail) == 0;
}

bool IsFullValidFAT16DBR(const unsigned char* p) {
    if (!p) return false;
    return p[16] != 0 && (GetLe16(p + 19) != 0 || GetLe32(p + 32) != 0) && PowerOfTwoUpTo64(p[13]) &&
           GetLe16(p + 22) != 0 && HasBootSignature(p);
}

bool IsFullValidFAT32DBR(const unsigned char* p) {
    if (!p) return false;
    return std::memcmp(p + 82, "FAT32   ", 8) == 0 && p[16] != 0 && GetLe32(p + 32) != 0 &&
           PowerOfTwoUpTo64(p[13]) && GetLe32(p + 36) != 0 && HasBootSignature(p);
}

bool IsFat(const unsigned char* p) {
    if (!p) return false;
    if (IsBitlockerDBR(p)) return false;
    const uint32_t bps = GetLe16(p + 11);
    const uint32_t spc = p[13];
    if (bps == 0 || spc == 0 || bps % 512 != 0) return false;
    const uint32_t fatSize = GetLe16(p + 22) != 0 ? GetLe16(p + 22) : GetLe32(p + 36);
    const uint32_t total = GetLe32(p + 32) != 0 ? GetLe32(p + 32) : GetLe16(p + 19);
    const uint32_t rootSectors = (static_cast<uint32_t>(GetLe16(p + 17)) * 32) / bps;
    // Unsigned 32-bit arithmetic: a negative difference wraps and fails below.
    const uint32_t clusters = (total - GetLe16(p + 14) - fatSize * p[16] - rootSectors) / spc;
    if (clusters >= 0x0FFFFFF0u) return false;
    if (clusters < 65525) return IsFullValidFAT16DBR(p) || IsFullValidFAT32DBR(p);
    return IsFullValidFAT32DBR(p) || IsFullValidFAT16DBR(p);
}

bool IsExt(const unsigned char* p) {
    if (!p) return false;
    const unsigned char* sb = p + 1024;
    if (GetLe16(sb + 56) != 0xEF53) return false;
    const uint32_t blocks = GetLe32(sb + 4), inodes = GetLe32(sb + 0);
    const uint32_t blocksPerGroup = GetLe32(sb + 32), inodesPerGroup = GetLe32(sb + 40);
    if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return false;
    const uint32_t firstInode = GetLe32(sb + 84);
    if (firstInode < 3) return false;
    const uint32_t firstDataBlock = GetLe32(sb + 20);
    if ((inodes - 1) / inodesPerGroup != (blocks - 1 - firstDataBlock) / blocksPerGroup) return false;
    const bool oneKiB = (1024u << (sb[24] & 0x1F)) == 1024u;
    if (firstDataBlock != (oneKiB ? 1u : 0u)) return false;
    return inodes > firstInode;
}

bool IsExfat(const unsigned char* p) {
    if (!p || std::memcmp(p + 3, "EXFAT   ", 8) != 0 || !HasBootSignature(p)) return false;
    for (int i = 11; i < 64; ++i)
        if (p[i] != 0) return false;
    return true;
}
