#include "fat/FatDirContinuation.h"

#include <algorithm>

#include "core/ByteOrder.h"
#include "rules/FatRules.h"

namespace {

constexpr size_t kMaxClusters = 65536;  // each map's bound, whatever the disk holds
constexpr u32 kNone = 0xFFFFFFFFu;

struct Entry {
    u32 cluster = 0;
    u32 end = 0;
    u32 stamp = 0;
};

// The short entries of a buffer up to its end marker: the first and the
// last that own data, and whether every entry met is deleted.
struct Scan {
    bool any = false, allDeleted = true, ended = false;
    Entry first, last;
};

Scan ScanEntries(const unsigned char* buf, int len, u32 bytesPerCluster) {
    Scan r;
    for (int off = 0; off + FAT_ENTRY_SIZE <= len; off += FAT_ENTRY_SIZE) {
        const unsigned char* e = buf + off;
        if (e[0] == 0) {
            r.ended = true;
            break;
        }
        if (e[0] != FAT_DELETED_MARK) r.allDeleted = false;
        if (e[11] == FAT_ATTR_LONG_NAME || (e[11] & FAT_ATTR_VOLUME) || e[0] == '.') continue;
        Entry x;
        x.cluster = static_cast<u32>(GetLe16(e + 20)) << 16 | GetLe16(e + 26);
        if (x.cluster < 2) continue;
        const u64 size = (e[11] & FAT_ATTR_DIRECTORY) ? 0 : GetLe32(e + 28);
        const u64 clusters = bytesPerCluster ? (size + bytesPerCluster - 1) / bytesPerCluster : 1;
        x.end = static_cast<u32>(std::min<u64>(x.cluster + std::max<u64>(clusters, 1), 0xFFFFFFFFu));
        x.stamp = static_cast<u32>(GetLe16(e + 16)) << 16 | GetLe16(e + 14);
        if (!r.any) r.first = x;
        r.last = x;
        r.any = true;
    }
    return r;
}

}  // namespace

u32 CFatDirContinuation::Owner(u32 c, u32 owner, bool bFirst, const unsigned char* buf, int len,
                               u32 bytesPerCluster) {
    if (!buf || len <= 0) return owner;
    const Scan s = ScanEntries(buf, len, bytesPerCluster);
    if (owner == c) {
        auto t = m_taken.find(c);
        if (t != m_taken.end()) {
            owner = t->second;
        } else if (bFirst && s.any && s.allDeleted && m_taken.size() < kMaxClusters) {
            // Its first file's data starts where the last one before it ends
            // (or right after c, when the folder took c there first).
            auto at = m_endsAt.find(s.first.cluster);
            if (at == m_endsAt.end() && s.first.cluster == c + 1) at = m_endsAt.find(c);
            auto prev = at == m_endsAt.end() ? m_last.end() : m_last.find(at->second);
            if (prev != m_last.end() && prev->first != c && !prev->second.open && s.first.stamp >= prev->second.stamp)
                owner = m_taken[c] = prev->second.owner;
        }
    }
    auto it = m_last.find(c);
    if (it != m_last.end()) it->second.open = it->second.open || s.ended;
    if (!s.any) return owner;
    if (it == m_last.end()) {
        if (m_last.size() >= kMaxClusters) return owner;
        it = m_last.emplace(c, Last{}).first;
    } else if (auto old = m_endsAt.find(it->second.end); old != m_endsAt.end() && old->second == c) {
        m_endsAt.erase(old);
    }
    it->second = Last{owner, s.last.end, s.last.stamp, it->second.open || s.ended};
    // Two clusters whose files end at the same place: neither is evidence.
    auto [at, fresh] = m_endsAt.try_emplace(s.last.end, c);
    if (!fresh && at->second != c) at->second = kNone;
    return owner;
}

void CFatDirContinuation::Clear() {
    m_taken.clear();
    m_last.clear();
    m_endsAt.clear();
}
