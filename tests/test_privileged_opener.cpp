// The privileged opener: request rules, descriptor passing and a helper
// that goes away. Regular files stand in for block devices through the
// test list; no root needed.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/Platform.h"
#include "core/PrivilegedOpener.h"
#include "support/TestKit.h"

using namespace testkit;

// Re-run as a helper: the process serves its standard input, allowing the
// files listed in FR_TEST_HELPER_ALLOW, and ends.
static const int s_serve = [] {
    if (const char* allow = getenv("FR_TEST_HELPER_SERVE")) {
        FrHelperPolicy policy;
        if (*allow) policy.vecAllowedFiles.push_back(allow);
        _exit(RunHelperServer(0, policy) == 0 ? 0 : 1);
    }
    return 0;
}();

namespace {

struct ThreadHelper {
    int sv[2] = {-1, -1};
    std::thread server;
    explicit ThreadHelper(FrHelperPolicy policy) {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
        server = std::thread([this, policy] { RunHelperServer(sv[1], policy); });
        // Take the greeting, as Start does.
        FrHelperReply greeting{};
        EXPECT_EQ(ssize_t(sizeof greeting), recv(sv[0], &greeting, sizeof greeting, 0));
        EXPECT_EQ(FR_HELPER_MAGIC, greeting.u32Magic);
        EXPECT_EQ(0, greeting.nError);
        CPrivilegedOpener::GetInstance().Attach(sv[0]);
    }
    ~ThreadHelper() {
        CPrivilegedOpener::GetInstance().Stop();  // closes sv[0]; the server sees the hang-up
        server.join();
        close(sv[1]);
    }
};

int OpenErr(const std::string& path, uint32_t flags = O_RDONLY) {
    errno = 0;
    int fd = CPrivilegedOpener::GetInstance().Request(path.c_str(), flags);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    return errno;
}

}  // namespace

