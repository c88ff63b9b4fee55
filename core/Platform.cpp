#include "Platform.h"

#include <QtCore/QDebug>
#include <QtCore/QString>
#include <vector>

#include "DiskReader.h"
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <cstring>
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

namespace {
// Keeps fd when it is a regular file or a block device (clearing the
// non-blocking flag it was opened with), else closes it: ENOTBLK for
// anything else (a FIFO, a socket, a character device), EISDIR for a folder.
int KeepSourceKind(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}
}  // namespace

int OpenDeviceReadOnly(const char* szPath) {
    if (!szPath || !*szPath) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking, so that a FIFO cannot hold the open; no controlling
    // terminal; the type is checked before anything is read.
    int fd = open(szPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) return KeepSourceKind(fd);
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
            if (fd >= 0) return KeepSourceKind(fd);
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

std::string DataDirLocation() { return ResolveDataDir(); }

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

int CheckScanLogDir() {
    const std::string& dir = GetScanLogDir();
    struct stat st;
    // A folder that could not be made says why (read-only, no permission).
    if (stat(dir.c_str(), &st) != 0) {
        const int e = MakeDirs(dir, 0700);
        if (e) return e;
        if (stat(dir.c_str(), &st) != 0) return errno ? errno : ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    std::string probe = dir + ".probe-XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) return errno ? errno : EACCES;
    // A full file system still takes an empty file: the probe holds what a
    // scan log needs at least, written through to the disk.
    std::vector<char> block(8192, 0);
    int r = WriteAll(fd, block.data(), block.size());
    if (!r && fsync(fd) != 0) r = errno ? errno : EIO;
    close(fd);
    unlink(probe.c_str());
    return r;
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
    // A line identical to the one before is counted, not repeated: the
    // count goes out after 2, 4, 8 ... repeats and when another line comes.
    static std::mutex s_logMutex;
    static std::string& s_last = *new std::string;  // outlives every static destructor
    static unsigned long long s_repeats = 0, s_reported = 0;
    std::string count;
    bool bRepeat = false;
    {
        std::lock_guard<std::mutex> lock(s_logMutex);
        if (s_last == buf) {
            ++s_repeats;
            bRepeat = true;
            if ((s_repeats & (s_repeats - 1)) != 0) return;
            s_reported = s_repeats;
            count = "last message repeated " + std::to_string(s_repeats) + " times\n";
        } else {
            if (s_repeats > s_reported)
                count = "last message repeated " + std::to_string(s_repeats) + " times\n";
            s_last = buf;
            s_repeats = s_reported = 0;
        }
    }
    // The handler of the desktop app appends each message as a "Debug:" line.
    if (!count.empty()) qDebug().noquote() << QString::fromUtf8(count.c_str());
    if (!bRepeat) qDebug().noquote() << QString::fromUtf8(buf);
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

// ---------------------------------------------------------------------------
// Where a destination's bytes end up, compared with where the source's live.

struct StorageSet {
    std::vector<dev_t> devices;                      // block devices
    std::vector<std::pair<dev_t, ino_t>> files;      // image / backing files
};

std::string SysBlockDir(dev_t d) {
    return "/sys/dev/block/" + std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

bool ReadDevNumber(const std::string& path, dev_t& out) {
    std::string s;
    unsigned ma = 0, mi = 0;
    if (!ReadSysFile(path, s) || sscanf(s.c_str(), "%u:%u", &ma, &mi) != 2) return false;
    out = makedev(ma, mi);
    return true;
}

// The whole disk of a partition (the device itself otherwise).
dev_t WholeDisk(dev_t d) {
    dev_t parent;
    struct stat st;
    if (stat((SysBlockDir(d) + "/partition").c_str(), &st) == 0 && ReadDevNumber(SysBlockDir(d) + "/../dev", parent))
        return parent;
    return d;
}

bool Overlap(dev_t a, dev_t b) { return a == b || WholeDisk(a) == b || WholeDisk(b) == a; }

void AddFile(StorageSet& set, const struct stat& st) {
    for (const auto& f : set.files)
        if (f.first == st.st_dev && f.second == st.st_ino) return;
    set.files.emplace_back(st.st_dev, st.st_ino);
}

// A block device and what it is built on: the whole disk of a partition,
// the devices below a device-mapper volume, the backing file of a loop
// device. With bHostFs, the file system holding a backing file is followed
// too (writing into the loop device changes that file system).
void CollectDevice(dev_t d, StorageSet& set, bool bHostFs, int depth) {
    if (depth > 8 || major(d) == 0) return;
    if (std::find(set.devices.begin(), set.devices.end(), d) != set.devices.end()) return;
    set.devices.push_back(d);
    const dev_t whole = WholeDisk(d);
    if (whole != d) CollectDevice(whole, set, bHostFs, depth + 1);
    const std::string dir = SysBlockDir(d);
    std::string backing;
    if (ReadSysFile(dir + "/loop/backing_file", backing) && !backing.empty()) {
        const std::string deleted = " (deleted)";
        if (backing.size() > deleted.size() && backing.compare(backing.size() - deleted.size(), deleted.size(), deleted) == 0)
            backing.resize(backing.size() - deleted.size());
        struct stat st;
        if (stat(backing.c_str(), &st) == 0) {
            AddFile(set, st);
            if (bHostFs) CollectDevice(st.st_dev, set, bHostFs, depth + 1);
        }
    }
    if (DIR* sd = opendir((dir + "/slaves").c_str())) {
        while (dirent* e = readdir(sd)) {
            if (e->d_name[0] == '.') continue;
            dev_t below;
            if (ReadDevNumber(dir + "/slaves/" + e->d_name + "/dev", below)) CollectDevice(below, set, bHostFs, depth + 1);
        }
        closedir(sd);
    }
}

// Undoes the octal escapes of /proc/self/mountinfo ("\040" for a space).
std::string UnescapeMountField(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1])) &&
            isdigit(static_cast<unsigned char>(s[i + 2])) && isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The sources of every mount whose device number is d (FUSE file systems
// such as ntfs-3g show only an anonymous number; the mount table names the
// image file or device they were mounted from).
std::vector<std::string> MountSources(dev_t d) {
    std::vector<std::string> out;
    FILE* f = fopen("/proc/self/mountinfo", "r");
    if (!f) return out;
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        // id parent major:minor root mountpoint options ... - fstype source superoptions
        unsigned ma = 0, mi = 0;
        if (sscanf(line, "%*s %*s %u:%u", &ma, &mi) != 2 || makedev(ma, mi) != d) continue;
        const char* dash = strstr(line, " - ");
        if (!dash) continue;
        char fstype[256], source[4096];
        if (sscanf(dash + 3, "%255s %4095s", fstype, source) != 2) continue;
        out.push_back(UnescapeMountField(source));
    }
    free(line);
    fclose(f);
    return out;
}

}  // namespace

bool IsPathOnDevice(const std::string& strPath, const std::string& strDevice, unsigned long long u64StartSector,
                    unsigned long long u64SectorCount) {
    struct stat sd, ss;
    if (stat(strDevice.c_str(), &ss) != 0) return false;
    // An image file (or a whole device built on one): a file system mounted
    // from it, through FUSE or a loop device, holds its data too.
    if (!S_ISBLK(ss.st_mode) || u64SectorCount == 0)
        if (DestinationOnSource(strPath, strDevice)) return true;
    if (!S_ISBLK(ss.st_mode) || stat(strPath.c_str(), &sd) != 0) return false;
    if (Overlapping(sd.st_dev, ss.st_rdev, u64StartSector, u64SectorCount)) return true;
    dev_t mounted;
    return MountSourceDevice(strPath, mounted) && Overlapping(mounted, ss.st_rdev, u64StartSector, u64SectorCount);
}

bool DestinationOnSource(const std::string& strDestDir, const std::string& strSourcePath) {
    struct stat ss;
    if (stat(strSourcePath.c_str(), &ss) != 0) return false;
    // What holds the source's data.
    StorageSet src;
    if (S_ISBLK(ss.st_mode))
        CollectDevice(ss.st_rdev, src, false, 0);
    else if (S_ISREG(ss.st_mode))
        AddFile(src, ss);
    else
        return false;

    // Where the destination's writes go: its nearest existing folder.
    std::string dir = strDestDir.empty() ? std::string(".") : strDestDir;
    struct stat sd;
    while (stat(dir.c_str(), &sd) != 0) {
        size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos) dir = ".";
        else if (slash == 0) dir = "/";
        else dir.resize(slash);
        if (dir == "." || dir == "/") {
            if (stat(dir.c_str(), &sd) != 0) return false;
            break;
        }
    }
    StorageSet dst;
    CollectDevice(sd.st_dev, dst, true, 0);
    for (const std::string& source : MountSources(sd.st_dev)) {
        struct stat ms;
        if (source.empty() || source[0] != '/' || stat(source.c_str(), &ms) != 0) continue;
        if (S_ISBLK(ms.st_mode)) {
            CollectDevice(ms.st_rdev, dst, true, 0);
        } else if (S_ISREG(ms.st_mode)) {
            AddFile(dst, ms);
            CollectDevice(ms.st_dev, dst, true, 0);
        }
    }
    for (dev_t a : src.devices)
        for (dev_t b : dst.devices)
            if (Overlap(a, b)) return true;
    for (const auto& a : src.files)
        for (const auto& b : dst.files)
            if (a == b) return true;
    return false;
}
