#include "fat/FatPictureJoin.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/ExtentReader.h"

namespace {

// The largest gap tried: as many clusters as the search may skip, and no
// more bytes than this.
constexpr size_t kMaxPoolGap = 4095;
constexpr u64 kMaxGapBytes = 16ULL << 20;

u32 ClampSteps(u64 n) { return static_cast<u32>(std::min<u64>(n, kFatMaxSteps)); }

// The clusters at the given walk steps, read into one buffer (shorter when
// the device does not give them all).
std::vector<unsigned char> ReadSteps(const std::vector<u32>& clusters, const std::vector<size_t>& steps,
                                     const FatWalk& walk, CDiskReader& reader, int bytesPerSector) {
    std::vector<DataExtent> extents;
    for (size_t s : steps) AppendExtent(extents, {walk.byteOffset(clusters[s]), walk.clusterBytes, false});
    std::vector<unsigned char> buf(steps.size() * walk.clusterBytes);
    u64 got = 0;
    CExtentReader(reader, bytesPerSector).CopyToBuffer(extents, buf.size(), buf.data(), got);
    buf.resize(got);
    return buf;
}

// The file's n clusters under a layout of the pool, as pieces along the
// walk: nothing when they are more than two or too long to keep.
std::optional<FatPieces> AsWalkPieces(const std::vector<size_t>& pool, const TwoPieces& layout, size_t n) {
    size_t at = 0;
    auto step = [&](size_t i) { return pool[i < layout.firstClusters ? i : i + layout.gapClusters]; };
    if (step(0) != 0) return {};
    for (size_t i = 1; i < n; ++i) {
        if (step(i) == step(i - 1) + 1) continue;
        if (at != 0) return {};
        at = i;
    }
    if (at == 0) return FatPieces{ClampSteps(n), 0};
    const size_t gap = step(at) - step(at - 1) - 1;
    if (!FatPiecesFit(at, gap)) return {};
    return FatPieces{static_cast<u32>(at), static_cast<u32>(gap)};
}

}  // namespace

void AddFatClaim(FatClaims& claims, u32 firstCluster, u64 fileSize, u32 clusterBytes) {
    if (clusterBytes == 0 || fileSize == 0) return;
    const u32 n = ClampSteps((fileSize + clusterBytes - 1) / clusterBytes);
    auto [it, added] = claims.try_emplace(firstCluster, FatClaim{n, 0, 0});
    if (!added && it->second.gapSteps == 0) it->second.firstSteps = std::min(it->second.firstSteps, n);
}

FatPictureCheck CheckFatPicture(CheckedKind kind, u32 firstCluster, u64 fileSize, const FatWalk& walk,
                                CDiskReader& reader, int bytesPerSector, const FatClaims& others) {
    FatPictureCheck out;
    const u64 bpc = walk.clusterBytes;
    if (kind == CheckedKind::None || fileSize == 0 || bpc == 0) return out;
    const size_t n = static_cast<size_t>((fileSize + bpc - 1) / bpc);
    out.claim = {ClampSteps(n), 0, 0};
    if (fileSize > kFatMaxCheckedBytes) {
        out.health = FR_HEALTH_UNCONFIRMED;
        return out;
    }
    const size_t maxGap = std::min<u64>(kMaxPoolGap, std::max<u64>(1, kMaxGapBytes / bpc));
    const size_t wholeWalk = n + maxGap;
    const size_t cap = wholeWalk + kFatMaxSteps;
    // The walk, with the steps that other deleted files are taken to hold
    // marked; past the file's own length only when it does not check out,
    // then as far as the pool without them reaches the largest gap.
    std::vector<u32> clusters{firstCluster};
    std::vector<char> claimed(cap, 0);
    size_t unclaimed = 1;
    bool anyClaimed = false;
    auto mark = [&](size_t from, size_t count) {
        for (size_t i = from; i < std::min(cap, from + count); ++i) claimed[i] = 1;
    };
    auto grow = [&](size_t steps, size_t pool) {
        while (clusters.size() < std::min(cap, steps) || (unclaimed < pool && clusters.size() < cap)) {
            const u32 c = walk.next(clusters.back());
            if (c == 0) return;
            const size_t i = clusters.size();
            clusters.push_back(c);
            if (auto it = others.find(c); it != others.end() && c != firstCluster) {
                const FatClaim& k = it->second;
                mark(i, k.firstSteps);
                mark(i + k.firstSteps + k.gapSteps, k.restSteps);
            }
            if (!claimed[i]) ++unclaimed;
            else anyClaimed = anyClaimed || unclaimed < wholeWalk;
        }
    };
    grow(n, 0);
    if (clusters.size() < n) {
        out.health = FR_HEALTH_BROKEN;
        return out;
    }
    std::vector<size_t> steps(n);
    for (size_t i = 0; i < n; ++i) steps[i] = i;
    const auto first = ReadSteps(clusters, steps, walk, reader, bytesPerSector);
    if (first.size() >= fileSize &&
        FirstBadByte(kind, std::span<const unsigned char>(first).first(fileSize)) == kDataValid)
        return out;
    grow(wholeWalk, wholeWalk);
    JoinLimits limits;
    limits.maxGapClusters = maxGap;
    auto tryPool = [&](const std::vector<size_t>& pool) -> std::optional<FatPieces> {
        // The steps the pool shares with the file's own first ones were read above.
        size_t known = 0;
        while (known < pool.size() && pool[known] == known && (known + 1) * bpc <= first.size()) ++known;
        auto data = first;
        data.resize(known * bpc);
        const auto rest = ReadSteps(clusters, {pool.begin() + static_cast<std::ptrdiff_t>(known), pool.end()}, walk,
                                    reader, bytesPerSector);
        data.insert(data.end(), rest.begin(), rest.end());
        const auto layout = JoinTwoPieces(kind, data, static_cast<size_t>(bpc), fileSize, limits);
        if (!layout) return {};
        return AsWalkPieces(pool, *layout, n);
    };
    std::optional<FatPieces> found;
    if (anyClaimed) {
        std::vector<size_t> pool;
        for (size_t i = 0; i < clusters.size() && pool.size() < wholeWalk; ++i)
            if (!claimed[i]) pool.push_back(i);
        found = tryPool(pool);
    }
    if (!found) {
        steps.resize(std::min(clusters.size(), wholeWalk));
        for (size_t i = n; i < steps.size(); ++i) steps[i] = i;
        found = tryPool(steps);
    }
    if (!found || found->gapSteps == 0) {
        out.health = FR_HEALTH_BROKEN;
        out.claim = {};
        return out;
    }
    out.reserved = EncodeFatPieces(*found);
    out.claim = {found->firstSteps, found->gapSteps, ClampSteps(n - found->firstSteps)};
    return out;
}