// A listed file comes back read-only, many times on one connection;
// anything but block devices and listed regular files is refused, and so
// is every mode but plain read-only.
TEST(PrivilegedOpener, ListedFilesOnlyAndOnlyReadOnly) {
    TempDir dir("priv");
    const std::string listed = dir.path() + "/card.img", other = dir.path() + "/other.img", fifo = dir.path() + "/fifo";
    std::vector<unsigned char> bytes = RandomBytes(8192, 7);
    const std::string data(bytes.begin(), bytes.end());
    WriteFile(listed, data);
    WriteFile(other, "abc");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(other.c_str(), (dir.path() + "/link").c_str()));
    ThreadHelper helper(FrHelperPolicy{{listed, fifo, dir.path()}});

    int fd = CPrivilegedOpener::GetInstance().Open(listed.c_str());
    ASSERT_GE(fd, 0) << strerror(errno);
    struct stat a, b;
    ASSERT_EQ(0, fstat(fd, &a));
    ASSERT_EQ(0, stat(listed.c_str(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    std::string back(data.size(), '\0');
    EXPECT_EQ(ssize_t(data.size()), pread(fd, back.data(), back.size(), 0));
    EXPECT_EQ(data, back);
    EXPECT_EQ(-1, write(fd, "x", 1));
    EXPECT_EQ(EBADF, errno);
    close(fd);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(0, OpenErr(listed));

    const std::pair<std::string, int> paths[] = {
        {other, ENOTBLK},   {dir.path(), ENOTBLK},  // a directory, even when listed
        {fifo, ENOTBLK},    {"/dev/null", ENOTBLK},  // no hang on a pipe without writer
        {dir.path() + "/link", ENOTBLK},             // a link to an unlisted file
        {dir.path() + "/missing", ENOENT}, {"card.img", EINVAL}, {"", EINVAL}};
    for (const auto& [path, err] : paths) EXPECT_EQ(err, OpenErr(path)) << path;
    for (uint32_t flags : {uint32_t(O_WRONLY), uint32_t(O_RDWR), uint32_t(O_RDONLY | O_TRUNC),
                           uint32_t(O_RDONLY | O_CREAT), uint32_t(O_RDONLY | O_APPEND), uint32_t(O_RDONLY | O_DIRECT),
                           0xffffffffu})
        EXPECT_EQ(EPERM, OpenErr(listed, flags)) << std::hex << flags;
    EXPECT_EQ(data, ReadText(listed));
}

TEST(PrivilegedOpener, MalformedRequestsGetRefusedAndTheConnectionSurvives) {
    TempDir dir("priv");
    const std::string file = dir.path() + "/card.img";
    WriteFile(file, "abc");
    ThreadHelper helper(FrHelperPolicy{{file}});
    auto ask = [&](const std::string& msg) {
        EXPECT_EQ(ssize_t(msg.size()), send(helper.sv[0], msg.data(), msg.size(), MSG_NOSIGNAL));
        FrHelperReply r{};
        EXPECT_EQ(ssize_t(sizeof r), recv(helper.sv[0], &r, sizeof r, 0));
        return r.nError;
    };
    auto request = [&](uint32_t magic, uint32_t len, const std::string& path) {
        FrHelperRequest req{magic, O_RDONLY, len};
        return std::string(reinterpret_cast<const char*>(&req), sizeof req) + path;
    };
    EXPECT_EQ(EINVAL, ask("xy"));
    EXPECT_EQ(EINVAL, ask(request(0x12345678, uint32_t(file.size()), file)));
    EXPECT_EQ(EINVAL, ask(request(FR_HELPER_MAGIC, uint32_t(file.size()) + 1, file)));
    EXPECT_EQ(EINVAL, ask(request(FR_HELPER_MAGIC, 0xffffffffu, file)));
    std::string withNul = file + std::string(1, '\0') + "x";
    EXPECT_EQ(EINVAL, ask(request(FR_HELPER_MAGIC, uint32_t(withNul.size()), withNul)));
    EXPECT_EQ(EINVAL, ask(request(FR_HELPER_MAGIC, 9000, std::string(9000, '/'))));
    // Still serving: a good request gets its descriptor.
    EXPECT_EQ(0, ask(request(FR_HELPER_MAGIC, uint32_t(file.size()), file)));
}

TEST(PrivilegedOpener, HelperThatDiesFailsLaterOpensAtOnce) {
    TempDir dir("priv");
    const std::string file = dir.path() + "/card.img";
    WriteFile(file, "abc");
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(sv[0]);
        _exit(RunHelperServer(sv[1], FrHelperPolicy{{file}}));
    }
    close(sv[1]);
    char greet[16];
    ASSERT_EQ(ssize_t(sizeof(FrHelperReply)), recv(sv[0], greet, sizeof greet, 0));
    CPrivilegedOpener& op = CPrivilegedOpener::GetInstance();
    op.Attach(sv[0], pid);
    EXPECT_EQ(0, OpenErr(file));
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ENOTCONN, OpenErr(file));
    EXPECT_FALSE(op.IsConnected());
    EXPECT_EQ(ENOTCONN, OpenErr(file));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    op.Stop();
}

// pkexec ends without starting the helper when the user cancels; a helper
// that starts serves the device open.
TEST(PrivilegedOpener, StartsAHelperProcessAndTheDeviceOpenUsesIt) {
    CPrivilegedOpener& op = CPrivilegedOpener::GetInstance();
    EXPECT_EQ(EACCES, op.Start({"false"}));
    EXPECT_FALSE(op.IsConnected());
    EXPECT_NE(0, op.Start({"/nonexistent/fotoretta-helper"}));
    EXPECT_FALSE(op.IsConnected());
    TempDir dir("priv");
    const std::string file = dir.path() + "/card.img";
    WriteFile(file, "abcdef");
    setenv("FR_TEST_HELPER_SERVE", file.c_str(), 1);
    int rc = op.Start({"/proc/self/exe"});
    unsetenv("FR_TEST_HELPER_SERVE");
    ASSERT_EQ(0, rc);
    EXPECT_TRUE(op.IsConnected());
    int fd = op.Open(file.c_str());
    ASSERT_GE(fd, 0);
    char buf[8] = {};
    EXPECT_EQ(6, read(fd, buf, sizeof buf));
    EXPECT_STREQ("abcdef", buf);
    close(fd);
    EXPECT_EQ(ENOTBLK, OpenErr("/dev/null"));

    // With the opener installed, files the caller can read are still
    // opened directly (the helper is not asked for them).
    op.InstallAsDeviceOpener();
    fd = OpenDeviceReadOnly(file.c_str());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    SetPrivilegedDeviceOpener(nullptr);
    op.Stop();
    EXPECT_FALSE(op.IsConnected());
}
