// Hostile sources and destinations, damaged media and the read-only
// promise, exercised through the command-line tool as a user would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Platform.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

struct Result {
    int status;
    std::string out;
};

// Runs the tool with a private data folder (unless env names one), under a
// time limit and a cap on the size of any file it writes (64 MiB, its
// console output included). status is the exit code, 128 + N for signal N
// (137 when the time limit killed it).
Result RunCli(const std::string& args, const std::string& env = "", int seconds = 60) {
    static TempDir data("harddata");
    static int counter = 0;
    std::string log = data / ("out" + std::to_string(counter++) + ".txt");
    std::string dataEnv = env.find("FOTORETTA_DATA_DIR=") == std::string::npos
                              ? "FOTORETTA_DATA_DIR=" + Quote(data / "d") + " "
                              : std::string();
    std::string rc = Capture("ulimit -f 131072; " + dataEnv + env + " timeout -s KILL " + std::to_string(seconds) +
                             " " + Quote(FR_CLI_BINARY) + " " + args + " >" + Quote(log) + " 2>&1; echo $?");
    std::vector<unsigned char> out = ReadFile(log);
    unlink(log.c_str());
    return {atoi(rc.c_str()), std::string(out.begin(), out.end())};
}

bool Exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

}  // namespace

// A destination inside a file system that the image itself holds is
// refused before anything is written there, whether the image is mounted
// through FUSE directly or through a loop device.
TEST(HostileDestination, FileSystemsBackedByTheImageAreRefused) {
    FR_REQUIRE(NtfsImage::Available() && IsRoot(), "mkntfs/ntfs-3g/FUSE not usable");
    TempDir d("harddest");
    NtfsImage img = NtfsImage::Create(d / "ntfs.img", 16);
    ASSERT_TRUE(img.Mount());
    Sh("cp " + Quote(Sample("jpg")) + " " + Quote(img.Mounted("a.jpg")) + " && rm " + Quote(img.Mounted("a.jpg")));
    img.Unmount();
    const std::string before = Sha256File(img.path);
    struct Case {
        const char* how;
        std::string mountCmd;
    };
    std::string loop;
    if (HaveTool("losetup")) {
        loop = Capture("losetup -f --show " + Quote(img.path) + " 2>/dev/null");
        while (!loop.empty() && loop.back() == '\n') loop.pop_back();
    }
    const std::string mnt = d / "mnt";
    Sh("mkdir -p " + Quote(mnt));
    std::vector<Case> cases = {{"image through FUSE", "ntfs-3g -o ro " + Quote(img.path) + " " + Quote(mnt)}};
    if (!loop.empty()) cases.push_back({"loop device through FUSE", "ntfs-3g -o ro " + Quote(loop) + " " + Quote(mnt)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_EQ(Sh(c.mountCmd), 0);
        EXPECT_TRUE(DestinationOnSource(mnt + "/out/deeper", img.path));
        EXPECT_FALSE(DestinationOnSource(d / "elsewhere", img.path));
        Result r = RunCli("recover " + Quote(img.path) + " --to " + Quote(mnt + "/out"));
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("lies on the device being recovered"), std::string::npos) << r.out;
        EXPECT_FALSE(Exists(mnt + "/out"));
        Sh("fusermount -u " + Quote(mnt) + " || umount " + Quote(mnt));
    }
    if (!loop.empty()) Sh("losetup -d " + Quote(loop));
    EXPECT_EQ(Sha256File(img.path), before);
    // The folder that holds the image is a fine destination.
    Result r = RunCli("recover " + Quote(img.path) + " --types photo --to " + Quote(d / "out"));
    EXPECT_EQ(r.status, 0) << r.out;
}
