// The scan-log directory: one numbered subdirectory per deep scan ("1/",
// "2/", ...) holding every engine's result files, and the table "config" of
// scanned volumes (a u64 directory counter followed by 592-byte
// _LOG_FILE_INFO_ records), rewritten through "config.tmp".
//
// One instance per process (GetInstance); its methods may be called from
// any thread (a lock serialises them). Several processes may share the
// directory: every change of the table is made under an flock of
// "config.lock" on the table as it is on disk at that moment, and each
// process holds an flock on the ".held" file of the log folder it uses, so
// that no other process deletes it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "core/Records.h"

#pragma pack(push, 1)
struct _LOG_FILE_INFO_ {
    int32_t nDiskNumber;       // 0
    u32 nReserved0;            // 4
    u64 u64StartSector;        // 8
    u64 u64SectorCount;        // 16
    u64 u64RangeStart;         // 24  unallocated stretch being swept (volume-relative)
    u64 u64RangeCount;         // 32  its length; 0 once the sweep finished
    u64 u64RangeOffset;        // 40  sectors of it already swept
    u64 u64ScannedSectors;     // 48
    u64 u64FoundFiles;         // 56
    u64 u64FreeSpace;          // 64  free bytes of the volume's path when written
    u64 u64MediumId;           // 72  what the medium is (0: not known); see CScanController::MediumId
    char szImagePath[256];     // 80  empty for a device
    char szLogDirPath[256];    // 336 base directory + N + "/"
};
#pragma pack(pop)
static_assert(sizeof(_LOG_FILE_INFO_) == 592);

class CLogFileManager {
public:
    // The process-wide instance on the scan-log directory of the platform
    // layer (created on first call).
    static CLogFileManager& GetInstance();
    // Drops the instance so that the next GetInstance re-reads the data
    // directory (tests that change FOTORETTA_DATA_DIR).
    static void ResetInstance();

    // A manager on an explicit base directory (ending in '/' or not).
    explicit CLogFileManager(const std::string& strBaseDir);
    CLogFileManager(const CLogFileManager&) = delete;
    CLogFileManager& operator=(const CLogFileManager&) = delete;
    ~CLogFileManager();

    // Loads "config" (repairing an interrupted rewrite from "config.tmp"):
    // 0, 87 when it is missing or empty, 30 when nothing could be read, errno.
    int Init();

    // out = the reused log directory, else base + u64DirIndex + "/".
    void GetLogFileDirPath(char* out, size_t nOutSize = 256);
    std::string GetLogFileDirPath();

    // Moves to the next directory number (deleting a leftover directory of
    // that number and its record) and clears the reuse flag.
    void AddDirIndex();
    // Gives back the number a failed scan did not use.
    void ReduceDirIndex();

    // out = the first name in dir (ascending order) containing prefix, or
    // "" when none does. Returns 0.
    int GetLogFileNameByFileType(const char* dir, const char* prefix, char* out,
                                 size_t nOutSize = 256);

    // 1 when the volume's earlier log is reused (copied to out), else 0;
    // a stale earlier log is deleted.
    // With a medium id, the record is the one of that medium (whatever disk
    // number it was given) and free space is not compared; a record of the
    // same volume for another medium is stale (OtherMediumFound).
    int LoadRecoveryLogInfo(const char* freeSpacePath, int nDiskNumber, u64 u64StartSector,
                            u64 u64SectorCount, _LOG_FILE_INFO_* out, u64 u64MediumId = 0);
    // The disk number that stands for an image file.
    static constexpr int kImageDiskNumber = 128;
    // The same for an image file, whose record is found by its path and
    // size (an image has no free space to compare): 1 when its earlier log
    // is reused (copied to out), else 0.
    int LoadImageLogInfo(const char* szImagePath, u64 u64SectorCount, _LOG_FILE_INFO_* out, u64 u64MediumId = 0);
    // The last load found a record of the same volume or path made for
    // another medium, and dropped it.
    bool OtherMediumFound() const { return m_bOtherMedium; }
    // Records the scan's progress (updating the volume's record in place
    // when its free space is unchanged) and saves the table. Returns 0.
    int SaveLogFileInfo(const char* freeSpacePath, int nDiskNumber, u64 u64StartSector,
                        u64 u64SectorCount, u64 u64RangeStart, u64 u64RangeCount,
                        u64 u64RangeOffset, u64 u64ScannedSectors, u64 u64FoundFiles,
                        const char* szLogDirPath, const char* szImagePath, u64 u64MediumId = 0);
    // errno of the last table save that failed (0 when the last one worked).
    int LastSaveError() const { return m_nLastSaveError; }
    // Removes the record whose log directory equals dir (ignoring case),
    // then the directory itself, but only when dir is an absolute path
    // below the base directory; symbolic links are never followed. Returns 0.
    int DeleteLogFileDir(const char* dir);
    // Rewrites "config" through "config.tmp": 0 or errno.
    int SaveLogConfigFile();

    // Read access for the orchestrator and tests.
    const std::string& GetBaseDir() const { return m_strBaseDir; }
    u64 GetDirIndex() const { return m_u64DirIndex; }
    bool IsReusing() const { return m_bReuse != 0; }
    std::vector<_LOG_FILE_INFO_> GetRecords() const;

private:
    int InitLocked();
    int ReloadLocked();
    void HoldDir(const std::string& dir);
    void ReleaseHeldLocked();
    // Reloads the table and forgets the last load's reuse.
    void ReloadForLoadLocked();
    // Reuses rec's log folder (copied to out): returns 1.
    int ReuseLocked(const _LOG_FILE_INFO_& rec, _LOG_FILE_INFO_* out);
    // Removes record i and its log folder (the table is not saved).
    void DropRecordLocked(size_t i);
    bool HeldElsewhere(const std::string& dir) const;
    int SaveLocked();
    int DeleteLocked(const char* dir);
    int RemoveDirLocked(const char* dir);
    int FindRecord(int nDiskNumber, u64 u64StartSector, u64 u64SectorCount) const;
    int FindMediumRecord(int nDiskNumber, u64 u64StartSector, u64 u64SectorCount, u64 u64MediumId) const;
    int FindImageRecord(u64 u64SectorCount, const char* szImagePath) const;
    bool IsUsableLogDir(const char* dir) const;
    std::string DirPathOf(u64 n) const;

    std::vector<_LOG_FILE_INFO_> m_vecRecords;
    std::string m_strBaseDir;
    u64 m_u64DirIndex;           // the folder this process uses
    u64 m_u64TableIndex = 0;     // the table's counter as last read or written
    u32 m_bReuse;
    std::string m_strReusedDir;
    mutable std::recursive_mutex m_mutex;
    bool m_bOtherMedium = false;
    int m_nLastSaveError = 0;
    int m_nHeldFd = -1;        // flock on the ".held" file of the folder in use
    std::string m_strHeldDir;
};
