// Timed driver for the fast NTFS scan: builds a 256 MiB NTFS volume with
// 5,000 files in 50 folders through ntfs-3g, deletes them, then measures
// the fast scan's wall time, the bitmap walk and the peak resident memory.
// Needs root, mkntfs, ntfs-3g and FUSE. Usage: bench_ntfs_fast [work-dir]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "ntfs/FastNtfsRecovery.h"

namespace {

int Run(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string work = argc > 1 ? argv[1] : "/tmp/fr-bench-ntfs";
    const std::string img = work + "/vol.img", mnt = work + "/mnt";
    Run("fusermount -u '" + mnt + "' 2>/dev/null; rm -rf '" + work + "' && mkdir -p '" + mnt + "' '" + work + "/data'");
    if (Run("truncate -s 256M '" + img + "' && mkntfs -q -F -Q -c 4096 '" + img + "' >/dev/null 2>&1") != 0 ||
        Run("ntfs-3g -o no_def_opts,silent '" + img + "' '" + mnt + "'") != 0) {
        std::fprintf(stderr, "cannot make or mount the NTFS volume (root, ntfs-3g and FUSE needed)\n");
        return 1;
    }
    // 5,000 files: sizes from 200 bytes (resident) to 24 KiB, in 50 folders.
    const std::string script =
        "cd '" + mnt + "' && head -c 24576 /dev/urandom > /tmp/fr-bench-src.bin && "
        "for d in $(seq 1 50); do mkdir d$d; for f in $(seq 1 100); do "
        "head -c $(( (f * 997) % 24576 + 200 )) /tmp/fr-bench-src.bin > d$d/file$f.dat; done; done";
    auto t0 = std::chrono::steady_clock::now();
    {
        FILE* f = std::fopen((work + "/make.sh").c_str(), "w");
        if (!f) return 1;
        std::fputs(script.c_str(), f);
        std::fclose(f);
    }
    if (Run("bash '" + work + "/make.sh'") != 0) return 1;
    Run("cd '" + mnt + "' && rm -f d*/file*.dat && rm -rf d1 d2 d3 d4 d5");
    Run("sync; fusermount -u '" + mnt + "'");
    auto t1 = std::chrono::steady_clock::now();
    std::printf("volume built in %.1f s\n", std::chrono::duration<double>(t1 - t0).count());

    // Drop the image's pages from the cache so that the scan reads from disk.
    {
        int fd = open(img.c_str(), O_RDONLY);
        if (fd >= 0) {
            fdatasync(fd);
            posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
        }
    }
    setenv("FOTORETTA_DATA_DIR", (work + "/data").c_str(), 1);
    const long rssBefore = PeakRssKiB();
    CFastNtfsRecovery engine;
    std::wstring path = Utf8ToWide(img);
    auto s0 = std::chrono::steady_clock::now();
    int rc = engine.Init(path.data(), L'C');
    if (rc == 0) rc = engine.ScanDevice(nullptr);
    auto s1 = std::chrono::steady_clock::now();
    if (rc != 0) {
        std::fprintf(stderr, "scan failed: %d\n", rc);
        return 1;
    }
    std::printf("fast scan (image not cached): %u nodes in %.3f s\n", engine.GetLostFileCount(),
                std::chrono::duration<double>(s1 - s0).count());
    auto b0 = std::chrono::steady_clock::now();
    rc = engine.BuildBitMapInfo();
    u64 sector = 0, count = 0, free = 0;
    int stretches = 0;
    while (rc == 0 && engine.GetUnUsedSectorCount(sector, count) && count) {
        free += count;
        sector += count;
        ++stretches;
    }
    auto b1 = std::chrono::steady_clock::now();
    std::printf("bitmap: %d free stretches, %llu free sectors in %.3f s\n", stretches,
                static_cast<unsigned long long>(free), std::chrono::duration<double>(b1 - b0).count());
    std::printf("peak RSS: %ld KiB (%ld KiB before the scan)\n", PeakRssKiB(), rssBefore);
    Run("rm -rf '" + work + "'");
    return 0;
}
