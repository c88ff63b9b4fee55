// A full scan stopped by a real SIGINT anywhere in its sweep and resumed
// (stopped again, resumed again) recovers what one uninterrupted scan does,
// byte for byte, under the same paths.
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

// Runs the tool with its stderr on a terminal, where it shows every window
// of the sweep; SIGINT once the sweep passed k ninths (k > 0). shown: the
// last sweep report and the last of the text.
int RunTool(const std::vector<std::string>& args, const std::string& data, int k = 0, std::string* shown = nullptr) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 2), dup2(open("/dev/null", O_WRONLY), 1), close(master), close(slave);
        setenv("FOTORETTA_DATA_DIR", data.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(FR_CLI_BINARY)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(FR_CLI_BINARY, argv.data());
        _exit(127);
    }
    close(slave);
    std::string text, report;
    char buf[4096];
    bool sent = k <= 0;
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<size_t>(n));
        unsigned long long cur = 0, total = 0;
        const size_t at = text.rfind("sector "), files = text.rfind(" files");
        if (at != std::string::npos && files != std::string::npos && files > at) report = text.substr(at, files - at);
        if (!sent && at != std::string::npos && sscanf(text.c_str() + at, "sector %llu/%llu", &cur, &total) == 2 &&
            total > 0 && cur * 9 >= total * static_cast<unsigned long long>(k))
            sent = kill(pid, SIGINT) == 0;
        if (text.size() > 8192) text.erase(0, text.size() - 256);
    }
    close(master);
    if (shown) *shown = report + "\n" + text;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string Tree(const std::string& dir) {
    return Capture("cd " + Quote(dir) + " && find . -type f -exec sha256sum {} + | sort");
}

// The photo card; wiped, without its boot sector, FATs and root folder.
void FatCard(const std::string& path, bool wiped) {
    MakePhotoCard(path, path + ".disk");
    const auto b = ReadFile(path);
    const uint64_t end = (b[14] | b[15] << 8) + b[16] * uint64_t(b[36] | b[37] << 8 | b[38] << 16) + (b[44] - 1) * b[13];
    if (wiped) PatchFile(path, 0, std::vector<unsigned char>(end * 512, 0).data(), end * 512);
}

void NtfsWithoutBootSector(const std::string& path) {
    NtfsImage img = NtfsImage::Create(path, 24);
    if (!img.Mount()) return;
    for (const char* kind : {"jpg", "png", "big.jpg"})
        Sh("mkdir -p " + Quote(img.Mounted("Photos/2026")) + " && cp " + Quote(Sample(kind)) + " " +
           Quote(img.Mounted(std::string("Photos/2026/a.") + kind)));
    img.Unmount();
    if (img.Mount()) Sh("rm " + Quote(img.Mounted("Photos/2026/a.png")) + " " + Quote(img.Mounted("Photos/2026/a.big.jpg")));
    img.Unmount();
    PatchFile(path, 0, std::vector<unsigned char>(512, 0).data(), 512);
}

// Files back to back, each starting on a sector, no file system.
void PackedFiles(const std::string& path) {
    WriteFile(path, std::vector<unsigned char>(8 << 20, 0));
    uint64_t at = 64 * 512;
    for (int i = 0; i < 24; ++i) {
        const auto bytes = ReadFile(Sample(std::vector<const char*>{"jpg", "png", "gif", "big.jpg"}[i % 4]));
        PatchFile(path, at, bytes.data(), bytes.size());
        at += (bytes.size() + 511) / 512 * 512;
    }
}

class Interrupted : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(Interrupted, ResumedScanRecoversWhatAnUninterruptedOneDoes) {
    FR_REQUIRE(HaveTool("mkfs.vfat") && HaveTool("mcopy") && !Sample("big.jpg").empty() && !Sample("gif").empty(),
               "mkfs.vfat, mtools and samples needed");
    const std::string medium = GetParam();
    FR_REQUIRE(medium != "NtfsWithoutBootSector" || (NtfsImage::Available() && IsRoot()), "ntfs-3g not usable");
    TempDir d("resume");
    const std::string card = d / "card.img";
    if (medium == "PackedFiles") PackedFiles(card);
    else if (medium == "NtfsWithoutBootSector") NtfsWithoutBootSector(card);
    else FatCard(card, medium == "WipedFat32");
    // Read slowly, so that the progress shown is where the scan is.
    FailingFile slow(card, {}, medium == "PackedFiles" ? 10000 : 2000);
    FR_REQUIRE(!slow.path.empty(), "FUSE not usable here");
    const std::string img = slow.path;
    const auto recover = [&](const std::string& to, const std::string& opts) {
        return std::vector<std::string>{"recover", img, "--types", "all", "--keep-paths", "--to", d / to, opts};
    };
    std::string shown, refShown;
    ASSERT_EQ(RunTool(recover("ref", "--keep-paths"), d / "refdata", 0, &refShown), 0);
    const std::string ref = Tree(d / "ref");
    // The last report of the sweep, with the files counted.
    auto count = [](const std::string& t) {
        const std::string r = t.substr(0, t.find('\n'));
        return r.substr(r.rfind(' ') + 1);
    };
    for (int k = 1; k <= 8; ++k) {
        SCOPED_TRACE(k);
        const std::string data = d / ("data" + std::to_string(k));
        // (Near the end, on a busy machine, the scan may finish before the signal.)
        const int cut = RunTool({"scan", img, "--types", "all"}, data, k);
        EXPECT_TRUE(cut == 130 || cut == 0) << cut;
        // Stopped again near the end, or run to the end and counting the
        // files as the uninterrupted scan did.
        RunTool({"scan", img, "--types", "all", "--resume"}, data, k % 2 ? 8 : 0, &shown);
        if (k % 2 == 0 && shown[0] != '\n') {
            EXPECT_EQ(count(shown), count(refShown)) << shown;
        }
        const std::string out = "out" + std::to_string(k);
        ASSERT_EQ(RunTool(recover(out, "--resume"), data), 0);
        EXPECT_EQ(Tree(d / out), ref);
    }
    // Another medium under the same name since (zeroed): scanned afresh.
    RunTool({"scan", card}, d / "data1", 4);
    Sh("dd if=/dev/zero of=" + Quote(card) + " bs=1M count=8 conv=notrunc status=none");
    RunTool({"scan", card, "--resume"}, d / "data1", 0, &shown);
    EXPECT_NE(shown.find("another medium"), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(Media, Interrupted,
                         ::testing::Values("IntactFat32", "WipedFat32", "NtfsWithoutBootSector", "PackedFiles"),
                         [](const auto& info) { return std::string(info.param); });
