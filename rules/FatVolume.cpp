#include "rules/FatVolume.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr u32 kFat12End = 0xFF8;
constexpr u32 kFat16End = 0xFFF8;
constexpr u32 kFat32End = 0x0FFFFFF8;
}  // namespace

void CFatTable::Init(CDiskReader* pReader, const FatBootInfo& boot, u64 u64FatStartSector) {
    m_pReader = pReader;
    m_Boot = boot;
    m_u64FatStartSector = u64FatStartSector;
    const u64 fatBytes = static_cast<u64>(m_Boot.nSectorsPerFat) * m_Boot.nBytesPerSector;
    m_vecWindow.assign(std::min<u64>(kWindowBytes, fatBytes), 0);
    m_uWindowFirstSector = 0;
    m_uWindowSectors = 0;
}

int CFatTable::GetEntry(unsigned uCluster, unsigned& uValue) {
    uValue = 0;
    if (!m_pReader || uCluster > m_Boot.nClusterCount + 1u) return FR_INVALID;
    u64 offset;
    u32 width;
    if (m_Boot.nFatBits == 32) {
        offset = static_cast<u64>(uCluster) * 4;
        width = 4;
    } else if (m_Boot.nFatBits == 16) {
        offset = static_cast<u64>(uCluster) * 2;
        width = 2;
    } else {
        offset = static_cast<u64>(uCluster) + uCluster / 2;  // 12-bit entries
        width = 2;
    }
    const u64 bps = m_Boot.nBytesPerSector;
    const u64 fatBytes = static_cast<u64>(m_Boot.nSectorsPerFat) * bps;
    if (offset + width > fatBytes) return FR_INVALID;
    const u64 winStart = static_cast<u64>(m_uWindowFirstSector) * bps;
    const u64 winLen = static_cast<u64>(m_uWindowSectors) * bps;
    if (m_uWindowSectors == 0 || offset < winStart || offset + width > winStart + winLen) {
        // Reload the window at the sector holding the entry (one sector
        // earlier when a 12-bit entry straddles a sector boundary).
        u64 first = offset / bps;
        if ((offset + width - 1) / bps != first && first > 0 && m_vecWindow.size() < 2 * bps) --first;
        const u64 cap = m_vecWindow.size() / bps;
        const u64 n = std::min<u64>(cap, m_Boot.nSectorsPerFat - first);
        unsigned int got = 0;
        m_uWindowSectors = 0;
        int ret = m_pReader->ReadData(m_vecWindow.data(), static_cast<int>(n),
                                      static_cast<long long>(m_u64FatStartSector + first), static_cast<int>(bps), &got);
        if (got == 0) return ret != 0 ? ret : FR_SHORT_READ;
        m_uWindowFirstSector = static_cast<u32>(first);
        m_uWindowSectors = got;
        if (offset + width > (first + got) * bps) return FR_SHORT_READ;
    }
    const unsigned char* p = m_vecWindow.data() + (offset - static_cast<u64>(m_uWindowFirstSector) * bps);
    if (m_Boot.nFatBits == 32) {
        uValue = GetLe32(p) & 0x0FFFFFFF;
    } else if (m_Boot.nFatBits == 16) {
        uValue = GetLe16(p);
    } else {
        const u32 v = GetLe16(p);
        uValue = (uCluster & 1) ? (v >> 4) : (v & 0xFFF);
    }
    return 0;
}

bool CFatTable::IsEndOfChain(unsigned v) const {
    if (m_Boot.nFatBits == 32) return (v & 0x0FFFFFFF) >= kFat32End;
    if (m_Boot.nFatBits == 16) return (v & 0xFFFF) >= kFat16End;
    return (v & 0xFFF) >= kFat12End;
}

int CFatTable::FindNext(unsigned uCluster, unsigned& uNext) {
    unsigned v = 0;
    int ret = GetEntry(uCluster, v);
    uNext = 0;
    if (ret != 0) return ret;
    if (v != 0) {
        // A bad-cluster mark, an end mark or a number outside the volume all end the chain.
        if (!IsEndOfChain(v) && IsValidCluster(v)) uNext = v;
        return 0;
    }
    return NextFreeCluster(uCluster, uNext);
}

int CFatTable::NextFreeCluster(unsigned uCluster, unsigned& uNext) {
    uNext = 0;
    for (u64 c = static_cast<u64>(uCluster) + 1; IsValidCluster(c); ++c) {
        unsigned v = 1;
        if (int ret = GetEntry(static_cast<unsigned>(c), v)) return ret;
        if (v == 0) {
            uNext = static_cast<unsigned>(c);
            return 0;
        }
    }
    return 0;
}

int ChooseFatHighWord(u16 low, u64 maxCluster, bool bTypeKnown, const std::function<int(u32, bool&)>& looksLike,
                      const std::function<int(u32, bool&)>& isFree, u16& high, bool& bChecked) {
    constexpr unsigned kMaxHighWord = 256;
    int firstLike = -1, firstFree = -1, nFree = 0;
    bChecked = false;
    for (unsigned h = 0; h <= kMaxHighWord; ++h) {
        const u64 c = (static_cast<u64>(h) << 16) | low;
        if (c > maxCluster) break;
        if (c < 2) continue;
        bool like = false;
        if (int ret = looksLike(static_cast<u32>(c), like)) return ret;
        if (!like) continue;
        bool free = true;
        if (isFree && isFree(static_cast<u32>(c), free) != 0) free = false;
        if (firstLike < 0) firstLike = static_cast<int>(h);
        if (free && nFree++ == 0) firstFree = static_cast<int>(h);
    }
    if (firstFree >= 0) {
        high = static_cast<u16>(firstFree);
        bChecked = bTypeKnown || nFree == 1;
    } else if (firstLike >= 0) {
        high = static_cast<u16>(firstLike);
    }
    return 0;
}

bool IsFatDotPair(const unsigned char* p) {
    return p[0] == '.' && p[1] == ' ' && (p[11] & FAT_ATTR_DIRECTORY) && p[32] == '.' && p[33] == '.';
}

bool GetFatParentCluster(const unsigned char* sec, size_t len, bool bFat32, u32& uParent) {
    uParent = 0;
    if (!sec || len < 64) return false;
    if (sec[11] == FAT_ATTR_VOLUME || sec[0] != '.' || sec[32] != '.' || sec[33] != '.') return false;
    uParent = FatEntryFirstCluster(sec + 32, true);
    if (!bFat32) uParent &= 0xFFFF;
    return true;
}

void CFatLongName::AddPart(const unsigned char* entry) {
    if (m_nPos < 13) m_nPos = kCapacity;  // an overlong run starts over
    m_nPos -= 13;
    char16_t part[13];
    GetLongNameChars(entry, part);
    std::memcpy(m_Units + m_nPos, part, sizeof part);
}

bool CFatLongName::Take(std::string& out) {
    if (m_nPos >= kCapacity) return false;
    out = Utf16ToUtf8(m_Units + m_nPos, static_cast<size_t>(kCapacity - m_nPos));
    Drop();
    return !out.empty();
}
