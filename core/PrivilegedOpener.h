// Read-only device opening through a small privileged helper process.
//
// The desktop window runs as the user. When the user may not read a disk,
// a helper started with administrator rights ("fotoretta-helper", through
// pkexec) opens the block device read-only and hands the descriptor back
// over a socket pair (SCM_RIGHTS). The helper opens nothing but block
// devices and nothing but read-only. Everything here is plain POSIX.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Wire format (SOCK_SEQPACKET, one request or reply per message).
constexpr uint32_t FR_HELPER_MAGIC = 0x46524831;  // "FRH1"
constexpr uint32_t FR_HELPER_MAX_PATH = 4096;
struct FrHelperRequest {
    uint32_t u32Magic;
    uint32_t u32Flags;    // open flags; only O_RDONLY (0) is ever granted
    uint32_t u32PathLen;  // bytes of path that follow, no terminator
};
struct FrHelperReply {
    uint32_t u32Magic;
    int32_t nError;  // 0: a descriptor rides along; else an errno value
};

// What the serving side may open. The installed helper uses the default:
// block devices only. Tests add regular files by exact path.
struct FrHelperPolicy {
    std::vector<std::string> vecAllowedFiles;
};

// Checks one request and opens its path: returns a read-only descriptor or
// -1 with *pnError set (EPERM for write modes, ENOTBLK for anything that
// is not a block device and not on the list, EINVAL for a malformed path).
int HelperOpenForRequest(const char* szPath, uint32_t u32Flags, const FrHelperPolicy& policy, int* pnError);

// Serves requests on sock until the peer hangs up; sends the greeting first.
// Returns 0 when the peer closed, or an errno value.
int RunHelperServer(int sock, const FrHelperPolicy& policy);

// The client side, one per process, used by the platform layer's device
// open once a helper is connected. Calls from several threads are
// serialised; a dead helper makes every later call fail at once.
class CPrivilegedOpener {
public:
    static CPrivilegedOpener& GetInstance();

    // Starts argv (e.g. {"pkexec", "/usr/libexec/fotoretta-helper"}) with
    // one end of a fresh socket pair as its standard input and waits for
    // its greeting. 0 when the helper is running, else an errno value
    // (EACCES when it ended without greeting: rights refused).
    int Start(const std::vector<std::string>& argv);
    // Uses an already connected socket (takes ownership); no greeting read.
    void Attach(int sock, pid_t pid = -1);
    // Closes the socket and reaps the helper.
    void Stop();
    bool IsConnected();
    // Asks the helper for a read-only descriptor of szPath.
    // Returns it, or -1 with errno set (ENOTCONN once the helper is gone).
    int Open(const char* szPath);
    // Sends a raw request (tests of the refusal rules); same result as Open.
    int Request(const char* szPath, uint32_t u32Flags);

    // Installs Open as the platform layer's privileged opener.
    void InstallAsDeviceOpener();

    CPrivilegedOpener(const CPrivilegedOpener&) = delete;
    CPrivilegedOpener& operator=(const CPrivilegedOpener&) = delete;

private:
    CPrivilegedOpener() = default;
    ~CPrivilegedOpener();
    void CloseLocked();

    std::mutex m_mutex;
    int m_nSock = -1;
    pid_t m_pid = -1;
};
