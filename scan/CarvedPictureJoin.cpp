#include "scan/CarvedPictureJoin.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>

namespace {

constexpr u64 kSector = 512;

// Clusters that files are known to hold, as disjoint runs [first, end).
class ClusterRuns {
public:
    void Add(u64 first, u64 end) {
        if (first >= end) return;
        auto it = m_runs.upper_bound(first);
        if (it != m_runs.begin() && std::prev(it)->second >= first) --it;
        while (it != m_runs.end() && it->first <= end) {
            first = std::min(first, it->first);
            end = std::max(end, it->second);
            it = m_runs.erase(it);
        }
        m_runs.emplace(first, end);
    }
    // The end of the run holding c, or 0 when none does.
    u64 EndOfRunAt(u64 c) const {
        auto it = m_runs.upper_bound(c);
        if (it == m_runs.begin()) return 0;
        --it;
        return c < it->second ? it->second : 0;
    }

private:
    std::map<u64, u64> m_runs;
};

// The verdict of the file-system engine on the same picture: broken, or
// whole with its length in one or two runs of the device. False when it
// tells nothing.
bool TakeVerdict(const KnownFile& f, u64 bpc, _FILE_NODE_& node) {
    if (f.health == FR_HEALTH_BROKEN) {
        node.bIsHealth = FR_HEALTH_BROKEN;
        return true;
    }
    if (f.health != 1) return false;
    std::vector<DataExtent> runs;
    for (const DataExtent& e : f.extents)
        if (!e.bSparse) AppendExtent(runs, e);
    if (runs.empty() || runs.size() > 2) return false;
    node.u64FileSize = f.size;
    node.nReserved = 0;
    node.nBytesPerCluster = kCarvedOneRun;
    if (runs.size() == 2) {
        const DataExtent &a = runs[0], &b = runs[1];
        if (a.u64Length % bpc || b.u64Offset < a.u64Offset + a.u64Length || (b.u64Offset - a.u64Offset) % bpc) return false;
        const FatPieces p{static_cast<u32>(a.u64Length / bpc), static_cast<u32>((b.u64Offset - a.u64Offset) / bpc - a.u64Length / bpc)};
        if (!FatPiecesFit(p.firstSteps, p.gapSteps)) return false;
        node.nBytesPerCluster = static_cast<u32>(bpc);
        node.nReserved = EncodeFatPieces(p);
    }
    return true;
}

}  // namespace

CarvedJoinCount JoinCarvedPictures(CFileTypeRecovery& carver, CFastFatRecovery& fat, u64 u64VolumeStart512,
                                   const std::vector<KnownFile>& known) {
    CarvedJoinCount count;
    CScanResultFileManager* store = carver.GetResultStore();
    const FatBootInfo& boot = fat.GetBootInfo();
    const u64 bpc = static_cast<u64>(boot.nBytesPerSector) * boot.nSectorsPerCluster;
    if (!store || bpc == 0 || bpc % kSector != 0 || boot.nClusterCount == 0) return count;
    const u64 dataStart = u64VolumeStart512 * kSector + boot.u64DataStartSector * boot.nBytesPerSector;
    const u64 lastCluster = static_cast<u64>(boot.nClusterCount) + 1;
    // Cluster c of the byte offset, rounded down (or up).
    auto clusterOf = [&](u64 offset, bool up) -> u64 {
        if (offset < dataStart) return 0;
        return (offset - dataStart + (up ? bpc - 1 : 0)) / bpc + 2;
    };
    ClusterRuns held;
    std::map<u64, const KnownFile*> starts;
    for (const KnownFile& f : known) {
        for (const DataExtent& e : f.extents)
            if (!e.bSparse && e.u64Length) held.Add(clusterOf(e.u64Offset, false), clusterOf(e.u64Offset + e.u64Length, true));
        if (u64 at = 0; FirstDataOffset(f.extents, at)) starts.emplace(at, &f);
    }
    auto isFree = [&](u64 c) {
        unsigned v = 1;
        return c >= 2 && c <= lastCluster && fat.GetNextClusterNO(static_cast<unsigned>(c), v) == 0 && v == 0;
    };
    FatWalk walk;
    walk.clusterBytes = static_cast<u32>(bpc);
    walk.byteOffset = [&](u32 c) { return dataStart + (static_cast<u64>(c) - 2) * bpc; };
    // The next free cluster that no known file holds.
    walk.next = [&](u32 c) -> u32 {
        for (u64 x = static_cast<u64>(c) + 1; x <= lastCluster;) {
            if (const u64 end = held.EndOfRunAt(x)) {
                x = end;
                continue;
            }
            if (isFree(x)) return static_cast<u32>(x);
            ++x;
        }
        return 0;
    };

    // The carved pictures that start on a cluster boundary, by start.
    std::map<u64, u32> pictures;
    const u32 nodes = store->GetNodeCount();
    _FILE_NODE_ node;
    for (u32 i = 1; i <= nodes; ++i) {
        if (store->ReadFileNode(i, &node) != 0 || node.bIsDir || node.nEngineType != ENGINE_CARVING) continue;
        if (CheckedKindOfName(node.szFileName) == CheckedKind::None || node.bIsHealth != 1) continue;
        const u64 at = node.u64RecordSector * kSector;
        if (at < dataStart || (at - dataStart) % bpc != 0 || clusterOf(at, false) > lastCluster) continue;
        // A file-system result starts here: its engine looked at the data.
        if (auto it = starts.find(at); it != starts.end()) {
            if (it->second->kind == CheckedKindOfName(node.szFileName) && TakeVerdict(*it->second, bpc, node))
                store->RewriteFileNode(i, node);
            continue;
        }
        pictures.emplace(node.u64RecordSector, i);
    }
    CDiskReader& reader = carver.GetDiskReader();
    for (const auto& [sector, index] : pictures) {
        if (store->ReadFileNode(index, &node) != 0) continue;
        const u64 first = clusterOf(sector * kSector, false);
        const u64 span = std::max<u64>(1, (node.u64FileSize + bpc - 1) / bpc);
        bool inQuestion = node.nBytesPerCluster == kCarvedOneRun && node.nReserved == kCarvedLengthOpen;
        for (u64 c = first; c < first + span && !inQuestion; ++c) inQuestion = !isFree(c) || held.EndOfRunAt(c);
        if (!inQuestion) {
            held.Add(first, first + span);
            continue;
        }
        ++count.looked;
        const CarvedPictureCheck check = CheckCarvedPicture(CheckedKindOfName(node.szFileName),
                                                            static_cast<u32>(first), node.u64FileSize, walk, reader,
                                                            static_cast<int>(kSector));
        node.bIsHealth = check.health;
        node.nReserved = 0;
        node.nBytesPerCluster = kCarvedOneRun;
        if (check.health == 1) {
            node.u64FileSize = check.length;
            if (check.pieces.gapSteps) {
                node.nBytesPerCluster = static_cast<u32>(bpc);
                node.nReserved = EncodeFatPieces(check.pieces);
            }
            for (u32 c : check.clusters) held.Add(c, static_cast<u64>(c) + 1);
        } else {
            ++count.broken;
        }
        store->RewriteFileNode(index, node);
    }
    return count;
}
