#include "Startup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QSocketNotifier>
#include <QtWidgets/QApplication>

#include <signal.h>
#include <sys/socket.h>

#include <mutex>

#include "DRUI.h"
#include "core/FileOutput.h"
#include "core/Platform.h"
#include "core/PrivilegedOpener.h"
#include "core/TextHelpers.h"

namespace {
std::mutex g_logPathMutex;
std::string g_strLogPath = "Log.txt";
}  // namespace

void SetLogFilePath(const std::string& strPath) {
    std::lock_guard<std::mutex> lock(g_logPathMutex);
    g_strLogPath = strPath;
}

std::string GetLogFilePath() {
    std::lock_guard<std::mutex> lock(g_logPathMutex);
    return g_strLogPath;
}

void customMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtDebugMsg) return;
    // One open, one write of the whole line, one close: lines of the two
    // threads may interleave but never mix.
    const QByteArray line = QStringLiteral("Debug: %1\n").arg(msg).toUtf8();
    const std::string path = GetLogFilePath();
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n;
    do {
        n = write(fd, line.constData(), size_t(line.size()));
    } while (n < 0 && errno == EINTR);
    close(fd);
}

int DeleteTmpFile(const char* szDir) {
    if (!szDir || !*szDir) return 0;
    // Works relative to the directory's descriptor; the process's working
    // directory is never changed (another thread may be using it).
    int dfd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return 0;
    DIR* dir = fdopendir(dfd);
    if (!dir) {
        close(dfd);
        FrLog("open dir failed\n");
        return 0;
    }
    while (dirent* e = readdir(dir)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        if (strstr(e->d_name, "tmp.")) unlinkat(dirfd(dir), e->d_name, 0);
    }
    closedir(dir);
    return 1;
}

int RedirectStandardError(const std::string& strPath, int* pnSavedErr) {
    if (pnSavedErr) *pnSavedErr = -1;
    int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (pnSavedErr) *pnSavedErr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (dup2(fd, 2) < 0) {
        if (pnSavedErr && *pnSavedErr >= 0) close(*pnSavedErr);
        if (pnSavedErr) *pnSavedErr = -1;
        close(fd);
        return -1;
    }
    return fd;
}

void FinishStandardError(int fdOut, int nSavedErr, const std::string& strPath) {
    if (fdOut < 0) return;
    if (nSavedErr >= 0) {
        dup2(nSavedErr, 2);
        close(nSavedErr);
    }
    close(fdOut);
    unlink(strPath.c_str());
}

LaunchMode ChooseLaunchMode(int argc, uid_t euid) {
    if (euid == 0) return LaunchMode::WindowOnly;  // opens every disk itself
    if (argc == 2) return LaunchMode::WindowOnly;  // "start": no elevation
    return LaunchMode::StartHelper;
}

std::string FindHelperExecutable(const QString& strAppDir) {
    const QString beside = QDir(strAppDir).filePath("fotoretta-helper");
    if (QFileInfo(beside).isExecutable()) return beside.toStdString();
    if (access(FR_HELPER_INSTALL_PATH, X_OK) == 0) return FR_HELPER_INSTALL_PATH;
    return std::string();
}

namespace {
int g_quitPipe[2] = {-1, -1};
void QuitSignalHandler(int) {
    const char c = 'q';
    ssize_t r = write(g_quitPipe[1], &c, 1);
    (void)r;
}
}  // namespace

// SIGTERM, SIGINT and SIGHUP (logout) end the event loop like closing the
// window, so the clean-up at exit runs.
static void QuitOnSignals(QApplication& app) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_quitPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buf[16];
        while (read(g_quitPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = QuitSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

int RunFotoretta(int argc, char** argv) {
    QApplication app(argc, argv);
    qInstallMessageHandler(customMessageHandler);
    const std::string dataDir = GetDataDir();
    SetLogFilePath(dataDir + "Log.txt");

    CPrivilegedOpener& helper = CPrivilegedOpener::GetInstance();
    if (ChooseLaunchMode(argc, geteuid()) == LaunchMode::StartHelper) {
        const std::string path = FindHelperExecutable(QCoreApplication::applicationDirPath());
        if (path.empty()) {
            fprintf(stderr, "fotoretta: fotoretta-helper is missing; \"fotoretta start\" opens the window without it\n");
            return 0;
        }
        // pkexec asks for the administrator password; a refusal ends here.
        if (helper.Start({"pkexec", path}) != 0) return 0;
        helper.InstallAsDeviceOpener();
    }

    // Run as root for someone (sudo, pkexec): what a recovery creates
    // belongs to that user, not to root.
    OutputOwner owner;
    if (geteuid() == 0 && GetInvokingUser(owner)) SetDefaultOutputOwner(&owner);

    QuitOnSignals(app);
    const std::string outPath = dataDir + "Out.txt";
    int nSavedErr = -1;
    const int fdOut = RedirectStandardError(outPath, &nSavedErr);
    if (inner_initUnicodeMap("UTF-8") != 0) FrLog("inner_initUnicodeMap failed\n");

    int rc = 0;
    {
        DRUI window;
        window.Init();
        window.show();
        rc = app.exec();
        DeleteTmpFile(GetScanLogDir().c_str());
        FinishStandardError(fdOut, nSavedErr, outPath);
    }
    SetPrivilegedDeviceOpener(nullptr);
    helper.Stop();
    return rc;
}
