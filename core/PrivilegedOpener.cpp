// The client side of the privileged device opener.
#include "core/PrivilegedOpener.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Platform.h"

extern char** environ;

CPrivilegedOpener& CPrivilegedOpener::GetInstance() {
    static CPrivilegedOpener* s_instance = new CPrivilegedOpener();  // lives until exit
    return *s_instance;
}

CPrivilegedOpener::~CPrivilegedOpener() { Stop(); }

void CPrivilegedOpener::CloseLocked() {
    if (m_nSock >= 0) close(m_nSock);
    m_nSock = -1;
    if (m_pid > 0) {
        // The helper ends when its socket closes; one stuck in the open of
        // a dying device is not waited for long (init reaps it later).
        for (int i = 0; i < 50; ++i) {
            int st;
            pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid || (r < 0 && errno != EINTR)) break;
            usleep(20000);
        }
    }
    m_pid = -1;
}

void CPrivilegedOpener::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseLocked();
}

bool CPrivilegedOpener::IsConnected() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nSock >= 0;
}

void CPrivilegedOpener::Attach(int sock, pid_t pid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseLocked();
    m_nSock = sock;
    m_pid = pid;
}

// Receives one reply; returns its error (0 with *pfd set when a descriptor
// came along), or -1 when the connection is gone or broken.
static int ReceiveReply(int sock, int* pfd) {
    *pfd = -1;
    FrHelperReply reply{};
    iovec iov{&reply, sizeof reply};
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int) * 4)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cbuf;
    msg.msg_controllen = sizeof cbuf;
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int f;
            memcpy(&f, CMSG_DATA(c) + i * sizeof(int), sizeof f);
            if (fd < 0) fd = f;
            else close(f);
        }
    }
    if (size_t(n) != sizeof reply || reply.u32Magic != FR_HELPER_MAGIC || (msg.msg_flags & MSG_TRUNC)) {
        if (fd >= 0) close(fd);
        return -1;
    }
    if (reply.nError != 0) {
        if (fd >= 0) close(fd);
        return reply.nError;
    }
    if (fd < 0) return EIO;
    *pfd = fd;
    return 0;
}

int CPrivilegedOpener::Start(const std::vector<std::string>& argv) {
    if (argv.empty()) return EINVAL;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return errno;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, sv[1], 0);  // the copy on 0 survives exec
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(sv[1]);
    if (rc != 0) {
        close(sv[0]);
        return rc;
    }
    // The greeting arrives once the helper runs with its rights; the
    // rights prompt may take as long as the user wants.
    int fd = -1;
    int e = ReceiveReply(sv[0], &fd);
    if (e != EIO) {  // the greeting carries no descriptor
        if (fd >= 0) close(fd);
        close(sv[0]);
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        return EACCES;
    }
    // An open that hangs on a dying device must not hang the program.
    timeval tv{60, 0};
    setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Attach(sv[0], pid);
    return 0;
}

int CPrivilegedOpener::Open(const char* szPath) { return Request(szPath, O_RDONLY); }

int CPrivilegedOpener::Request(const char* szPath, uint32_t u32Flags) {
    if (!szPath) {
        errno = EINVAL;
        return -1;
    }
    const size_t nLen = strlen(szPath);
    if (nLen >= FR_HELPER_MAX_PATH) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::string buf(sizeof(FrHelperRequest) + nLen, '\0');
    FrHelperRequest req{FR_HELPER_MAGIC, u32Flags, uint32_t(nLen)};
    memcpy(buf.data(), &req, sizeof req);
    memcpy(buf.data() + sizeof req, szPath, nLen);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nSock < 0) {
        errno = ENOTCONN;
        return -1;
    }
    ssize_t n;
    do {
        n = send(m_nSock, buf.data(), buf.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    int fd = -1;
    int e = n == ssize_t(buf.size()) ? ReceiveReply(m_nSock, &fd) : -1;
    if (e < 0) {
        // Helper gone, or a reply that may now arrive out of step.
        CloseLocked();
        errno = ENOTCONN;
        return -1;
    }
    if (e > 0) {
        errno = e;
        return -1;
    }
    return fd;
}

void CPrivilegedOpener::InstallAsDeviceOpener() {
    SetPrivilegedDeviceOpener([](const char* szPath) { return CPrivilegedOpener::GetInstance().Open(szPath); });
}
