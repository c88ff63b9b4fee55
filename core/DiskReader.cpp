#include "DiskReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include "Platform.h"
#include "TextHelpers.h"

namespace {

// Reads total bytes at the byte offset nOffset (pread), or from fd's
// position for a negative nOffset (read), in pieces of at most 64 KiB,
// retrying interrupted reads; done = the bytes that arrived. false when
// fewer arrived: nErr is then the errno of the failed read, 0 when the data
// ended.
bool ReadPieces(int fd, unsigned char* pBuf, size_t total, long long nOffset, size_t& done, int& nErr) {
    done = 0;
    nErr = 0;
    while (done < total) {
        const size_t piece = std::min<size_t>(total - done, 0x10000);
        ssize_t r = nOffset < 0 ? read(fd, pBuf + done, piece)
                                : pread(fd, pBuf + done, piece, static_cast<off_t>(nOffset + static_cast<long long>(done)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            nErr = r == 0 ? 0 : errno;
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

CDiskReader::CDiskReader() : m_hDevice(-1), m_u64SectorLimit(0) {}

CDiskReader::~CDiskReader() { Close(); }

void CDiskReader::Close() {
    if (m_hDevice != -1) close(m_hDevice);
    m_hDevice = -1;
}

int CDiskReader::Init(int nDiskNumber, unsigned long long u64SectorLimit) {
    std::string path = GetDiskDevicePath(nDiskNumber);
    return Init(path.c_str(), u64SectorLimit);
}

int CDiskReader::Init(const wchar_t* szPath, unsigned long long u64SectorLimit) {
    if (!szPath) return FR_INVALID;
    std::string path = WideToUtf8(szPath);
    return Init(path.c_str(), u64SectorLimit);
}

int CDiskReader::Init(const char* szPath, unsigned long long u64SectorLimit) {
    int fd = OpenDeviceReadOnly(szPath);
    if (fd < 0) return errno ? errno : ENOENT;
    Close();
    m_hDevice = fd;
    m_u64SectorLimit = u64SectorLimit;
    const long long bytes = rsb_getDeviceSize(fd);
    m_u64DeviceBytes = bytes > 0 ? static_cast<unsigned long long>(bytes) : 0;
    m_bHitEnd = false;
    return 0;
}

int CDiskReader::ReadData(unsigned char* pBuf, int nSectors, long long u64StartSector,
                          int nBytesPerSector, unsigned int* pSectorsRead) {
    if (nSectors < 0 || u64StartSector < 0 || nBytesPerSector <= 0) return FR_INVALID;
    if (nSectors > 0 && !pBuf) return FR_INVALID;
    const unsigned long long start = static_cast<unsigned long long>(u64StartSector);
    const unsigned long long count = static_cast<unsigned long long>(nSectors);
    // start + count > limit, written so that nothing wraps.
    if (start > m_u64SectorLimit || count > m_u64SectorLimit - start) return FR_INVALID;
    const unsigned long long total = count * static_cast<unsigned long long>(nBytesPerSector);
    if (total > 0x7fffffffULL) return FR_INVALID;
    if (start > static_cast<unsigned long long>(INT64_MAX) / static_cast<unsigned>(nBytesPerSector))
        return FR_INVALID;
    const long long offset = static_cast<long long>(start * static_cast<unsigned>(nBytesPerSector));
    m_bHitEnd = false;
    // Nothing lies beyond the end of the device, whatever a partition table
    // or boot sector claims: such a read fails at once, without a log line.
    if (total > 0 && static_cast<unsigned long long>(offset) >= m_u64DeviceBytes && m_u64DeviceBytes > 0) {
        m_bHitEnd = true;
        return FR_INVALID;
    }
    if (m_hDevice < 0) return EBADF;
    // Positioned reads: one system call a piece rather than a seek and a
    // read (a carve's length walks make thousands of small reads).
    size_t done = 0;
    int nErr = 0;
    if (!ReadPieces(m_hDevice, pBuf, static_cast<size_t>(total), offset, done, nErr)) {
        m_bHitEnd = nErr == 0;
        FrLog("read %lld\n", static_cast<long long>(nErr));
        if (pSectorsRead) *pSectorsRead = static_cast<unsigned>(done / static_cast<unsigned>(nBytesPerSector));
        return FR_SHORT_READ;
    }
    if (pSectorsRead) *pSectorsRead = static_cast<unsigned>(nSectors);
    return 0;
}

CUniqueFd::~CUniqueFd() { reset(); }

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

void CUniqueFd::reset(int fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

int OpenImageFile(const wchar_t* szPath, ImageFile& image) {
    if (!szPath) return FR_INVALID;
    image.strPath = WideToUtf8(szPath);
    const int fd = OpenDeviceReadOnly(image.strPath.c_str());
    const int err = errno;
    image.fd.reset(fd);
    if (fd < 0) return err ? err : ENOENT;
    image.llBytes = rsb_getDeviceSize(fd);
    if (image.llBytes < 0) return errno ? errno : FR_FAILED;
    return 0;
}

size_t ReadFullAt(int fd, unsigned long long offset, unsigned char* buf, size_t len, int* pErr) {
    if (pErr) *pErr = 0;
    if (offset > static_cast<unsigned long long>(INT64_MAX)) return 0;
    size_t done = 0;
    while (done < len) {
        ssize_t r = pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && pErr) *pErr = errno ? errno : EIO;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

int ReadData(int fd, unsigned char* pBuf, int nLen, unsigned int* pRead) {
    if (nLen < 0 || (nLen > 0 && !pBuf)) return FR_INVALID;
    size_t done = 0;
    int nErr = 0;
    const bool bAll = ReadPieces(fd, pBuf, static_cast<size_t>(nLen), -1, done, nErr);
    if (pRead) *pRead = static_cast<unsigned>(done);
    return bAll ? 0 : FR_SHORT_READ;
}

int WriteFully(int fd, const void* pBuf, size_t nLen, long long nOffset, int nNoErrno, int nNoProgress) {
    const unsigned char* p = static_cast<const unsigned char*>(pBuf);
    while (nLen > 0) {
        ssize_t w = nOffset < 0 ? write(fd, p, nLen) : pwrite(fd, p, nLen, static_cast<off_t>(nOffset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno ? errno : nNoErrno;
        }
        if (w == 0) return nNoProgress;
        p += w;
        nLen -= static_cast<size_t>(w);
        if (nOffset >= 0) nOffset += w;
    }
    return 0;
}

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr) {
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!pAttr) return 0;
    *pAttr = STRUCT_RSB_FILE_ATTR{};
    pAttr->dwMode = st.st_mode;
    pAttr->dwOwner = st.st_uid;
    pAttr->dwGroup = st.st_gid;
    pAttr->dwSizeHigh = static_cast<u32>(static_cast<u64>(st.st_size) >> 32);
    pAttr->dwSizeLow = static_cast<u32>(static_cast<u64>(st.st_size));
    pAttr->tAccess = st.st_atime;
    pAttr->tModify = st.st_mtime;
    pAttr->tChange = st.st_ctime;
    pAttr->dwDevice = static_cast<u32>(st.st_rdev);
    pAttr->u64Inode = st.st_ino;
    pAttr->dwLinks = static_cast<u32>(st.st_nlink);
    return 0;
}

long long rsb_getDeviceSize(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        unsigned long long bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
        return static_cast<long long>(bytes);
    }
    return st.st_size;
}

int rsb_getFileSizeH(int fd, int* pLow, unsigned* pHigh) {
    long long size = rsb_getDeviceSize(fd);
    if (size < 0) return -1;
    if (pLow) *pLow = static_cast<int>(static_cast<u32>(static_cast<u64>(size)));
    if (pHigh) *pHigh = static_cast<unsigned>(static_cast<u64>(size) >> 32);
    return 0;
}

int rsb_getFreeSpace(char* szPath, int /*nLen*/, unsigned* pHigh, unsigned* pLow) {
    if (pHigh) *pHigh = 0;
    if (pLow) *pLow = 0;
    if (!szPath || szPath[0] != '/') return 0;
    for (;;) {
        struct statvfs vfs;
        if (statvfs(szPath, &vfs) == 0) {
            u64 bytes = static_cast<u64>(vfs.f_bavail) * static_cast<u64>(vfs.f_frsize);
            if (pHigh) *pHigh = static_cast<unsigned>(bytes >> 32);
            if (pLow) *pLow = static_cast<unsigned>(bytes);
            return 0;
        }
        size_t len = strlen(szPath);
        if (len < 2) return -1;
        char* slash = strrchr(szPath, '/');
        if (!slash) return -1;
        if (slash == szPath)
            szPath[1] = 0;
        else
            *slash = 0;
    }
}

void rsb_msleep(int nMilliseconds) {
    if (nMilliseconds <= 0) return;
    timespec ts;
    ts.tv_sec = nMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(nMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static int FillSystemTime(SYSTEMTIME* pTime, bool local) {
    if (!pTime) return FR_INVALID;
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    time_t secs = tv.tv_sec;
    if ((local ? localtime_r(&secs, &t) : gmtime_r(&secs, &t)) == nullptr) return 34;
    pTime->wYear = static_cast<u16>(t.tm_year + 1900);
    pTime->wMonth = static_cast<u16>(t.tm_mon + 1);
    pTime->wDay = static_cast<u16>(t.tm_mday);
    pTime->wDayOfWeek = static_cast<u16>(t.tm_wday);
    pTime->wHour = static_cast<u16>(t.tm_hour);
    pTime->wMinute = static_cast<u16>(t.tm_min);
    pTime->wSecond = static_cast<u16>(t.tm_sec);
    pTime->wMilliseconds = static_cast<u16>(tv.tv_usec / 1000);
    return 0;
}

int rsb_getLocalTime(SYSTEMTIME* pTime) { return FillSystemTime(pTime, true); }
int rsb_getSystemTime(SYSTEMTIME* pTime) { return FillSystemTime(pTime, false); }

unsigned long long rsb_getTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000ULL +
           static_cast<unsigned long long>(ts.tv_nsec) / 1000000ULL;
}
