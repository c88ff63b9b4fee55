// Creates the recovery engine for a partition: reads its first 16 KiB,
// decides which file system is there and builds the engine that the request
// and the file system call for.
#pragma once

#include <span>

#include "core/IFileRecoveryParse.h"
#include "scan/ProfessionalRecovery.h"

class CFileRecoveryFactory {
public:
    static CFileRecoveryFactory* GetInstance();

    // An image file or device node; the engine's path form of Init is called.
    IFileRecoveryParse* CreateFileRecoveryInstance(wchar_t* path, wchar_t letter, RECOVERY_TYPE type);
    // A partition of disk N: its first sector and its length in 512-byte sectors.
    IFileRecoveryParse* CreateFileRecoveryInstance(int diskNumber, long long startSector, long long sectorCount,
                                                   wchar_t letter, RECOVERY_TYPE type);

    // The file system a probe buffer of at least 16384 bytes shows.
    enum FsKind { FS_NONE, FS_NTFS, FS_FAT, FS_EXT, FS_EXFAT };
    static FsKind DetectFileSystem(const unsigned char* probe);
    static constexpr int kProbeBytes = 16384;
    // The same over a volume's first bytes, however many: exFAT is told by a
    // boot region whose checksum holds (the backup one when the main one is
    // damaged; with 4096-byte sectors they reach past the probe).
    static FsKind DetectFileSystem(std::span<const unsigned char> head);

    // What the full scan uses to make its fast engine: this factory.
    static FastEngineMaker FastEngines();

private:
    CFileRecoveryFactory() = default;
    static IFileRecoveryParse* NewEngine(FsKind kind, RECOVERY_TYPE type);
};
