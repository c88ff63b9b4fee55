// The signature-carving engine. It does not sweep the device itself: the
// caller (the deep-scan orchestrator, or CarveImage for carving alone)
// reads every sector once and offers each candidate to ParseFileBuf, which
// recognises a file start, measures the file, records it in the engine's
// result store and says how many sectors the sweep may skip. Carved files
// are named "<start sector>.<ext>" and all sit at the top level.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "core/DiskReader.h"
#include "results/StoreBackedEngine.h"

// A carved node's layout: nBytesPerCluster 0xFFFFFFFF for one run from its
// start sector. A picture whose carve was in question holds, while it is
// not looked at, kCarvedLengthOpen in nReserved when its structure did not
// close it (the length is a guess); once looked at, a picture found in two
// pieces has the cluster size in nBytesPerCluster and the layout in
// nReserved (EncodeFatPieces: its first clusters, then the clusters
// between its two pieces on the device).
inline constexpr u32 kCarvedOneRun = 0xFFFFFFFFu;
inline constexpr u32 kCarvedLengthOpen = 1;
inline bool IsCarvedInPieces(const _FILE_NODE_& node) {
    return node.nBytesPerCluster != kCarvedOneRun && node.nBytesPerCluster != 0 && node.nReserved != 0;
}

class CFileTypeRecovery : public CSweepFedEngine<CStoreBackedEngine> {
public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;

    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    int Init(wchar_t* szPath, wchar_t wcDriveLetter) override;
    int InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                     int nPercent) override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) override;
    int SaveFileData(_FILE_NODE_* pNode, wchar_t* pRecoveryFileName, int nBaseLevel) override;
    int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                PreviewProgressFunc pFunc, void* pParam) override;
    int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) override;

    // Used by the orchestrator to open a new or earlier carving log.
    int InitLogFile(const wchar_t* logName, wchar_t wcDriveLetter, const wchar_t* szPath, int nBytesPerSector,
                    u64 u64Limit);
    int InitLogFile(const wchar_t* logName, wchar_t wcDriveLetter, int nDiskNumber, int nBytesPerSector,
                    u64 u64Limit);

    // Offers one candidate sector. 0 when a file was recorded (skipSectors
    // then says how far the sweep may jump, the progress's file count grows by one); 87
    // when no file starts here; FR_STOP_CODE (as int, -9527) when the user
    // stopped the job while the file was measured.
    int ParseFileBuf(const unsigned char* buf, int len, u64 sector, CDiskReader* reader, int nBytesPerSector,
                     u64& skipSectors);
    // ParseFileBuf for a sweep that offers every sector: a sector where no
    // file can start answers 87 without the judge's walk.
    int OfferSector(const unsigned char* buf, int len, u64 sector, CDiskReader* reader, int nBytesPerSector,
                    u64& skipSectors) {
        if (CFileTypeJudge::MayRecognise(buf, len))
            return ParseFileBuf(buf, len, sector, reader, nBytesPerSector, skipSectors);
        ReachSector(sector);
        return FR_INVALID;
    }
    // A sector before the last file recorded means a new sweep: what the
    // earlier sweep accepted no longer holds sectors back. ParseFileBuf
    // applies this to every sector it is offered; OfferSector, to those it
    // passes over.
    void ReachSector(u64 sector) {
        if (sector < m_u64AcceptedStart) m_u64AcceptedStart = m_u64AcceptedEnd = 0;
    }
    // The sweep's progress, given once per sweep (null: the carver's own);
    // it must outlive the sweep. Recorded files are counted in it.
    void SetScanProgress(ScanProgress* pProgress);
    ScanProgress& Progress() { return *m_pProgress; }

    // Copies a carved file to a path (never over an existing file).
    int SaveDataToTargetFile(const _FILE_NODE_* pNode, const wchar_t* szTargetPath);

    // The log name for a volume start sector at the current local time.
    static std::wstring MakeLogName(u64 u64StartSector);

    // Called with every node carved (after it went to the store), for
    // callers that want to follow the carving as it happens.
    void SetNodeListener(std::function<void(const _FILE_NODE_&)> fn) { m_fnNodeListener = std::move(fn); }

    CFileTypeJudge& GetJudge() { return *m_pJudge; }
    CDiskReader& GetDiskReader() { return m_DiskReader; }
    u64 GetVolumeStartSector() const { return m_u64VolumeStartSector; }
    u64 GetVolumeSectorCount() const { return m_u64VolumeSectorCount; }
    int GetBytesPerSector() const { return m_nBytesPerSector; }
    ScanProgressFunc GetScanCallBack() const { return m_pScanFunc; }
    void* GetCallBackParam() const { return m_pParam; }

protected:
    bool ChildrenKey(const _FILE_NODE_* pParent, unsigned uParentKey, u64& u64Key) const override;

private:
    // Reads the volume [u64Start, u64Start + u64Count) of a device or image
    // and opens a new carving log for it: the reader's code.
    int OpenVolume(const std::string& strPath, u64 u64Start, u64 u64Count, wchar_t wcDriveLetter);
    // Reads a device or image up to u64Limit and reopens an earlier log.
    int ReopenLog(const wchar_t* logName, wchar_t wcDriveLetter, const std::string& strPath, int nBytesPerSector,
                  u64 u64Limit);
    int CopyCarvedData(const _FILE_NODE_* pNode, int fd, unsigned char* pDst, u64 u64Want, const wchar_t* szPath,
                PreviewProgressFunc pPreview, void* pPreviewParam);

    wchar_t m_wcDriveLetter;
    u64 m_u64VolumeStartSector;
    u64 m_u64VolumeSectorCount;
    int m_nBytesPerSector;
    CDiskReader m_DiskReader;
    std::unique_ptr<CFileTypeJudge> m_pJudge;
    ScanProgress m_OwnProgress;
    ScanProgress* m_pProgress = &m_OwnProgress;
    std::function<void(const _FILE_NODE_&)> m_fnNodeListener;
    void NoteStoredFiles();
    // A reopened log holds files up to this start sector already.
    u64 m_u64StoredUpTo = 0;
    bool m_bReopened = false;
    // Sectors of the last file accepted, [start, end).
    u64 m_u64AcceptedStart = 0;
    u64 m_u64AcceptedEnd = 0;
};
