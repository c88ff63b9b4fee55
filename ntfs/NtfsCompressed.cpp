#include "ntfs/NtfsCompressed.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "rules/Lznt1.h"
#include "rules/NtfsParse.h"

NtfsDataForm NtfsDataFormOf(u16 nAttrFlags, bool bNonResident) {
    if (nAttrFlags & NTFS_ATTR_FLAG_ENCRYPTED) return NtfsDataForm::Encrypted;
    // Resident data is never compressed, whatever the flag says.
    if (bNonResident && (nAttrFlags & NTFS_ATTR_FLAG_COMPRESSED)) return NtfsDataForm::Compressed;
    return NtfsDataForm::Plain;
}

namespace {

// The pieces of the extents that cover [from, from + length) of the data.
std::vector<DataExtent> Slice(std::span<const DataExtent> extents, u64 from, u64 length) {
    std::vector<DataExtent> out;
    u64 at = 0;
    for (const DataExtent& e : extents) {
        const u64 end = at + e.u64Length;
        if (end > from && at < from + length) {
            const u64 skip = from > at ? from - at : 0;
            const u64 n = std::min(end, from + length) - (at + skip);
            out.push_back({e.bSparse ? 0 : e.u64Offset + skip, n, e.bSparse});
        }
        at = end;
        if (at >= from + length) break;
    }
    return out;
}

}  // namespace

int CopyCompressedData(CExtentReader& reader, std::span<const DataExtent> extents, u64 unitBytes, u64 u64Wanted,
                       int fd, unsigned char* pBuf, u64& u64Delivered, const ExtentProgress& progress) {
    u64Delivered = 0;
    if (unitBytes == 0 || unitBytes > (1u << 24) || (fd < 0 && !pBuf && u64Wanted)) return FR_INVALID;
    u64 total = 0;
    for (const DataExtent& e : extents) total += e.u64Length;
    std::vector<unsigned char> stored, unit(static_cast<size_t>(unitBytes));
    for (u64 from = 0; from < u64Wanted; from += unitBytes) {
        if (from >= total) return FR_SHORT_READ;
        const u64 span = std::min(unitBytes, total - from);
        const std::vector<DataExtent> pieces = Slice(extents, from, span);
        u64 real = 0;
        bool hole = false;
        for (const DataExtent& p : pieces) {
            if (p.bSparse) hole = true;
            else real += p.u64Length;
        }
        std::fill(unit.begin(), unit.end(), 0);
        if (real > 0) {
            // The clusters that are there: the unit itself when it has no
            // hole, else its compressed stream.
            std::vector<DataExtent> there;
            for (const DataExtent& p : pieces)
                if (!p.bSparse) there.push_back(p);
            stored.resize(static_cast<size_t>(real));
            u64 got = 0;
            if (int rc = reader.CopyToBuffer(there, real, stored.data(), got)) return rc;
            if (!hole) {
                std::memcpy(unit.data(), stored.data(), stored.size());
            } else if (Lznt1Decompress(stored, unit) < 0) {
                return EBADMSG;
            }
        }
        const size_t n = static_cast<size_t>(std::min(unitBytes, u64Wanted - from));
        if (fd >= 0) {
            if (int rc = WriteAll(fd, unit.data(), n)) return rc;
        } else {
            std::memcpy(pBuf + u64Delivered, unit.data(), n);
        }
        u64Delivered += n;
        if (progress)
            if (int rc = progress(u64Delivered)) return rc;
    }
    return 0;
}
