// Carving throughput: the whole-image carve driver over a 64 MiB image that
// is (a) all zeros, (b) random bytes, (c) packed with real files shipped by
// Debian (photographs, wallpapers, sounds, compressed texts) at sector
// boundaries, (d) packed the same way with video, music and photo
// containers made by ffmpeg and ImageMagick, (e) one file of every format
// the tests' toolkit can make, each followed by random bytes, the set
// repeated to the image size (where the tests' toolkit is built). The
// compressed texts of (c) are changelogs, about 3,500 gzip streams per
// image, each inflated whole to find its end. The image is read once
// beforehand so the page cache is warm; the medians of five runs are
// reported in MB/s, next to the rate of a plain read of the same image and
// the processor time of the carve (both threads: the sweep's read-ahead and
// the walks), which a machine shared with other work leaves unchanged.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include <time.h>
#include <unistd.h>

#include "RawRead.h"
#ifdef FR_BENCH_TESTKIT
#include "support/CarveKit.h"
#include "support/TestKit.h"
#endif
#include "scan/CarveDriver.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace {

constexpr size_t kImageBytes = 64u << 20;

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::vector<unsigned char> v;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return v;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
}

// The files that a listing command names, packed at sector boundaries and
// repeated up to the image size. The pictures and sounds are listed whole and
// the compressed texts capped, so that every kind is in the mix whatever the
// number of packages installed (one sorted list cut at 200 names held no
// sounds at all).
const char kDebianFiles[] =
    "{ ls /usr/share/desktop-base/*/login/*.jpg /usr/share/desktop-base/*/grub/*.png "
    "/usr/share/sounds/freedesktop/stereo/*.oga; ls /usr/share/doc/*/changelog.Debian.gz | head -139; } 2>/dev/null";
std::vector<unsigned char> RealFiles(const std::string& list = kDebianFiles) {
    std::vector<std::string> paths;
    FILE* p = popen(list.c_str(), "r");
    if (p) {
        char line[4096];
        while (std::fgets(line, sizeof line, p)) {
            std::string s(line);
            while (!s.empty() && s.back() == '\n') s.pop_back();
            paths.push_back(s);
        }
        pclose(p);
    }
    std::vector<unsigned char> img;
    for (size_t round = 0; img.size() < kImageBytes && !paths.empty(); ++round)
        for (const std::string& s : paths) {
            std::vector<unsigned char> f = ReadAll(s);
            img.insert(img.end(), f.begin(), f.end());
            img.resize((img.size() + 511) / 512 * 512, 0);
            if (img.size() >= kImageBytes) break;
        }
    img.resize(kImageBytes, 0);
    return img;
}

// Phone, camera and music containers made with ffmpeg and ImageMagick into
// dir: MP4, MOV, M4A, WebM, Ogg, Opus, FLAC, AIFF, HEIC, AVIF and WebP.
std::vector<unsigned char> Containers(const std::string& dir) {
    const std::string d = dir + "/containers";
    const std::string cmd =
        "mkdir -p '" + d + "' && cd '" + d + "' && F='ffmpeg -loglevel error -y -f lavfi -i' && "
        "V='testsrc=size=320x240:rate=15' && A='anoisesrc=d=3:a=0.1' && "
        "P=/usr/share/desktop-base/joy-theme/login/sddm-preview.jpg && "
        "$F $V -t 3 -c:v libx264 a.mp4 && $F $V -t 2 -c:v mpeg4 -f mov b.mov && $F $A -c:a aac -f ipod c.m4a && "
        "$F $V -t 2 -c:v libvpx d.webm && $F $A -c:a libvorbis e.ogg && $F $A -c:a libopus f.opus && "
        "$F $A -c:a flac g.flac && $F $A -f aiff h.aiff && convert $P -quality 90 i.heic && "
        "convert $P j.avif && convert $P k.webp";
    if (std::system(cmd.c_str()) != 0) return {};
    return RealFiles("ls '" + d + "'/*");
}

