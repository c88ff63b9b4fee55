#include "scan/SweepRetry.h"

#include <algorithm>
#include <cstring>

namespace {

// Past this many separate stretches a new one widens the last: a medium
// that fails everywhere costs bounded memory and marks more, never fewer.
constexpr size_t kMaxBadRanges = 1 << 16;

// Sectors come in rising order, as the sweep meets them.
void NoteBadSector(SectorRanges& bad, u64 sector) {
    if (!bad.empty() && (sector <= bad.back().second || bad.size() >= kMaxBadRanges)) {
        bad.back().first = std::min(bad.back().first, sector);
        bad.back().second = std::max(bad.back().second, sector + 1);
    } else {
        bad.emplace_back(sector, sector + 1);
    }
}

}  // namespace

bool TouchesBadSectors(const SectorRanges& bad, u64 u64Offset, u64 u64Length, int nBytesPerSector) {
    if (u64Length == 0 || nBytesPerSector <= 0) return false;
    const u64 S = static_cast<u64>(nBytesPerSector);
    const u64 first = u64Offset / S;
    const u64 end = u64Length > ~u64{0} - u64Offset ? ~u64{0} : u64Offset + u64Length;
    const u64 last = (end - 1) / S;
    // The first stretch that ends after the first sector.
    auto it = std::upper_bound(bad.begin(), bad.end(), first,
                               [](u64 s, const std::pair<u64, u64>& r) { return s < r.second; });
    return it != bad.end() && it->first <= last;
}

u64 RereadWindow(CDiskReader& reader, const CSweepReader::Window& w, u64 n, int nBytesPerSector,
                 std::vector<unsigned char>& buf, SectorRanges* pBad) {
    const u64 S = static_cast<u64>(nBytesPerSector);
    // (Slack after the window: a record test may look one sector ahead.)
    buf.assign((n + 2) * S, 0);
    const u64 arrived = std::min<u64>(w.nRead, n);
    if (arrived && w.pData) std::memcpy(buf.data(), w.pData, arrived * S);
    u64 bad = 0;
    for (u64 i = arrived; i < n; ++i) {
        unsigned got = 0;
        if (reader.ReadData(buf.data() + i * S, 1, static_cast<long long>(w.u64Sector + i), nBytesPerSector, &got) !=
                0 ||
            got != 1) {
            std::memset(buf.data() + i * S, 0, S);
            ++bad;
            if (pBad) NoteBadSector(*pBad, w.u64Sector + i);
        }
    }
    return bad;
}
