#include "Platform.h"

#include <QtCore/QDebug>
#include <QtCore/QString>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::vector<std::string> g_imageDisks;
DeviceOpener g_opener;
std::string g_dataDir;
std::string g_scanLogDir;

bool ReadSysFile(const std::string& path, std::string& out) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[256];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    out.assign(buf, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return true;
}

bool SkipBlockDevice(const std::string& name) {
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) return true;
    if (name.rfind("loop", 0) == 0) {
        std::string backing;
        if (!ReadSysFile("/sys/block/" + name + "/loop/backing_file", backing) || backing.empty())
            return true;
    }
    if (name.rfind("dm-", 0) == 0) {
        // Device-mapper volumes that are partitions of another mapping.
        std::string uuid;
        if (ReadSysFile("/sys/block/" + name + "/dm/uuid", uuid) && uuid.rfind("part", 0) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> ListBlockDevices() {
    std::vector<std::string> names;
    DIR* d = opendir("/sys/block");
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (SkipBlockDevice(name)) continue;
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string GetDiskDevicePath(int nDiskNumber) {
    if (nDiskNumber < 0) return {};
    if (nDiskNumber >= FR_FIRST_IMAGE_DISK) {
        std::lock_guard<std::mutex> lock(g_mutex);
        size_t i = static_cast<size_t>(nDiskNumber - FR_FIRST_IMAGE_DISK);
        return i < g_imageDisks.size() ? g_imageDisks[i] : std::string();
    }
    if (const char* dir = getenv("FOTORETTA_DISK_DIR"); dir && *dir) {
        std::string p = dir;
        if (p.back() != '/') p += '/';
        return p + "disk" + std::to_string(nDiskNumber);
    }
    std::vector<std::string> names = ListBlockDevices();
    if (static_cast<size_t>(nDiskNumber) >= names.size()) return {};
    return "/dev/" + names[static_cast<size_t>(nDiskNumber)];
}

int RegisterImageDisk(const std::string& strPath) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_imageDisks.size(); ++i)
        if (g_imageDisks[i] == strPath) return FR_FIRST_IMAGE_DISK + static_cast<int>(i);
    g_imageDisks.push_back(strPath);
    return FR_FIRST_IMAGE_DISK + static_cast<int>(g_imageDisks.size() - 1);
}

std::vector<int> GetRegisteredImageDisks() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<int> out;
    for (size_t i = 0; i < g_imageDisks.size(); ++i) out.push_back(FR_FIRST_IMAGE_DISK + static_cast<int>(i));
    return out;
}

void ClearRegisteredImageDisks() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_imageDisks.clear();
}

void SetPrivilegedDeviceOpener(DeviceOpener opener) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_opener = std::move(opener);
}

int OpenDeviceReadOnly(const char* szPath) {
    if (!szPath || !*szPath) {
        errno = ENOENT;
        return -1;
    }
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    int err = errno;
    DeviceOpener opener;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        opener = g_opener;
    }
    if (opener && (err == EACCES || err == EPERM)) {
        struct stat st;
        if (stat(szPath, &st) == 0 && S_ISBLK(st.st_mode)) {
            fd = opener(szPath);
            if (fd >= 0) return fd;
            if (errno == 0) errno = err;
            return -1;
        }
    }
    errno = err;
    return -1;
}

int MakeDirs(const std::string& strPath, unsigned mode) {
    if (strPath.empty()) return EINVAL;
    std::string cur;
    size_t pos = 0;
    while (pos <= strPath.size()) {
        size_t next = strPath.find('/', pos);
        if (next == std::string::npos) next = strPath.size();
        cur = strPath.substr(0, next);
        if (!cur.empty()) {
            if (mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) return errno;
        }
        pos = next + 1;
    }
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

static std::string ResolveDataDir() {
    std::string dir;
    if (const char* env = getenv("FOTORETTA_DATA_DIR"); env && *env) {
        dir = env;
    } else if (geteuid() == 0) {
        dir = "/var/lib/fotoretta";
    } else if (const char* xdg = getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        dir = std::string(xdg) + "/Fotoretta";
    } else if (const char* home = getenv("HOME"); home && *home) {
        dir = std::string(home) + "/.local/share/Fotoretta";
    } else {
        dir = "/tmp/Fotoretta-" + std::to_string(getuid());
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir += '/';
    return dir;
}

const std::string& GetDataDir() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_dataDir.empty()) {
        g_dataDir = ResolveDataDir();
        MakeDirs(g_dataDir, 0700);
    }
    return g_dataDir;
}