// One file of every format, each followed by random bytes to the sector end
// and a few sectors more, as on flash media written many times; the set is
// repeated (with other random bytes) up to the image size.
std::vector<unsigned char> EveryFormat() {
    std::vector<unsigned char> img;
#ifdef FR_BENCH_TESTKIT
    static const char* const kKinds[] = {
        "jpg", "exif.jpg", "thumb.jpg", "mpf.jpg", "png", "gif", "bmp", "tif", "psd", "ico", "cr2.raw", "nef.raw",
        "arw.raw", "dng.raw", "orf.raw", "rw2.raw", "cr3", "heic", "avif", "webp", "mp3", "plain.mp3", "bare.mp3",
        "ape.mp3", "mp2", "wav", "mid", "aiff", "m4a", "ogg", "oga", "oggflac", "opus", "flac", "wma", "avi", "mp4",
        "mov", "mkv", "webm", "live.webm", "flv", "mpg", "ts", "m2ts", "3gp", "wmv", "rm", "mxf", "mmf", "swf",
        "pdf", "lin.pdf", "docx", "xlsx", "pptx", "doc", "v4.doc", "xls", "ppt", "zip", "comment.zip", "7z", "gz",
        "gz9", "tar", "xz", "bz2", "cab", "sqlite", "exe", "dll", "ttf", "font.ttf", "otf", "txt", "html", "svg",
        "rtf", "csv"};
    std::vector<std::vector<unsigned char>> files;
    for (const char* k : kKinds) {
        std::vector<unsigned char> d = carvekit::SampleBytes(k);
        if (!d.empty()) files.push_back(std::move(d));
    }
    uint32_t seed = 100;
    while (!files.empty() && img.size() < kImageBytes)
        for (const auto& d : files) {
            img.insert(img.end(), d.begin(), d.end());
            const auto junk = testkit::RandomBytes((512 - img.size() % 512) % 512 + 512 * (2 + seed % 5), seed);
            ++seed;
            img.insert(img.end(), junk.begin(), junk.end());
            if (img.size() >= kImageBytes) break;
        }
    img.resize(kImageBytes, 0);
#endif
    return img;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds of the carve, of its processor time and of a plain read of the
// same image, medians of five runs each.
double Run(const std::string& path, u64& files, double& cpuSeconds, double& readSeconds) {
    std::vector<double> carve, cpu, read;
    for (int i = 0; i < 5; ++i) {
        CFileTypeRecovery engine;
        std::wstring w = Utf8ToWide(path);
        if (engine.Init(w.data(), L'C') != 0) return -1;
        CarveStats st;
        const double c0 = CpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        int r = CarveImage(engine, nullptr, nullptr, nullptr, &st);
        auto t1 = std::chrono::steady_clock::now();
        if (r != 0) return -1;
        files = st.u64FilesFound;
        carve.push_back(std::chrono::duration<double>(t1 - t0).count());
        cpu.push_back(CpuSeconds() - c0);
        read.push_back(RawReadSeconds(path));
    }
    cpuSeconds = Median(cpu);
    readSeconds = Median(read);
    return Median(carve);
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/fr-bench-carve-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) return 1;
    setenv("FOTORETTA_DATA_DIR", dir, 1);
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
    const std::string path = std::string(dir) + "/img.raw";
    const char* names[] = {"zero-filled", "random", "real files", "containers", "every format"};
    for (int kind = 0; kind < 5; ++kind) {
        std::vector<unsigned char> img(kImageBytes, 0);
        if (kind == 1) {
            std::mt19937_64 rng(42);
            for (size_t i = 0; i < img.size(); i += 8) {
                u64 x = rng();
                std::memcpy(img.data() + i, &x, 8);
            }
        } else if (kind == 2) {
            img = RealFiles();
        } else if (kind == 3 && (img = Containers(dir)).empty()) {
            std::printf("%-12s not made (ffmpeg and ImageMagick are needed)\n", names[kind]);
            continue;
        } else if (kind == 4 && (img = EveryFormat()).empty()) {
            std::printf("%-12s not made (the tests' toolkit is not built)\n", names[kind]);
            continue;
        }
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 1;
        std::fwrite(img.data(), 1, img.size(), f);
        std::fclose(f);
        (void)ReadAll(path);  // warm the page cache
        u64 files = 0;
        double cs = 0, rs = 0;
        double s = Run(path, files, cs, rs);
        if (s < 0) {
            std::printf("%-12s failed\n", names[kind]);
            continue;
        }
        std::printf("%-12s %8.1f MB/s  (%zu MiB in %.3f s, processor %.3f s, %llu files carved; raw read %.1f MB/s)\n",
                    names[kind], static_cast<double>(kImageBytes) / 1e6 / s, kImageBytes >> 20, s, cs,
                    static_cast<unsigned long long>(files), static_cast<double>(kImageBytes) / 1e6 / rs);
    }
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
