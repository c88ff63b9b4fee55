// Carving alone over a whole volume or image: reads it in 64 KiB windows
// and offers every sector to the carving engine exactly as the deep-scan
// orchestrator does (a carved file's body is skipped, also across window
// ends). Used by the command line's carve-only mode and by tests.
#pragma once

#include <atomic>

#include "carving/FileTypeRecovery.h"

struct CarveStats {
    u64 u64SectorsSwept = 0;  // sectors read or skipped
    u64 u64FilesFound = 0;    // files recorded by this run
    u64 u64WindowsRead = 0;
    u64 u64UnreadableSectors = 0;  // read errors: passed over
    u64 u64HoleSectors = 0;        // holes of an image file: never read
};

// Sweeps the engine's volume (as set by its Init): sectors from
// GetVolumeStartSector() for GetVolumeSectorCount() sectors.
// Progress goes to pScanFunc as (sweep% + 10, 90, seconds left, sector,
// total, files, null) after each window and as (100, 100, 0...) at the
// end; a non-zero answer stops the sweep and becomes the result. A set
// *pCancel stops it with FR_RECOVERY_CANCELLED (-9527). Returns 0 when the
// whole volume was swept.
int CarveImage(CFileTypeRecovery& engine, ScanProgressFunc pScanFunc, void* pParam,
               const std::atomic<bool>* pCancel = nullptr, CarveStats* pStats = nullptr);

// The same over an explicit range of absolute sectors read through reader.
int CarveRange(CFileTypeRecovery& engine, CDiskReader& reader, u64 u64StartSector, u64 u64SectorCount,
               int nBytesPerSector, ScanProgressFunc pScanFunc, void* pParam,
               const std::atomic<bool>* pCancel = nullptr, CarveStats* pStats = nullptr);