const std::string& GetScanLogDir() {
    const std::string& base = GetDataDir();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_scanLogDir.empty()) {
        g_scanLogDir = base + "ScanLog/";
        MakeDirs(g_scanLogDir, 0700);
    }
    return g_scanLogDir;
}

void ResetDataDirCache() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dataDir.clear();
    g_scanLogDir.clear();
}

void FrLog(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    // The handler of the desktop app appends each message as a "Debug:" line.
    qDebug().noquote() << QString::fromUtf8(buf);
}

namespace {

// The whole disk a partition belongs to (itself for a whole disk).
dev_t ParentDisk(dev_t d) {
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../dev", major(d), minor(d));
    unsigned ma = 0, mi = 0;
    if (FILE* f = fopen(path, "r")) {
        int n = fscanf(f, "%u:%u", &ma, &mi);
        fclose(f);
        if (n == 2) return makedev(ma, mi);
    }
    return d;
}

// The sectors (512 bytes) a partition device covers on its disk; false
// when sysfs does not tell.
bool PartitionRange(dev_t d, unsigned long long& start, unsigned long long& count) {
    auto readNumber = [d](const char* leaf, unsigned long long& out) {
        char path[128];
        snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(d), minor(d), leaf);
        FILE* f = fopen(path, "r");
        if (!f) return false;
        const bool ok = fscanf(f, "%llu", &out) == 1;
        fclose(f);
        return ok;
    };
    return readNumber("start", start) && readNumber("size", count);
}

// Writing onto block device dst can touch sectors [start, start + count) of
// src (count 0: all of src): the same device, a disk and one of its
// partitions, or a partition of the disk src whose sectors meet that range.
bool Overlapping(dev_t dst, dev_t src, unsigned long long start, unsigned long long count) {
    if (dst == src || ParentDisk(src) == dst) return true;
    if (ParentDisk(dst) != src) return false;
    unsigned long long pStart = 0, pCount = 0;
    if (count == 0 || !PartitionRange(dst, pStart, pCount)) return true;
    return pStart < start + count && start < pStart + pCount;
}

// The device a mounted file system was mounted from, for the mount that
// holds path (FUSE file systems such as ntfs-3g report only an anonymous
// device number in stat, so the mount table is asked too).
bool MountSourceDevice(const std::string& path, dev_t& out) {
    FILE* f = fopen("/proc/self/mountinfo", "r");
    if (!f) return false;
    char line[4096];
    size_t bestLen = 0;
    std::string bestSource;
    while (fgets(line, sizeof line, f)) {
        // id parent major:minor root mountpoint options ... - fstype source superoptions
        char root[1024], mnt[1024];
        if (sscanf(line, "%*s %*s %*s %1023s %1023s", root, mnt) != 2) continue;
        const char* dash = strstr(line, " - ");
        if (!dash) continue;
        char fstype[256], source[1024];
        if (sscanf(dash + 3, "%255s %1023s", fstype, source) != 2) continue;
        std::string m = mnt;
        bool inside = path == m || (path.compare(0, m.size(), m) == 0 && (m == "/" || path[m.size()] == '/'));
        if (inside && m.size() >= bestLen) {
            bestLen = m.size();
            bestSource = source;
        }
    }
    fclose(f);
    struct stat st;
    if (bestSource.empty() || stat(bestSource.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    out = st.st_rdev;
    return true;
}

}  // namespace

bool IsPathOnDevice(const std::string& strPath, const std::string& strDevice, unsigned long long u64StartSector,
                    unsigned long long u64SectorCount) {
    struct stat sd, ss;
    if (stat(strPath.c_str(), &sd) != 0 || stat(strDevice.c_str(), &ss) != 0) return false;
    if (!S_ISBLK(ss.st_mode)) return false;  // an image file: the data lives in the file only
    if (Overlapping(sd.st_dev, ss.st_rdev, u64StartSector, u64SectorCount)) return true;
    dev_t mounted;
    return MountSourceDevice(strPath, mounted) && Overlapping(mounted, ss.st_rdev, u64StartSector, u64SectorCount);
}
