// Full-scan sweep throughput against the raw read rate of the same file.
//
//   bench_deep_scan make DIR     builds the images in DIR (once)
//   bench_deep_scan run DIR      measures them all and prints a table
//   bench_deep_scan sweep IMAGE [--no-holes]   one full scan (for timing from outside)
//   bench_deep_scan raw IMAGE    one read() pass in 1 MiB blocks
//   bench_deep_scan rate IMAGE [RUNS]   the full scan's rate against the raw
//                                read rate, runs taken in turn (default 5):
//                                medians, min and max of both, the ratio, and
//                                the rate the parsing thread alone could keep
//                                up with (its processor time)
//                                (a 3 GiB file of random bytes is the yardstick;
//                                it is made when IMAGE does not exist)
//
// Images: (a) 4 GiB of zeros written out (no holes), (b) 1 GiB of random
// bytes, (c) a 1 GiB FAT32 card full of real photographs with half of them
// deleted, and sparse images of 8, 16 and 32 GiB (all holes but 21 MB of
// photographs at the start) swept with hole skipping off to show linear
// time, and the 32 GiB one again with it on.
// Each sweep follows a raw read of the same file, which also warms the cache.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "RawRead.h"
#include "scan/FileRecoveryFactory.h"
#include "scan/ProfessionalRecovery.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace {

using Clock = std::chrono::steady_clock;

int Sh(const std::string& cmd) {
    int r = std::system(cmd.c_str());
    if (r != 0) std::fprintf(stderr, "failed (%d): %.200s\n", r, cmd.c_str());
    return r;
}

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

long long FileBytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    long long n = lseek(fd, 0, SEEK_END);
    close(fd);
    return n;
}

// Processor time of the calling thread, which parses what the sweep's
// reading thread delivers.
double ThreadCpuSeconds() {
    struct rusage ru {};
    getrusage(RUSAGE_THREAD, &ru);
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(ru.ru_utime) + s(ru.ru_stime);
}

struct SweepResult {
    double seconds = -1;
    double parseCpu = -1;  // the parsing thread's processor seconds
    CProfessionalRecovery::SweepStats stats;
    unsigned files = 0;
};

SweepResult Sweep(const std::string& path, bool holes) {
    SweepResult r;
    CProfessionalRecovery e(CFileRecoveryFactory::FastEngines());
    std::wstring w = Utf8ToWide(path);
    if (e.Init(w.data(), L'C') != 0 && !e.GetFastEngine()) {
        // The deep NTFS engine's answer; the scan still runs.
    }
    e.SetNotLoadLogFile();
    e.SetSkipHoles(holes);
    e.InitCallBack(nullptr, nullptr, nullptr, 100);
    auto t = Clock::now();
    const double cpu = ThreadCpuSeconds();
    e.ScanDevice(nullptr);
    r.seconds = Seconds(t);
    r.parseCpu = ThreadCpuSeconds() - cpu;
    r.stats = e.GetSweepStats();
    r.files = e.GetLostFileCount();
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Raw read and full scan of one file in turn, warm; rates in MB/s.
int Rate(const std::string& path, int runs) {
    if (FileBytes(path) <= 0 && Sh("head -c 3G /dev/urandom > '" + path + "'") != 0) return 1;
    const double mb = static_cast<double>(FileBytes(path)) / 1e6;
    RawReadSeconds(path);  // warm the cache
    std::vector<double> raw, sweep, ratio, parse;
    for (int i = 0; i < runs; ++i) {
        raw.push_back(mb / RawReadSeconds(path));
        const SweepResult r = Sweep(path, true);
        sweep.push_back(mb / r.seconds);
        ratio.push_back(sweep.back() / raw.back());
        parse.push_back(mb / std::max(r.parseCpu, 1e-6));
    }
    const auto row = [](const char* label, const std::vector<double>& v, double scale, const char* unit) {
        std::printf("%-10s median %8.1f %s  min %8.1f  max %8.1f\n", label, Median(v) * scale, unit,
                    *std::min_element(v.begin(), v.end()) * scale, *std::max_element(v.begin(), v.end()) * scale);
    };
    std::printf("%s: %.0f MB, %d runs\n", path.c_str(), mb, runs);
    row("raw read", raw, 1, "MB/s");
    row("full scan", sweep, 1, "MB/s");
    row("ratio", ratio, 100, "%   ");
    // What the parsing thread alone could keep up with: the full scan's
    // ceiling where reading costs nothing (a machine that copies faster).
    row("parsing", parse, 1, "MB/s");
    return 0;
}

long PeakRssMiB() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
}

// Real photographs shipped by Debian, as one list of paths.
std::vector<std::string> Photos() {
    std::vector<std::string> v;
    FILE* p = popen("find /usr/share/desktop-base /usr/share/backgrounds /usr/share/wallpapers /usr/share/plasma "
                    "-iname '*.jpg' -size +20k 2>/dev/null | sort | head -60",
                    "r");
    char line[4096];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && s.back() == '\n') s.pop_back();
        v.push_back(s);
    }
    if (p) pclose(p);
    return v;
}

