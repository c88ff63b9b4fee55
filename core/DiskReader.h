// Read-only sector access to a device or image file, bounded by the end of
// the volume, and the small POSIX helpers the engines share.
#pragma once

#include <cerrno>
#include <string>

#include "Records.h"

class CDiskReader {
public:
    CDiskReader();
    ~CDiskReader();
    CDiskReader(const CDiskReader&) = delete;
    CDiskReader& operator=(const CDiskReader&) = delete;

    // Opens disk N read-only. u64SectorLimit is the volume's first sector
    // plus its sector count: reads must end at or before it.
    int Init(int nDiskNumber, unsigned long long u64SectorLimit);
    // The same for an image file (or a device given by path).
    int Init(const wchar_t* szPath, unsigned long long u64SectorLimit);
    int Init(const char* szPath, unsigned long long u64SectorLimit);

    // Reads nSectors sectors at the absolute sector u64StartSector.
    // 0 on success; 87 past the limit, past the end of the device or for a
    // bad argument; 30 on a short
    // read (pSectorsRead then counts the whole sectors that arrived);
    // otherwise errno of the failed seek.
    int ReadData(unsigned char* pBuf, int nSectors, long long u64StartSector, int nBytesPerSector,
                 unsigned int* pSectorsRead);

    int GetHandle() const { return m_hDevice; }
    unsigned long long GetSectorLimit() const { return m_u64SectorLimit; }
    void SetSectorLimit(unsigned long long u64Limit) { m_u64SectorLimit = u64Limit; }
    void Close();
    // Bytes the device or image holds (taken when it was opened).
    unsigned long long GetDeviceBytes() const { return m_u64DeviceBytes; }
    // True when the last failed read ended at the end of the data rather
    // than on a read error.
    bool LastReadHitEnd() const { return m_bHitEnd; }

private:
    int m_hDevice;
    unsigned long long m_u64SectorLimit;
    unsigned long long m_u64DeviceBytes = 0;
    bool m_bHitEnd = false;
};

// Owns a descriptor and closes it.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd();
    CUniqueFd(CUniqueFd&& o) noexcept : m_fd(o.release()) {}
    CUniqueFd& operator=(CUniqueFd&& o) noexcept;
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

struct STRUCT_RSB_FILE_ATTR {
    u32 dwReserved0;
    u32 dwMode;
    u32 dwOwner;
    u32 dwGroup;
    u32 dwSizeHigh;
    u32 dwSizeLow;
    i64 tAccess;
    i64 tModify;
    i64 tChange;
    u32 dwReserved1;
    u32 dwDevice;
    u64 u64Inode;
    u32 dwLinks;
};

// A device or image file given by path, open read-only, and its size.
struct ImageFile {
    std::string strPath;  // UTF-8
    CUniqueFd fd;
    long long llBytes = 0;
};
// Opens szPath for image: 0, FR_INVALID for a null path, or the errno of the
// failed open or size query.
int OpenImageFile(const wchar_t* szPath, ImageFile& image);

// Reads up to len bytes at a byte offset (pread, retried until done, end of
// file or error); the number of bytes that arrived. pErr, when given, gets
// the errno of a failed read, 0 when the data ended or all arrived.
size_t ReadFullAt(int fd, unsigned long long offset, unsigned char* buf, size_t len, int* pErr = nullptr);
// Reads nLen bytes from fd's position in pieces of at most 64 KiB.
int ReadData(int fd, unsigned char* pBuf, int nLen, unsigned int* pRead);
// Writes the whole buffer at the byte offset nOffset (pwrite), or at the
// file's position for a negative nOffset (write), retrying short and
// interrupted writes. 0; the errno of a failed write (nNoErrno when it set
// none); nNoProgress when a write took nothing.
int WriteFully(int fd, const void* pBuf, size_t nLen, long long nOffset, int nNoErrno, int nNoProgress);
// Writes the whole buffer at the file's position; 0 or errno (ENOSPC when
// a write takes nothing).
inline int WriteAll(int fd, const void* pBuf, size_t nLen) {
    return WriteFully(fd, pBuf, nLen, -1, FR_FAILED, ENOSPC);
}

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr);
int rsb_getFileSizeH(int fd, int* pLow, unsigned* pHigh);
int rsb_getFreeSpace(char* szPath, int nLen, unsigned* pHigh, unsigned* pLow);
void rsb_msleep(int nMilliseconds);
int rsb_getLocalTime(SYSTEMTIME* pTime);
int rsb_getSystemTime(SYSTEMTIME* pTime);
unsigned long long rsb_getTickCount();
// Size of an open file or block device in bytes; -1 on failure.
long long rsb_getDeviceSize(int fd);
