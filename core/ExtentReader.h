// Copies a file's data, given as a list of extents on the device, to an
// output descriptor or a buffer. Every engine reads file data this way.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "core/DataExtent.h"
#include "core/DiskReader.h"

// Called after each piece with the bytes delivered so far; nonzero stops the
// copy and becomes its result.
using ExtentProgress = std::function<int(u64 u64Done)>;

class CExtentReader {
public:
    // Reads through reader in sectors of nBytesPerSector bytes.
    CExtentReader(CDiskReader& reader, int nBytesPerSector);

    // Writes the first u64Wanted bytes of the extents to fd, sparse extents
    // as holes (zeros where fd cannot seek). 0; errno of a failed write;
    // ENOSPC, before writing anything, when the destination has less room
    // than the data; 87 for a misaligned extent or one past the volume end;
    // a u64Wanted larger than the whole volume is cut to the volume's size;
    // 30 when a read comes back short or the extents end before u64Wanted
    // bytes; or the progress callback's stop value. What arrived before a
    // failure has been written.
    int CopyToFd(std::span<const DataExtent> extents, u64 u64Wanted, int fd, const ExtentProgress& progress = {});
    // The same into pBuf (room for u64Wanted bytes); u64Delivered counts the
    // bytes placed there, also when the copy fails part way.
    int CopyToBuffer(std::span<const DataExtent> extents, u64 u64Wanted, unsigned char* pBuf, u64& u64Delivered,
                     const ExtentProgress& progress = {});

    static constexpr u32 kWindowBytes = 65536;

private:
    // put(p, n) takes n bytes of data, p == nullptr for n bytes of a sparse extent.
    int Copy(std::span<const DataExtent> extents, u64 u64Wanted,
             const std::function<int(const unsigned char*, size_t)>& put, u64& u64Done,
             const ExtentProgress& progress);

    CDiskReader& m_Reader;
    u32 m_nBytesPerSector;
    std::vector<unsigned char> m_vecWindow;
};
