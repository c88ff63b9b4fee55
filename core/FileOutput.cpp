#include "core/FileOutput.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Platform.h"
#include "core/TextHelpers.h"

namespace {

constexpr size_t kMaxComponentBytes = 255;
constexpr size_t kMaxPreviewPathBytes = 256;
constexpr int kMaxUniqueNumber = 100000;

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string JoinDir(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::optional<OutputOwner> g_defaultOwner;

int ApplyOwner(int fd, const char* path, const OutputOwner* pOwner) {
    if (!pOwner && g_defaultOwner) pOwner = &*g_defaultOwner;
    if (!pOwner) return 0;
    const int rc = fd >= 0 ? fchown(fd, pOwner->uid, pOwner->gid) : lchown(path, pOwner->uid, pOwner->gid);
    return rc == 0 ? 0 : errno;
}

// A user or group number given as plain decimal text.
bool ParseId(const char* text, unsigned& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 10);
    if (errno || *end || text[0] == '-' || text[0] == '+' || v > 0xFFFFFFFEul) return false;
    out = static_cast<unsigned>(v);
    return true;
}

}  // namespace

void SetDefaultOutputOwner(const OutputOwner* pOwner) {
    if (pOwner) g_defaultOwner = *pOwner;
    else g_defaultOwner.reset();
}

bool GetInvokingUser(OutputOwner& out) {
    unsigned uid = 0, gid = 0;
    if (ParseId(getenv("PKEXEC_UID"), uid) && uid != 0) {
        const passwd* pw = getpwuid(uid);
        out = {uid, pw ? pw->pw_gid : uid};
        return true;
    }
    if (ParseId(getenv("SUDO_UID"), uid) && uid != 0) {
        if (!ParseId(getenv("SUDO_GID"), gid)) gid = uid;
        out = {uid, gid};
        return true;
    }
    return false;
}

std::string MakeUniquePath(const std::string& dir, const std::string& name) {
    std::string path = JoinDir(dir, name);
    if (path.size() >= PATH_MAX) return std::string();
    if (!PathExists(path)) return path;
    const size_t dot = name.rfind('.');
    const bool bHasExt = dot != std::string::npos && dot != 0;
    const std::string stem = bHasExt ? name.substr(0, dot) : name;
    const std::string ext = bHasExt ? name.substr(dot) : std::string();
    for (int i = 1; i < kMaxUniqueNumber; ++i) {
        const std::string num = "(" + std::to_string(i) + ")";
        std::string_view s = stem;
        if (s.size() + num.size() + ext.size() > kMaxComponentBytes)
            s = Utf8Prefix(s, kMaxComponentBytes > num.size() + ext.size() ? kMaxComponentBytes - num.size() - ext.size() : 0);
        path = JoinDir(dir, std::string(s) + num + ext);
        if (path.size() >= PATH_MAX) return std::string();
        if (!PathExists(path)) return path;
    }
    return std::string();
}

int GetRealFileName(const char* path, wchar_t* out, int outSize) {
    if (!path || !out || outSize <= 0) return FR_INVALID;
    const std::string p = path;
    const size_t slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    const std::string real = MakeUniquePath(dir, p.substr(dir.size()));
    if (real.empty()) return FR_INVALID;
    inner_str2uni(out, real.c_str(), outSize, static_cast<long>(real.size() + 1));
    return 0;
}

int MakeOutputPath(const std::string& dir, std::string_view rawName, std::string& outPath) {
    outPath = MakeUniquePath(dir, SanitizeFileName(rawName, kMaxComponentBytes));
    return outPath.empty() ? ENAMETOOLONG : 0;
}

int CreateOutputFile(const std::string& path, CUniqueFd& fd, const OutputOwner* pOwner) {
    fd.reset();
    if (path.empty() || path.size() >= PATH_MAX) return path.empty() ? FR_INVALID : ENAMETOOLONG;
    // Never overwrite or append to an existing file, nor follow a link.
    fd.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) return errno ? errno : FR_FAILED;
    return ApplyOwner(fd.get(), path.c_str(), pOwner);
}

int CreateOutputDir(const std::string& path, const OutputOwner* pOwner) {
    if (path.empty() || path.size() >= PATH_MAX) return path.empty() ? FR_INVALID : ENAMETOOLONG;
    if (mkdir(path.c_str(), 0755) != 0) return errno ? errno : FR_FAILED;
    return ApplyOwner(-1, path.c_str(), pOwner);
}

