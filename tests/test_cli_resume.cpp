// A full scan stopped by Ctrl-C anywhere in its sweep and continued with
// --resume (stopped again, continued again) recovers exactly what one
// uninterrupted scan recovers: the same files under the same paths, byte
// for byte. The stop is a real SIGINT, sent when the tool's own progress
// on the terminal shows the sweep passed the chosen point.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TestKit.h"

using namespace testkit;

namespace {

// Runs the tool with a data folder and its stderr on a terminal, where it
// shows the sector of every sweep window; with k > 0, sends SIGINT once the
// sweep passed k ninths of its sectors. The exit status.
int RunTool(const std::vector<std::string>& args, const std::string& data, int k = 0) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 2);
        close(master);
        close(slave);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("FOTORETTA_DATA_DIR", data.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(FR_CLI_BINARY)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(FR_CLI_BINARY, argv.data());
        _exit(127);
    }
    close(slave);
    std::string text;
    char buf[4096];
    bool sent = k <= 0;
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<size_t>(n));
        unsigned long long cur = 0, total = 0;
        const size_t at = text.rfind("sector ");
        if (!sent && at != std::string::npos && sscanf(text.c_str() + at, "sector %llu/%llu", &cur, &total) == 2 &&
            total > 0 && cur * 9 >= total * static_cast<unsigned long long>(k)) {
            kill(pid, SIGINT);
            sent = true;
        }
        if (text.size() > 8192) text.erase(0, text.size() - 256);
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Path and sha256 of every file below dir, sorted.
std::string Tree(const std::string& dir) {
    return Capture("cd " + Quote(dir) + " && find . -type f -exec sha256sum {} + | sort");
}

// A FAT32 card with camera folders, deleted pictures, a deleted folder and
// a picture whose entry is gone.
void FatCard(const std::string& path) {
    FatImage img = FatImage::Create(path, 32, 68000, 2);
    const auto jpg = ReadFile(Sample("jpg")), big = ReadFile(Sample("big.jpg")), png = ReadFile(Sample("png"));
    for (const char* dir : {"DCIM", "DCIM/100CANON", "Holiday pictures", "Old trip"}) img.Mkdir(dir);
    for (int i = 1; i <= 6; ++i) img.PutBytes(i % 2 ? jpg : big, "DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG");
    img.PutBytes(png, "Holiday pictures/Beach at sunset.png");
    img.PutBytes(big, "Old trip/Sunrise.jpg");
    for (int i : {2, 3, 5}) img.Delete("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG");
    img.Delete("Holiday pictures/Beach at sunset.png");
    img.DeleteTree("Old trip");
    PatchFile(path, 120000 * 512, png.data(), png.size());
}

struct Medium {
    const char* name;
    void (*make)(const std::string& path);
};

const Medium kMedia[] = {
    {"IntactFat32", FatCard},
    {"WipedFat32",
     [](const std::string& path) {
         // Boot sector, FATs and the root folder's cluster gone.
         FatCard(path);
         const auto b = ReadFile(path);
         const uint64_t reserved = b[14] | b[15] << 8, fatSectors = b[36] | b[37] << 8 | b[38] << 16;
         const uint64_t root = b[44] | b[45] << 8, spc = b[13];
         const uint64_t end = reserved + b[16] * fatSectors + (root - 2 + 1) * spc;
         PatchFile(path, 0, std::vector<unsigned char>(end * 512, 0).data(), end * 512);
     }},
    {"NtfsWithoutBootSector",
     [](const std::string& path) {
         NtfsImage img = NtfsImage::Create(path, 24);
         if (!img.Mount()) return;
         Sh("mkdir -p " + Quote(img.Mounted("Photos/2026")));
         for (const char* kind : {"jpg", "png", "big.jpg"})
             Sh("cp " + Quote(Sample(kind)) + " " + Quote(img.Mounted(std::string("Photos/2026/a.") + kind)));
         img.Unmount();
         if (!img.Mount()) return;
         Sh("rm -f " + Quote(img.Mounted("Photos/2026/a.png")) + " " + Quote(img.Mounted("Photos/2026/a.big.jpg")));
         img.Unmount();
         PatchFile(path, 0, std::vector<unsigned char>(512, 0).data(), 512);
     }},
    {"PackedFiles",
     [](const std::string& path) {
         // Files back to back, each starting on a sector, no file system.
         WriteFile(path, std::vector<unsigned char>(8 << 20, 0));
         uint64_t at = 64 * 512;
         for (int round = 0; round < 6; ++round)
             for (const char* kind : {"jpg", "png", "gif", "big.jpg"}) {
                 const auto bytes = ReadFile(Sample(kind));
                 PatchFile(path, at, bytes.data(), bytes.size());
                 at += (bytes.size() + 511) / 512 * 512;
             }
     }},
};

class Interrupted : public ::testing::TestWithParam<Medium> {};

}  // namespace

TEST_P(Interrupted, ResumedScanRecoversWhatAnUninterruptedOneDoes) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy") && !Sample("big.jpg").empty() && !Sample("gif").empty(),
               "mkfs.vfat, mtools and samples needed");
    if (std::string(GetParam().name).find("Ntfs") != std::string::npos)
        FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("resume");
    const std::string img = d / "card.img";
    GetParam().make(img);
    const auto recover = [&](const std::string& to, const std::string& opts) {
        return std::vector<std::string>{"recover", img, "--types", "all", "--keep-paths", "--to", d / to, opts};
    };
    ASSERT_EQ(RunTool(recover("ref", "--keep-paths"), d / "refdata"), 0);
    const std::string ref = Tree(d / "ref");
    ASSERT_GT(std::count(ref.begin(), ref.end(), '\n'), 2) << ref;
    // Stopped at the k-th progress line, then again in the resumed scan.
    for (int k = 1; k <= 8; ++k) {
        SCOPED_TRACE(k);
        const std::string data = d / ("data" + std::to_string(k));
        EXPECT_EQ(RunTool({"scan", img, "--types", "all"}, data, k), 130);
        RunTool({"scan", img, "--types", "all", "--resume"}, data, 1 + k % 3);
        const std::string out = "out" + std::to_string(k);
        ASSERT_EQ(RunTool(recover(out, "--resume"), data), 0);
        EXPECT_EQ(Tree(d / out), ref);
    }
}

INSTANTIATE_TEST_SUITE_P(Media, Interrupted, ::testing::ValuesIn(kMedia),
                         [](const auto& info) { return std::string(info.param.name); });
