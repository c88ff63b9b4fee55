// NTFS helpers for engine tests: record numbers and DOS names of files on
// a mounted volume, the deep sweep in small, and parent references.
#pragma once

#include <string>
#include <vector>

#include "support/TestKit.h"

class CProfessionalNtfsRecovery;

namespace testkit {

// The MFT record number of a file on an ntfs-3g mount (its inode number).
uint64_t NtfsRecordOf(const std::string& mountedPath);
// Gives a file on an ntfs-3g mount a DOS short name (its long name then
// becomes a Win32 name).
bool NtfsSetDosName(const std::string& mountedPath, const std::string& shortName);

// The deep scan's sweep in small: starts a scan on the engine, hands it
// every sector of the image (in ascending or descending order) that passes
// IsNtfsFileRecord, then runs its folder pass. Returns the number of
// candidate records, or -1 when the image cannot be read.
long NtfsDeepSweep(CProfessionalNtfsRecovery& engine, const std::string& image, bool bDescending = false);

// The sector of an MFT record in an image, as the fast engine maps it.
uint64_t NtfsRecordSector(const std::string& image, uint64_t record);
// Byte offset in an image of the first attribute of a type in the FILE
// record at a sector; 0 when there is none.
size_t NtfsAttrAt(const std::string& image, uint64_t recordSector, uint32_t type);
// Where the value of that record's first file-name attribute starts; 0 when none.
size_t NtfsFileNameValueAt(const std::string& image, uint64_t recordSector);
// A copy of an image with count bytes between from and from + span
// changed, the last two bytes of every sector (the update sequence) left
// alone: records still pass the fix-up and the parser meets the damage.
std::vector<unsigned char> NtfsScribble(std::vector<unsigned char> image, size_t from, size_t span, uint32_t seed,
                                        size_t count);
// Writes a sparse file on a mount (8 KiB of data, a 64 KiB hole, 8 KiB of
// data) and returns its content.
std::vector<unsigned char> NtfsWriteSparse(const std::string& mountedPath, uint32_t seed);

}  // namespace testkit
