// Start-up pieces: the debug log, standard error, temporary previews and
// the clean-up of a real run of the application.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QDebug>

#include <chrono>
#include <thread>

#include "Startup.h"
#include "core/Platform.h"
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
    const std::string text = ReadText(log);
    int lines = 0;
    for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1, ++lines) {
        const std::string line = text.substr(pos, nl - pos);
        ASSERT_TRUE(line == "Debug: " + std::string(200, 'a') || line == "Debug: " + std::string(200, 'b')) << line;
    }
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
    char cwdBefore[4096];
    ASSERT_NE(nullptr, getcwd(cwdBefore, sizeof cwdBefore));
    EXPECT_EQ(1, DeleteTmpFile(dir.path().c_str()));
    char cwdAfter[4096];
    ASSERT_NE(nullptr, getcwd(cwdAfter, sizeof cwdAfter));
    EXPECT_STREQ(cwdBefore, cwdAfter);
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
    for (const char* name : {"tmp.1.jpg", "512tmp.png", "Fast_2048_20240101", "config"}) WriteFile(scanLog + name, "x");

    std::vector<std::string> env = {"FOTORETTA_DATA_DIR=" + data, "FOTORETTA_DISK_DIR=" + disks,
                                    "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "FOTORETTA_", 10) && strncmp(*e, "QT_QPA_PLATFORM=", 16)) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    char arg0[] = FR_APP_BIN;
    char arg1[] = "start";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, FR_APP_BIN, nullptr, nullptr, argv, envp.data()));

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
    EXPECT_FALSE(Exists(scanLog + "512tmp.png"));
    EXPECT_TRUE(Exists(scanLog + "Fast_2048_20240101"));
    EXPECT_TRUE(Exists(scanLog + "config"));
    EXPECT_FALSE(Exists(data + "/Out.txt"));
}
