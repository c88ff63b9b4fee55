// The serving side of the privileged device opener: what the helper
// process runs. Plain POSIX, no Qt, so the helper stays small.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/PrivilegedOpener.h"

int HelperOpenForRequest(const char* szPath, uint32_t u32Flags, const FrHelperPolicy& policy, int* pnError) {
    int nDummy = 0;
    int& err = pnError ? *pnError : nDummy;
    err = 0;
    // Nothing but a plain read-only open is ever granted.
    if (u32Flags != O_RDONLY) {
        err = EPERM;
        return -1;
    }
    if (!szPath || szPath[0] != '/' || strlen(szPath) >= FR_HELPER_MAX_PATH) {
        err = EINVAL;
        return -1;
    }
    const bool bListed = std::find(policy.vecAllowedFiles.begin(), policy.vecAllowedFiles.end(),
                                   std::string(szPath)) != policy.vecAllowedFiles.end();
    // Look before opening: opening some character devices has effects.
    struct stat st;
    if (stat(szPath, &st) != 0) {
        err = errno;
        return -1;
    }
    auto allowed = [&](const struct stat& s) { return S_ISBLK(s.st_mode) || (bListed && S_ISREG(s.st_mode)); };
    if (!allowed(st)) {
        err = ENOTBLK;
        return -1;
    }
    int fd = open(szPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    // The path may have been swapped between the look and the open.
    struct stat st2;
    if (fstat(fd, &st2) != 0 || !allowed(st2) || st2.st_mode != st.st_mode || st2.st_ino != st.st_ino ||
        st2.st_dev != st.st_dev || st2.st_rdev != st.st_rdev) {
        close(fd);
        err = ENOTBLK;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

static int SendReply(int sock, int nError, int fdPass) {
    FrHelperReply reply{FR_HELPER_MAGIC, nError};
    iovec iov{&reply, sizeof reply};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))];
    if (fdPass >= 0) {
        memset(cbuf, 0, sizeof cbuf);
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof cbuf;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &fdPass, sizeof(int));
    }
    for (;;) {
        if (sendmsg(sock, &msg, MSG_NOSIGNAL) >= 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int RunHelperServer(int sock, const FrHelperPolicy& policy) {
    if (int e = SendReply(sock, 0, -1)) return e;  // greeting: the helper is up
    std::string buf(sizeof(FrHelperRequest) + FR_HELPER_MAX_PATH + 1, '\0');
    for (;;) {
        iovec iov{buf.data(), buf.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        // No control buffer: descriptors a client might send are discarded.
        ssize_t n = recvmsg(sock, &msg, 0);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        FrHelperRequest req{};
        int nError = EINVAL;
        int fd = -1;
        if (!(msg.msg_flags & MSG_TRUNC) && size_t(n) >= sizeof req) {
            memcpy(&req, buf.data(), sizeof req);
            const size_t nPath = size_t(n) - sizeof req;
            if (req.u32Magic == FR_HELPER_MAGIC && req.u32PathLen == nPath && nPath < FR_HELPER_MAX_PATH) {
                std::string path(buf.data() + sizeof req, nPath);
                if (path.find('\0') == std::string::npos) fd = HelperOpenForRequest(path.c_str(), req.u32Flags, policy, &nError);
            }
        }
        int e = SendReply(sock, fd >= 0 ? 0 : nError, fd);
        if (fd >= 0) close(fd);
        if (e) return e;
    }
}
