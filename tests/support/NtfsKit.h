// NTFS helpers for engine tests: record numbers and DOS names of files on
// a mounted volume, the deep sweep in small, and parent references.
#pragma once

#include <string>

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

// Rewrites, in an image, the parent reference of the first file-name
// attribute of the FILE record at a sector. False when there is none.
bool NtfsSetParentRef(const std::string& image, uint64_t recordSector, uint64_t parentRef);

}  // namespace testkit
