// Start-up pieces: the debug log, standard error, temporary previews, the
// clean-up of a real run of the application, and the installed helper
// program: what it refuses, and a real block device (a read-only loop
// device) opened through it by an unprivileged process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QDebug>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Startup.h"
#include "TestDialogs.h"
#include "core/Platform.h"
#include "core/PrivilegedOpener.h"
#include "support/TestKit.h"

using namespace testkit;

extern char** environ;

namespace {
bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct HandlerScope {
    QtMessageHandler old;
    explicit HandlerScope(const std::string& log) {
        SetLogFilePath(log);
        old = qInstallMessageHandler(customMessageHandler);
    }
    ~HandlerScope() {
        qInstallMessageHandler(old);
        SetLogFilePath("Log.txt");
    }
};

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

// Debug lines are appended whole, from two threads too; warnings are
// dropped, and an unwritable log loses the message quietly.
TEST(DebugLog, DebugLinesAppendedWholeWarningsDropped) {
    TempDir dir("log");
    const std::string log = dir.path() + "/Log.txt";
    WriteFile(log, "Debug: earlier run\n");
    {
        HandlerScope scope(log);
        qDebug("scan started");
        qWarning("a toolkit warning");
        qCritical("a critical message");
        qInfo("an info message");
        FrLog("lseek failed %lld\n", 4096LL);
        qDebug() << "sector" << 7;
    }
    EXPECT_EQ("Debug: earlier run\nDebug: scan started\nDebug: lseek failed 4096\n\nDebug: sector 7\n", ReadText(log));
    unlink(log.c_str());
    {
        HandlerScope scope(log);
        auto writer = [](char c) {
            for (int i = 0; i < 300; ++i) qDebug("%s", std::string(200, c).c_str());
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
    }
    std::istringstream text(ReadText(log));
    int lines = 0;
    for (std::string line; std::getline(text, line); ++lines)
        ASSERT_TRUE(line == "Debug: " + std::string(200, 'a') || line == "Debug: " + std::string(200, 'b')) << line;
    EXPECT_EQ(600, lines);
    HandlerScope lost(dir.path() + "/no/such/dir/Log.txt");
    qDebug("lost");
    EXPECT_FALSE(Exists(dir.path() + "/no"));
}

TEST(TempFiles, DeleteTmpFileRemovesOnlyPreviews) {
    TempDir dir("tmp");
    for (const char* name : {"tmp.123.jpg", "4096tmp.x", "Fast_2048_20240101", "Fast_2048_20240101_Relation",
                             "tmpfile", "config", "my_tmp"})
        WriteFile(dir.path() + "/" + name, "x");
    mkdir((dir.path() + "/7").c_str(), 0755);
    const std::filesystem::path cwd = std::filesystem::current_path();
    EXPECT_EQ(1, DeleteTmpFile(dir.path().c_str()));
    EXPECT_EQ(cwd, std::filesystem::current_path());
    EXPECT_FALSE(Exists(dir.path() + "/tmp.123.jpg") || Exists(dir.path() + "/4096tmp.x"));
    for (const char* name : {"Fast_2048_20240101", "Fast_2048_20240101_Relation", "tmpfile", "config", "my_tmp", "7"})
        EXPECT_TRUE(Exists(dir.path() + "/" + name)) << name;
    EXPECT_EQ(0, DeleteTmpFile((dir.path() + "/missing").c_str()));
    EXPECT_EQ(0, DeleteTmpFile(""));
}

TEST(StandardError, RedirectedToOutTxtAndDeletedAtTheEnd) {
    TempDir dir("err");
    const std::string out = dir.path() + "/Out.txt";
    int saved = -1;
    int fd = RedirectStandardError(out, &saved);
    ASSERT_GE(fd, 0);
    fprintf(stderr, "to the file\n");
    fflush(stderr);
    EXPECT_EQ("to the file\n", ReadText(out));
    struct stat st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    FinishStandardError(fd, saved, out);
    EXPECT_FALSE(Exists(out));
    // A file that cannot be created changes nothing.
    EXPECT_EQ(-1, RedirectStandardError(dir.path() + "/no/dir/Out.txt", &saved));
    EXPECT_EQ(-1, saved);
}

// The real application: started with "start" on the offscreen platform,
// ended by SIGTERM like a logout; its previews and Out.txt must be gone.
TEST(Application, CleansUpTemporaryFilesAtExit) {
    TempDir dir("run");
    const std::string data = dir.path() + "/data";
    const std::string disks = dir.path() + "/disks";
    mkdir(disks.c_str(), 0755);
    const std::string scanLog = data + "/ScanLog/";
    MakeDirs(scanLog, 0700);
    // Which names go is checked above; here, that the clean-up runs at exit.
    for (const char* name : {"tmp.1.jpg", "config"}) WriteFile(scanLog + name, "x");

    ScopedDataDir dataDir(data);
    ScopedDiskDir diskDir(disks);
    char arg0[] = FR_APP_BIN;
    char arg1[] = "start";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, FR_APP_BIN, nullptr, nullptr, argv, environ));

    // Out.txt appears once the window is being built.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Exists(data + "/Out.txt") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(Exists(data + "/Out.txt"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_FALSE(Exists(scanLog + "tmp.1.jpg"));
    EXPECT_TRUE(Exists(scanLog + "config"));
    EXPECT_FALSE(Exists(data + "/Out.txt"));
}

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
