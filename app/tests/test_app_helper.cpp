// The installed helper program: what it refuses, and a real block device
// (a read-only loop device) opened through it by an unprivileged process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Platform.h"
#include "core/PrivilegedOpener.h"
#include "support/TestKit.h"

using namespace testkit;

extern char** environ;

namespace {

int RunHelperWith(int stdinFd, bool withArgument) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, stdinFd, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    char bin[] = FR_HELPER_BIN;
    char arg[] = "--allow=/etc/shadow";
    char* argv[] = {bin, withArgument ? arg : nullptr, nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, FR_HELPER_BIN, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A read-only loop device over a file of known bytes.
struct LoopDevice {
    std::string image, dev;
    std::vector<unsigned char> bytes;
    explicit LoopDevice(const std::string& dir) : image(dir + "/card.img"), bytes(RandomBytes(1 << 20, 11)) {
        WriteFile(image, bytes);
        dev = CaptureLine("losetup -f --show -r " + Quote(image) + " 2>/dev/null");
    }
    ~LoopDevice() {
        if (!dev.empty()) Sh("losetup -d " + dev);
    }
};

}  // namespace

// The installed helper refuses arguments, a standard input that is no
// packet socket, files and write modes.
TEST(Helper, RefusesArgumentsSocketsFilesAndWriteModes) {
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(2, RunHelperWith(null, false));
    close(null);
    for (auto [type, withArgument] : {std::pair{SOCK_STREAM, false}, {SOCK_SEQPACKET, true}}) {
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv));
        EXPECT_EQ(2, RunHelperWith(sv[1], withArgument));
        close(sv[0]);
        close(sv[1]);
    }
    TempDir dir("helper");
    const std::string file = dir.path() + "/card.img";
    WriteFile(file, std::vector<unsigned char>(4096, 1));
    CPrivilegedOpener& op = CPrivilegedOpener::GetInstance();
    ASSERT_EQ(0, op.Start({FR_HELPER_BIN}));
    for (const char* path : {file.c_str(), "/dev/null"}) {
        errno = 0;
        EXPECT_EQ(-1, op.Open(path));
        EXPECT_EQ(ENOTBLK, errno) << path;
    }
    EXPECT_EQ(-1, op.Request(file.c_str(), O_RDWR));
    EXPECT_EQ(EPERM, errno);
    op.Stop();
}

// What a user's window does: the helper runs as root, the window process
// does not; the platform's device open gets the loop device through it.
TEST(Helper, UnprivilegedProcessReadsABlockDeviceThroughTheHelper) {
    FR_REQUIRE(IsRoot(), "needs root to set up a loop device");
    FR_REQUIRE(HaveTool("losetup"), "needs losetup");
    TempDir dir("helper");
    chmod(dir.path().c_str(), 0755);
    LoopDevice loop(dir.path());
    FR_REQUIRE(!loop.dev.empty(), "no loop device available");
    struct stat st;
    ASSERT_EQ(0, stat(loop.dev.c_str(), &st));
    ASSERT_TRUE(S_ISBLK(st.st_mode));
    ASSERT_EQ(0u, st.st_mode & 0006) << "the loop device must not be world-readable";
    chmod(loop.image.c_str(), 0600);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CPrivilegedOpener& op = CPrivilegedOpener::GetInstance();
        if (op.Start({FR_HELPER_BIN}) != 0) _exit(10);
        op.InstallAsDeviceOpener();
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(11);
        if (open(loop.dev.c_str(), O_RDONLY) >= 0 || errno != EACCES) _exit(12);  // really unprivileged
        int fd = OpenDeviceReadOnly(loop.dev.c_str());
        if (fd < 0) _exit(13);
        struct stat fst;
        if (fstat(fd, &fst) != 0 || !S_ISBLK(fst.st_mode)) _exit(14);
        std::vector<unsigned char> back(loop.bytes.size());
        if (pread(fd, back.data(), back.size(), 0) != ssize_t(back.size()) || back != loop.bytes) _exit(15);
        if (write(fd, "x", 1) != -1) _exit(16);
        close(fd);
        if (op.Request(loop.dev.c_str(), O_RDWR) != -1 || errno != EPERM) _exit(17);
        // Regular files the user may not read stay closed to it.
        if (OpenDeviceReadOnly(loop.image.c_str()) >= 0) _exit(18);
        op.Stop();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
