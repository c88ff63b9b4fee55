#include "core/ExtentReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>
#include <unistd.h>

void AppendExtent(std::vector<DataExtent>& extents, const DataExtent& e) {
    if (e.u64Length == 0) return;
    if (!extents.empty()) {
        DataExtent& last = extents.back();
        if (last.bSparse == e.bSparse && (e.bSparse || last.u64Offset + last.u64Length == e.u64Offset)) {
            last.u64Length += e.u64Length;
            return;
        }
    }
    extents.push_back(e);
}

void TrimExtents(std::vector<DataExtent>& extents, u64 u64Wanted) {
    u64 covered = 0;
    for (size_t i = 0; i < extents.size(); ++i) {
        if (covered + extents[i].u64Length >= u64Wanted) {
            extents[i].u64Length = u64Wanted - covered;
            extents.resize(extents[i].u64Length ? i + 1 : i);
            return;
        }
        covered += extents[i].u64Length;
    }
}

bool FirstDataOffset(const std::vector<DataExtent>& extents, u64& u64Offset) {
    for (const DataExtent& e : extents)
        if (!e.bSparse && e.u64Length) {
            u64Offset = e.u64Offset;
            return true;
        }
    return false;
}

CExtentReader::CExtentReader(CDiskReader& reader, int nBytesPerSector)
    : m_Reader(reader), m_nBytesPerSector(nBytesPerSector > 0 ? static_cast<u32>(nBytesPerSector) : 512) {}

int CExtentReader::Copy(std::span<const DataExtent> extents, u64 u64Wanted,
                        const std::function<int(const unsigned char*, size_t)>& put, u64& u64Done,
                        const ExtentProgress& progress) {
    const u64 bps = m_nBytesPerSector;
    const u64 window = std::max<u64>(kWindowBytes / bps, 1) * bps;
    if (m_vecWindow.size() < window) m_vecWindow.assign(static_cast<size_t>(window), 0);
    u64Done = 0;
    for (const DataExtent& e : extents) {
        if (u64Done >= u64Wanted) break;
        if (!e.bSparse && e.u64Offset % bps != 0) return FR_INVALID;
        for (u64 off = 0; off < e.u64Length && u64Done < u64Wanted;) {
            const u64 piece = std::min({window, e.u64Length - off, u64Wanted - u64Done});
            int rc;
            if (e.bSparse) {
                rc = put(nullptr, static_cast<size_t>(piece));
                if (rc != 0) return rc;
            } else {
                const u64 first = (e.u64Offset + off) / bps;
                u64 sectors = (piece + bps - 1) / bps;
                // Data that runs past the end of the volume is cut there and
                // reported as a short read; data wholly beyond it is refused.
                const u64 limit = m_Reader.GetSectorLimit();
                if (first < limit && sectors > limit - first) sectors = limit - first;
                unsigned got = 0;
                rc = m_Reader.ReadData(m_vecWindow.data(), static_cast<int>(sectors), static_cast<long long>(first),
                                       static_cast<int>(bps), &got);
                const u64 arrived = std::min<u64>(piece, static_cast<u64>(got) * bps);
                if (arrived > 0) {
                    const int w = put(m_vecWindow.data(), static_cast<size_t>(arrived));
                    if (w != 0) return w;
                    u64Done += arrived;
                }
                if (rc != 0) return rc;
                if (arrived < piece) return FR_SHORT_READ;
                if (progress) {
                    const int stop = progress(u64Done);
                    if (stop != 0) return stop;
                }
                off += piece;
                continue;
            }
            u64Done += piece;
            off += piece;
            if (progress) {
                const int stop = progress(u64Done);
                if (stop != 0) return stop;
            }
        }
    }
    return u64Done < u64Wanted ? FR_SHORT_READ : 0;
}

int CExtentReader::CopyToFd(std::span<const DataExtent> extents, u64 u64Wanted, int fd,
                            const ExtentProgress& progress) {
    // A file larger than the whole volume cannot be real: at most the
    // volume's size is written, and the copy counts as short.
    const u64 volumeBytes = m_Reader.GetSectorLimit() > ~0ULL / m_nBytesPerSector
                                ? ~0ULL
                                : m_Reader.GetSectorLimit() * m_nBytesPerSector;
    const bool bTooLarge = u64Wanted > volumeBytes;
    if (bTooLarge) u64Wanted = volumeBytes;
    // The data must fit on the destination: checked before anything is
    // written, so that a full disk stops the recovery between whole files.
    u64 dataBytes = 0;
    for (const DataExtent& e : extents)
        if (!e.bSparse) dataBytes += e.u64Length;
    dataBytes = std::min(dataBytes, u64Wanted);
    struct statvfs vfs;
    if (fstatvfs(fd, &vfs) == 0 && static_cast<u64>(vfs.f_bavail) * vfs.f_frsize < dataBytes) return ENOSPC;
    // Sparse stretches become holes where the destination allows seeking.
    const bool bHoles = lseek(fd, 0, SEEK_CUR) != -1;
    bool bTrailingHole = false;
    std::vector<unsigned char> zeros;
    u64 done = 0;
    int rc = Copy(
        extents, u64Wanted,
        [&](const unsigned char* p, size_t n) -> int {
            bTrailingHole = p == nullptr && bHoles;
            if (p) return WriteAll(fd, p, n);
            if (bHoles) return lseek(fd, static_cast<off_t>(n), SEEK_CUR) == -1 ? (errno ? errno : FR_FAILED) : 0;
            if (zeros.size() < n) zeros.assign(n, 0);
            return WriteAll(fd, zeros.data(), n);
        },
        done, progress);
    // A hole at the end still counts towards the file's length.
    if (bTrailingHole) {
        const off_t end = lseek(fd, 0, SEEK_CUR);
        if (end == -1 || ftruncate(fd, end) != 0) return rc != 0 ? rc : (errno ? errno : FR_FAILED);
    }
    return rc == 0 && bTooLarge ? FR_SHORT_READ : rc;
}

int CExtentReader::CopyToBuffer(std::span<const DataExtent> extents, u64 u64Wanted, unsigned char* pBuf,
                                u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    if (!pBuf && u64Wanted > 0) return FR_INVALID;
    u64 done = 0;
    return Copy(
        extents, u64Wanted,
        [&](const unsigned char* p, size_t n) -> int {
            if (p)
                std::memcpy(pBuf + u64Delivered, p, n);
            else
                std::memset(pBuf + u64Delivered, 0, n);
            u64Delivered += n;
            return 0;
        },
        done, progress);
}
