// Cost of the two FAT sector tests that every swept sector passes through:
// IsFatFileRecord then IsFatFDTRecord, per 512-byte sector, on zero
// sectors, random sectors and sectors of real compressed files (the first
// JPEG, MP3/OGG and ZIP/JAR found under /usr/share, else random data).
// One iteration is one sector, so the reported time is ns per sector.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rules/FatRules.h"

namespace {

constexpr size_t kSectors = 4096;  // 2 MiB working set

std::vector<unsigned char> RandomData(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

// Bytes of the first files under /usr/share with one of the extensions.
std::vector<unsigned char> RealData(const std::vector<std::string>& exts, size_t want) {
    std::vector<unsigned char> out;
    std::error_code ec;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it("/usr/share", fs::directory_options::skip_permission_denied, ec), end;
         it != end && out.size() < want; it.increment(ec)) {
        if (ec) break;
        if (!it->is_regular_file(ec)) continue;
        std::string e = it->path().extension().string();
        bool hit = false;
        for (auto& x : exts) hit = hit || e == x;
        if (!hit || it->file_size(ec) < 4096) continue;
        std::ifstream f(it->path(), std::ios::binary);
        std::vector<unsigned char> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        d.resize(d.size() / 512 * 512);
        out.insert(out.end(), d.begin(), d.end());
    }
    if (out.size() < 512) return RandomData(want, 7);
    out.resize(std::min(out.size(), want));
    return out;
}

void Run(benchmark::State& state, const std::vector<unsigned char>& data) {
    const size_t n = data.size() / 512;
    (void)FatDateToTime(0);  // build the date table outside the timing
    size_t i = 0;
    long hits = 0;
    for (auto _ : state) {
        const unsigned char* s = data.data() + (i % n) * 512;
        hits += IsFatFileRecord(s) ? 1 : IsFatFDTRecord(s, 512);
        ++i;
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(state.iterations());
}

void BM_Zero(benchmark::State& st) {
    static const std::vector<unsigned char> d(kSectors * 512, 0);
    Run(st, d);
}
void BM_Random(benchmark::State& st) {
    static const auto d = RandomData(kSectors * 512, 1);
    Run(st, d);
}
void BM_Jpeg(benchmark::State& st) {
    static const auto d = RealData({".jpg", ".jpeg"}, kSectors * 512);
    Run(st, d);
}
void BM_Audio(benchmark::State& st) {
    static const auto d = RealData({".mp3", ".ogg", ".oga"}, kSectors * 512);
    Run(st, d);
}
void BM_Zip(benchmark::State& st) {
    static const auto d = RealData({".zip", ".jar", ".gz"}, kSectors * 512);
    Run(st, d);
}

}  // namespace

BENCHMARK(BM_Zero);
BENCHMARK(BM_Random);
BENCHMARK(BM_Jpeg);
BENCHMARK(BM_Audio);
BENCHMARK(BM_Zip);
BENCHMARK_MAIN();