void CheckStoredPicture(CScanResultFileManager& store, u32 index, _FILE_NODE_& node, FatWalk& walk,
                        CDiskReader& reader, int bytesPerSector, FatClaims& claims) {
    if (store.ReadFileNode(index, &node) != 0) return;
    walk.clusterBytes = node.nBytesPerCluster;
    const FatPictureCheck check = CheckFatPicture(CheckedKindOfName(node.szFileName), node.uClusterNO,
                                                  node.u64FileSize, walk, reader, bytesPerSector, claims);
    claims[node.uClusterNO] = check.claim;
    node.bIsHealth = check.health;
    node.nReserved = check.reserved;
    store.RewriteFileNode(index, node);
}

CarvedPictureCheck CheckCarvedPicture(CheckedKind kind, u32 firstCluster, u64 guessBytes, const FatWalk& walk,
                                      CDiskReader& reader, int bytesPerSector) {
    CarvedPictureCheck out;
    const u64 bpc = walk.clusterBytes;
    if (kind == CheckedKind::None || bpc == 0) return out;
    const u64 guess = std::max<u64>(guessBytes, bpc);
    // Well past the carver's length, and past the largest gap after it.
    const size_t maxGap = std::min<u64>(kMaxPoolGap, std::max<u64>(1, kMaxGapBytes / bpc));
    const u64 poolBytes = std::min(kFatMaxCheckedBytes, std::max(2 * guess, guess + (1ULL << 20)));
    const size_t want = static_cast<size_t>(poolBytes / bpc) + maxGap;
    std::vector<u32> clusters{firstCluster};
    while (clusters.size() < want)
        if (const u32 c = walk.next(clusters.back())) clusters.push_back(c);
        else break;
    std::vector<size_t> steps(clusters.size());
    for (size_t i = 0; i < steps.size(); ++i) steps[i] = i;
    const auto data = ReadSteps(clusters, steps, walk, reader, bytesPerSector);
    JoinLimits limits;
    limits.maxGapClusters = maxGap;
    const auto found = JoinOpenEnded(kind, data, static_cast<size_t>(bpc), limits);
    // A picture longer than the pool may still be whole.
    out.health = guess > kFatMaxCheckedBytes ? FR_HEALTH_UNCONFIRMED : FR_HEALTH_BROKEN;
    if (!found || found->length == 0) return out;
    const size_t n = static_cast<size_t>((found->length + bpc - 1) / bpc);
    const TwoPieces& l = found->layout;
    for (size_t i = 0; i < n; ++i) {
        const size_t step = l.gapClusters == 0 || i < l.firstClusters ? i : i + l.gapClusters;
        if (step >= clusters.size()) return out;
        out.clusters.push_back(clusters[step]);
    }
    // On the device: one run, or two with the other clusters between them.
    size_t breaks = 0, at = 0;
    for (size_t i = 1; i < n; ++i)
        if (out.clusters[i] != out.clusters[i - 1] + 1) ++breaks, at = i;
    if (breaks > 1 || (breaks == 1 && (out.clusters[at] < out.clusters[at - 1] ||
                                      !FatPiecesFit(at, out.clusters[at] - out.clusters[at - 1] - 1)))) {
        out.clusters.clear();
        return out;
    }
    if (breaks == 1) out.pieces = {static_cast<u32>(at), out.clusters[at] - out.clusters[at - 1] - 1};
    out.health = 1;
    out.length = found->length;
    return out;
}
