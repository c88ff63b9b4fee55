// Timed driver: fast scan of a 256 MiB FAT32 image holding 2,000 files in
// 20 folders, half of them deleted (one folder removed whole). Builds the
// image with mkfs.vfat and mtools in a temporary folder, then reports the
// wall time of Init + ScanDevice, of BuildBitMapInfo, the nodes found and
// the peak resident set size of this process. The removed folder's entry
// clusters lie between its files' data, so with its chain freed only its
// first cluster of entries is reachable by the fast scan (the deep scan
// picks up the rest as fragments).
//
//   bench_fat_scan [work-dir]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "fat/FastFatRecovery.h"

namespace {

int Run(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
    return rc;
}

long PeakRssKiB() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    std::string work;
    if (argc > 1) {
        work = argv[1];
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fr-fatscan-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) return 1;
        work = buf.data();
    }
    setenv("FOTORETTA_DATA_DIR", (work + "/data").c_str(), 1);
    const std::string img = work + "/fat32.img";
    const std::string src = work + "/src";
    setenv("MTOOLS_SKIP_CHECK", "1", 1);

    if (Run("rm -rf '" + src + "' '" + img + "' && mkdir -p '" + src + "'") != 0) return 1;
    std::mt19937 rng(42);
    std::string delList, deltree;
    for (int d = 0; d < 20; ++d) {
        char dir[32];
        std::snprintf(dir, sizeof dir, "folder%02d", d);
        Run("mkdir -p '" + src + "/" + dir + "'");
        for (int f = 0; f < 100; ++f) {
            char name[64];
            std::snprintf(name, sizeof name, "%s/Picture number %04d.jpg", dir, d * 100 + f);
            std::vector<char> data(1024 + rng() % (64 * 1024));
            for (auto& c : data) c = static_cast<char>(rng());
            std::ofstream(src + "/" + name, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
            if (d < 19 && (f & 1)) delList += " '::" + std::string(name) + "'";
        }
        if (d == 19) deltree = dir;
    }
    if (Run("mkfs.vfat -C -F 32 '" + img + "' 262144 > /dev/null") != 0) return 1;
    if (Run("mcopy -s -i '" + img + "' '" + src + "'/* :: ") != 0) return 1;
    if (Run("mdel -i '" + img + "'" + delList) != 0) return 1;
    if (Run("mdeltree -i '" + img + "' ::" + deltree) != 0) return 1;
    Run("rm -rf '" + src + "'");

    const long rssBefore = PeakRssKiB();
    auto t0 = std::chrono::steady_clock::now();
    CFastFatRecovery engine;
    std::wstring w = Utf8ToWide(img);
    int ret = engine.Init(w.data(), L'C');
    if (ret == 0) ret = engine.ScanDevice(nullptr);
    auto t1 = std::chrono::steady_clock::now();
    int bm = engine.BuildBitMapInfo();
    auto t2 = std::chrono::steady_clock::now();
    const double scanMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    const double bitmapMs = std::chrono::duration<double, std::milli>(t2 - t1).count();
    std::printf("fat32 256 MiB, 2000 files, 1050 deleted: scan %d in %.1f ms, bitmap %d in %.1f ms, "
                "%u nodes, peak RSS %ld KiB (before scan %ld KiB)\n",
                ret, scanMs, bm, bitmapMs, engine.GetLostFileCount(), PeakRssKiB(), rssBefore);
    if (argc <= 1) Run("rm -rf '" + work + "'");
    return ret;
}
