// Cost of the recognition table walk per 512-byte sector, on zero sectors,
// random sectors and sectors of real compressed files (a JPEG photograph,
// Ogg audio and gzip data shipped by Debian). Run with
// --benchmark_counters_tabular=true; "per_sector" is the figure of merit.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "rules/FatRules.h"

namespace {

constexpr size_t kSectors = 8192;

std::vector<unsigned char> ReadAll(const char* path) {
    std::vector<unsigned char> v;
    FILE* f = std::fopen(path, "rb");
    if (!f) return v;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
}

std::vector<unsigned char> RealData() {
    static const char* const files[] = {
        "/usr/share/desktop-base/joy-theme/login/sddm-preview.jpg",
        "/usr/share/desktop-base/lines-theme/login/sddm-preview.jpg",
        "/usr/share/sounds/freedesktop/stereo/complete.oga",
        "/usr/share/sounds/freedesktop/stereo/bell.oga",
        "/usr/share/common-licenses/GPL-3",
    };
    std::vector<unsigned char> all;
    for (const char* p : files) {
        std::vector<unsigned char> v = ReadAll(p);
        all.insert(all.end(), v.begin(), v.end());
    }
    // Repeat to the wanted size, starting at sector boundaries of the files.
    if (all.empty()) all.assign(512, 0x55);
    std::vector<unsigned char> out;
    while (out.size() < kSectors * 512) out.insert(out.end(), all.begin(), all.end());
    out.resize(kSectors * 512);
    return out;
}

std::vector<unsigned char> Data(int kind) {
    std::vector<unsigned char> v(kSectors * 512, 0);
    if (kind == 1) {
        std::mt19937 rng(12345);
        for (auto& b : v) b = static_cast<unsigned char>(rng());
    } else if (kind == 2) {
        v = RealData();
    }
    return v;
}

void BM_TableWalk(benchmark::State& state) {
    const std::vector<unsigned char> data = Data(static_cast<int>(state.range(0)));
    CFileTypeJudge judge;
    long long hits = 0;
    for (auto _ : state) {
        for (size_t s = 0; s < kSectors; ++s) {
            int t = judge.GetDataBufType(data.data() + s * 512, 512);
            hits += t != FT_NONE;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSectors);
    // Seconds per sector, printed with an SI prefix ("20n" is 20 ns).
    state.counters["per_sector"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSectors,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["hits"] = static_cast<double>(hits);
    static const char* const names[] = {"zero", "random", "real files"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_TableWalk)->Arg(0)->Arg(1)->Arg(2);

void BM_FileSystemSector(benchmark::State& state) {
    const std::vector<unsigned char> data = Data(static_cast<int>(state.range(0)));
    long long hits = 0;
    for (auto _ : state) {
        for (size_t s = 0; s < kSectors; ++s) hits += CFileTypeJudge::IsFileSystemSector(data.data() + s * 512, 512);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSectors);
    state.counters["per_sector"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSectors,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    static const char* const names[] = {"zero", "random", "real files"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_FileSystemSector)->Arg(0)->Arg(1)->Arg(2);

// The whole per-sector chain of a deep sweep's FAT and carving tests:
// directory start, directory fragment, then the table walk.
void BM_SweepChain(benchmark::State& state) {
    const std::vector<unsigned char> data = Data(static_cast<int>(state.range(0)));
    CFileTypeJudge judge;
    long long hits = 0;
    for (auto _ : state) {
        for (size_t s = 0; s < kSectors; ++s) {
            const unsigned char* p = data.data() + s * 512;
            if (IsFatFileRecord(p) || IsFatFDTRecord(p, 512)) ++hits;
            else hits += judge.GetDataBufType(p, 512) != FT_NONE;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSectors);
    state.counters["per_sector"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSectors,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    static const char* const names[] = {"zero", "random", "real files"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_SweepChain)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