int Make(const std::string& dir) {
    Sh("mkdir -p '" + dir + "'");
    const std::vector<std::string> photos = Photos();
    if (photos.empty()) {
        std::fprintf(stderr, "no photographs found under /usr/share\n");
        return 1;
    }
    if (FileBytes(dir + "/zeros4g.img") != (4LL << 30))
        Sh("dd if=/dev/zero of='" + dir + "/zeros4g.img' bs=1M count=4096 status=none");
    if (FileBytes(dir + "/random1g.img") != (1LL << 30))
        Sh("head -c 1G /dev/urandom > '" + dir + "/random1g.img'");
    // (c) photographs copied in until the card is nearly full, then every
    // second one deleted.
    const std::string card = dir + "/photos1g.img";
    if (FileBytes(card) != (1LL << 30)) {
        const std::string staging = dir + "/staging";
        Sh("rm -rf '" + staging + "' && mkdir -p '" + staging + "/DCIM'");
        long long total = 0;
        int n = 0;
        std::string odd;
        std::vector<std::string> odds;  // one deletion command per folder
        // 200 to a folder, as cameras do (and as mtools copes with).
        while (total < 960LL << 20) {
            const std::string& src = photos[static_cast<size_t>(n) % photos.size()];
            char name[64];
            std::snprintf(name, sizeof name, "DCIM/%03dCANON/IMG_%04d.JPG", 100 + n / 200, n % 10000);
            if (n % 200 == 0) Sh("mkdir -p '" + staging + "/" + std::string(name).substr(0, 13) + "'");
            if (Sh("cp '" + src + "' '" + staging + "/" + name + "'") != 0) return 1;
            total += FileBytes(src);
            if (n % 2) odd += std::string(" ::") + name;
            ++n;
            if (n % 200 == 0) {
                odds.push_back(odd);
                odd.clear();
            }
        }
        odds.push_back(odd);
        Sh("rm -f '" + card + "' && truncate -s 1G '" + card + "' && mkfs.vfat -F 32 '" + card + "' >/dev/null");
        Sh("mcopy -s -i '" + card + "' '" + staging + "/DCIM' ::");
        for (const std::string& o : odds)
            if (!o.empty()) Sh("mdel -i '" + card + "'" + o);
        Sh("rm -rf '" + staging + "'");
        std::printf("(c) %d photographs, %lld MB, every second one deleted\n", n, total >> 20);
    }
    // Sparse images: photographs over the first 21 MB, holes elsewhere.
    for (int g : {8, 16, 32}) {
        const std::string img = dir + "/sparse" + std::to_string(g) + "g.img";
        if (FileBytes(img) == (static_cast<long long>(g) << 30)) continue;
        Sh("rm -f '" + img + "' && truncate -s " + std::to_string(g) + "G '" + img + "'");
        long long off = 1 << 20;
        for (size_t i = 0; off < (22LL << 20); ++i) {
            const std::string& src = photos[i % photos.size()];
            Sh("dd if='" + src + "' of='" + img + "' bs=512 seek=" + std::to_string(off / 512) +
               " conv=notrunc,sparse status=none");
            off += (FileBytes(src) + 4095) / 4096 * 4096;
        }
    }
    return 0;
}

void Row(const char* label, const std::string& path, bool holes) {
    const long long bytes = FileBytes(path);
    if (bytes <= 0) {
        std::printf("%-34s missing (run 'make' first)\n", label);
        return;
    }
    RawReadSeconds(path);  // warm the cache
    const double raw = RawReadSeconds(path);
    const SweepResult s = Sweep(path, holes);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%-34s %7.0f MB  raw %8.0f MB/s  sweep %8.0f MB/s  %5.0f %%  %6.2f s  %6u files  holes %5.1f %%  "
                "peak RSS %ld MiB\n",
                label, mb, mb / raw, mb / s.seconds, 100.0 * raw / s.seconds, s.seconds, s.files,
                s.stats.u64Scanned ? 100.0 * static_cast<double>(s.stats.u64HoleSectors) /
                                         static_cast<double>(s.stats.u64Scanned)
                                   : 0.0,
                PeakRssMiB());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s make|run DIR | sweep IMAGE [--no-holes] | raw IMAGE | rate IMAGE [RUNS]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1], arg = argv[2];
    // Scan logs go to a folder of their own.
    std::string logsTemplate = (std::filesystem::temp_directory_path() / "fr-bench-deep-XXXXXX").string();
    std::vector<char> logsBuf(logsTemplate.begin(), logsTemplate.end());
    logsBuf.push_back(0);
    const char* logs = mkdtemp(logsBuf.data());
    if (!logs) return 1;
    setenv("FOTORETTA_DATA_DIR", logs, 1);
    int rc = 0;
    if (mode == "make") {
        rc = Make(arg);
    } else if (mode == "raw") {
        const double s = RawReadSeconds(arg);
        std::printf("%.0f MB/s\n", static_cast<double>(FileBytes(arg)) / 1e6 / s);
    } else if (mode == "sweep") {
        const bool holes = !(argc > 3 && std::strcmp(argv[3], "--no-holes") == 0);
        const SweepResult s = Sweep(arg, holes);
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        std::printf("%.2f s (user %.2f s, system %.2f s), %u files, peak RSS %ld MiB\n", s.seconds,
                    static_cast<double>(ru.ru_utime.tv_sec) + ru.ru_utime.tv_usec / 1e6,
                    static_cast<double>(ru.ru_stime.tv_sec) + ru.ru_stime.tv_usec / 1e6, s.files, PeakRssMiB());
    } else if (mode == "rate") {
        rc = Rate(arg, argc > 3 ? std::max(1, std::atoi(argv[3])) : 5);
    } else if (mode == "run") {
        Row("(a) 4 GiB of zeros", arg + "/zeros4g.img", true);
        Row("(b) 1 GiB of random bytes", arg + "/random1g.img", true);
        Row("(c) 1 GiB FAT32 card of photos", arg + "/photos1g.img", true);
        for (int g : {8, 16, 32}) {
            const std::string label = "sparse " + std::to_string(g) + " GiB, holes read";
            Row(label.c_str(), arg + "/sparse" + std::to_string(g) + "g.img", false);
        }
        Row("sparse 32 GiB, holes skipped", arg + "/sparse32g.img", true);
    } else {
        rc = 2;
    }
    Sh(std::string("rm -rf '") + logs + "'");
    return rc;
}