namespace {

// Calls f with each non-empty component of a source folder path.
template <typename F>
void ForEachComponent(std::string_view sourcePath, F f) {
    size_t pos = 0;
    while (pos < sourcePath.size()) {
        size_t sep = sourcePath.find_first_of("/\\", pos);
        if (sep == std::string_view::npos) sep = sourcePath.size();
        const std::string_view comp = sourcePath.substr(pos, sep - pos);
        pos = sep + 1;
        if (!comp.empty() && f(comp) != 0) return;
    }
}

}  // namespace

std::string CleanSourcePath(std::string_view sourcePath) {
    std::string out;
    ForEachComponent(sourcePath, [&](std::string_view comp) {
        out += '/';
        out += SanitizeFileName(comp, kMaxComponentBytes);
        return 0;
    });
    return out;
}

int MakeOutputDirs(const std::string& base, std::string_view sourcePath, std::string& outDir,
                   std::map<std::string, std::string>& chosen, const OutputOwner* pOwner) {
    outDir = base;
    std::string key;
    int result = 0;
    ForEachComponent(sourcePath, [&](std::string_view comp) -> int {
        key += '/';
        key += comp;
        if (auto it = chosen.find(key); it != chosen.end()) {
            outDir = it->second;
            return 0;
        }
        const std::string name = SanitizeFileName(comp, kMaxComponentBytes);
        std::string dir = JoinDir(outDir, name);
        // A file (or a link) of that name is never written through.
        struct stat st;
        if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) dir = MakeUniquePath(outDir, name);
        if (dir.empty()) return result = ENAMETOOLONG;
        if (lstat(dir.c_str(), &st) != 0) {
            if (int err = CreateOutputDir(dir, pOwner); err != 0 && err != EEXIST) return result = err;
        }
        chosen[key] = dir;
        outDir = dir;
        return 0;
    });
    return result;
}

int ApplyOutputTimes(int fd, const OutputTimes* pTimes) {
    if (!pTimes) return 0;
    struct timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(pTimes->i64AccessTime);
    ts[0].tv_nsec = 0;
    ts[1].tv_sec = static_cast<time_t>(pTimes->i64ModifyTime);
    ts[1].tv_nsec = 0;
    return futimens(fd, ts) == 0 ? 0 : errno;
}

bool GetNodeUnixTime(const _FILE_NODE_& node, u64 value, i64& out) {
    if (value == 0) return false;
    switch (node.nEngineType) {
        case ENGINE_FAST_NTFS:
        case ENGINE_DEEP_NTFS:
            // 100 ns steps since 1601-01-01.
            out = static_cast<i64>(value / 10000000) - 11644473600ll;
            return true;
        case ENGINE_FAST_FAT:
        case ENGINE_DEEP_FAT:
        case ENGINE_FAST_EXFAT:
        case ENGINE_DEEP_EXFAT:
            out = static_cast<i64>(value);
            return true;
        default:
            return false;
    }
}

bool GetNodeOutputTimes(const _FILE_NODE_& node, OutputTimes& out) {
    if (!GetNodeUnixTime(node, node.u64ModifyTime, out.i64ModifyTime)) return false;
    if (!GetNodeUnixTime(node, node.u64AccessTime, out.i64AccessTime)) out.i64AccessTime = out.i64ModifyTime;
    return true;
}

int ApplyNodeTimes(int fd, const std::string& path, const _FILE_NODE_& node) {
    OutputTimes times;
    if (!GetNodeOutputTimes(node, times)) return 0;
    if (fd >= 0) return ApplyOutputTimes(fd, &times);
    struct timespec ts[2] = {{static_cast<time_t>(times.i64AccessTime), 0},
                             {static_cast<time_t>(times.i64ModifyTime), 0}};
    return utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int CreatePreviewTempFile(std::string_view ext, CUniqueFd& fd, std::string& outPath) {
    fd.reset();
    const std::string& dir = GetScanLogDir();
    MakeDirs(dir, 0700);
    outPath = dir + "tmp." + SanitizeFileName(ext, 32);
    if (outPath.size() >= kMaxPreviewPathBytes) return ENAMETOOLONG;
    unlink(outPath.c_str());
    fd.reset(open(outPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    return fd.valid() ? 0 : (errno ? errno : FR_FAILED);
}
