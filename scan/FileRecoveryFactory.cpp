#include "scan/FileRecoveryFactory.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

#include "scan/ProfessionalRecovery.h"
#include "core/BootSector.h"
#include "core/DiskReader.h"
#include "ext/FastExtRecovery.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "exfat/FastExfatRecovery.h"
#include "fat/FastFatRecovery.h"
#include "rules/ExfatRules.h"
#include "rules/FatRules.h"
#include "ntfs/FastNtfsRecovery.h"

CFileRecoveryFactory* CFileRecoveryFactory::GetInstance() {
    static CFileRecoveryFactory s_fastRecovery;
    return &s_fastRecovery;
}

CFileRecoveryFactory::FsKind CFileRecoveryFactory::DetectFileSystem(const unsigned char* probe) {
    if (!probe) return FS_NONE;
    if (IsNtfs(probe)) return FS_NTFS;
    if (IsFat(probe)) return FS_FAT;
    if (IsExt(probe)) return FS_EXT;
    return FS_NONE;
}

CFileRecoveryFactory::FsKind CFileRecoveryFactory::DetectFileSystem(std::span<const unsigned char> head) {
    if (head.size() < static_cast<size_t>(kProbeBytes)) return FS_NONE;
    ExfatBootInfo boot;
    if (FindExfatBootRegion(head, boot)) return FS_EXFAT;
    const FsKind kind = DetectFileSystem(head.data());
    // A FAT32 volume whose first sector is damaged, by its backup.
    if (kind == FS_NONE && FindFatBootRecord(head.data(), head.size())) return FS_FAT;
    return kind;
}

FastEngineMaker CFileRecoveryFactory::FastEngines() {
    FastEngineMaker maker;
    maker.forPartition = [](int disk, long long start, long long count, wchar_t letter) {
        return GetInstance()->CreateFileRecoveryInstance(disk, start, count, letter, RECOVERY_FAST);
    };
    maker.forPath = [](wchar_t* path, wchar_t letter) {
        return GetInstance()->CreateFileRecoveryInstance(path, letter, RECOVERY_FAST);
    };
    return maker;
}

IFileRecoveryParse* CFileRecoveryFactory::NewEngine(FsKind kind, RECOVERY_TYPE type) {
    // A deep request gets the deep scan whatever the file system.
    if (type != RECOVERY_FAST) return new CProfessionalRecovery(FastEngines());
    switch (kind) {
        case FS_NTFS: return new CFastNtfsRecovery();
        case FS_FAT: return new CFastFatRecovery();
        case FS_EXT: return new CFastExtRecovery();
        case FS_EXFAT: return new CFastExfatRecovery();
        default: return nullptr;
    }
}

namespace {
// Reads the probe at a byte offset: the exFAT boot regions' worth when
// that much is there; false when fewer than kProbeBytes arrive.
bool ReadProbe(int fd, long long offset, std::vector<unsigned char>& probe) {
    probe.assign(kExfatHeadBytes, 0);
    const size_t got = ReadFullAt(fd, static_cast<unsigned long long>(offset), probe.data(), probe.size());
    if (got < static_cast<size_t>(CFileRecoveryFactory::kProbeBytes)) return false;
    probe.resize(got);
    return true;
}
}  // namespace

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(wchar_t* path, wchar_t letter,
                                                                     RECOVERY_TYPE type) {
    if (!path) return nullptr;
    // A path longer than 255 bytes is still opened whole, never cut.
    std::string full = WideToUtf8(path);
    CUniqueFd fd(OpenDeviceReadOnly(full.c_str()));
    if (!fd.valid()) return nullptr;
    std::vector<unsigned char> probe;
    if (!ReadProbe(fd.get(), 0, probe)) return nullptr;
    IFileRecoveryParse* engine = NewEngine(DetectFileSystem(probe), type);
    if (engine) engine->Init(path, letter);
    return engine;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(int diskNumber, long long startSector,
                                                                     long long sectorCount, wchar_t letter,
                                                                     RECOVERY_TYPE type) {
    std::string path = GetDiskDevicePath(diskNumber);
    CUniqueFd fd(OpenDeviceReadOnly(path.c_str()));
    if (!fd.valid()) {
        FrLog("Open Failed\n");
        return nullptr;
    }
    if (startSector < 0 || startSector > INT64_MAX / 512 || lseek(fd.get(), startSector * 512, SEEK_SET) == -1) {
        FrLog("lseek Failed\n");
        return nullptr;
    }
    std::vector<unsigned char> probe;
    if (!ReadProbe(fd.get(), startSector * 512, probe)) {
        FrLog("read Failed\n");
        return nullptr;
    }
    IFileRecoveryParse* engine = NewEngine(DetectFileSystem(probe), type);
    if (engine) engine->Init(diskNumber, startSector, sectorCount, letter);
    return engine;
}
