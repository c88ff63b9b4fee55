#include "carving/FileTypeRecovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <unistd.h>

#include "carving/FragmentJoin.h"
#include "core/Categories.h"
#include "core/ExtentReader.h"
#include "core/FileOutput.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"

CFileTypeRecovery::CFileTypeRecovery()
    : m_wcDriveLetter(L'C'),
      m_u64VolumeStartSector(0),
      m_u64VolumeSectorCount(0),
      m_nBytesPerSector(512),
      m_pJudge(std::make_unique<CFileTypeJudge>()) {
    m_pJudge->SetScanProgress(m_pProgress);
}

CFileTypeRecovery::~CFileTypeRecovery() {
    m_pStore.reset();
    m_pJudge.reset();
    m_DiskReader.Close();
}

std::wstring CFileTypeRecovery::MakeLogName(u64 u64StartSector) {
    SYSTEMTIME t{};
    rsb_getLocalTime(&t);
    return MakeResultLogName("File_Type_", u64StartSector, t);
}

// A reopened log: a sweep that goes on where it stopped may offer again
// the sectors of a window it had not finished; what is stored stays once.
void CFileTypeRecovery::NoteStoredFiles() {
    m_u64StoredUpTo = 0;
    m_bReopened = false;
    std::vector<_FILE_NODE_> stored;
    if (m_pStore) m_pStore->GetChildrenFileNode(0, stored);
    for (const _FILE_NODE_& n : stored) {
        m_u64StoredUpTo = std::max(m_u64StoredUpTo, n.u64RecordSector);
        m_bReopened = true;
    }
}

int CFileTypeRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                            wchar_t wcDriveLetter) {
    if (u64StartSector < 0 || u64SectorCount < 0) return FR_INVALID;
    return OpenVolume(GetDiskDevicePath(nDiskNumber), static_cast<u64>(u64StartSector),
                      static_cast<u64>(u64SectorCount), wcDriveLetter);
}

int CFileTypeRecovery::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    ImageFile image;
    if (const int err = OpenImageFile(szPath, image)) return err;
    return OpenVolume(image.strPath, 0, static_cast<u64>(image.llBytes) / static_cast<u64>(m_nBytesPerSector),
                      wcDriveLetter);
}

int CFileTypeRecovery::OpenVolume(const std::string& strPath, u64 u64Start, u64 u64Count, wchar_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    m_u64VolumeStartSector = u64Start;
    m_u64VolumeSectorCount = u64Count;
    const int r = m_DiskReader.Init(strPath.c_str(), u64Start + u64Count);
    const int s = OpenNewStore(MakeLogName(u64Start).c_str());
    if (s != 0) FrLog("carving log open failed %d\n", s);
    return r;
}

int CFileTypeRecovery::InitLogFile(const wchar_t* logName, wchar_t wcDriveLetter, const wchar_t* szPath,
                                   int nBytesPerSector, u64 u64Limit) {
    if (!szPath) return FR_INVALID;
    return ReopenLog(logName, wcDriveLetter, WideToUtf8(szPath), nBytesPerSector, u64Limit);
}

int CFileTypeRecovery::InitLogFile(const wchar_t* logName, wchar_t wcDriveLetter, int nDiskNumber,
                                   int nBytesPerSector, u64 u64Limit) {
    return ReopenLog(logName, wcDriveLetter, GetDiskDevicePath(nDiskNumber), nBytesPerSector, u64Limit);
}

int CFileTypeRecovery::ReopenLog(const wchar_t* logName, wchar_t wcDriveLetter, const std::string& strPath,
                                 int nBytesPerSector, u64 u64Limit) {
    if (!logName || nBytesPerSector <= 0) return FR_INVALID;
    m_wcDriveLetter = wcDriveLetter;
    m_nBytesPerSector = nBytesPerSector;
    const int r = m_DiskReader.Init(strPath.c_str(), u64Limit);
    OpenStore(logName);
    NoteStoredFiles();
    return r;
}

int CFileTypeRecovery::InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                                    int nPercent) {
    CStoreBackedEngine::InitCallBack(pScanFunc, pRecoveryFunc, pParam, nPercent);
    m_pJudge->InitCallBack(pScanFunc, pRecoveryFunc, pParam, nPercent);
    return 0;
}

int CFileTypeRecovery::GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) { return 0; }

bool CFileTypeRecovery::ChildrenKey(const _FILE_NODE_* pParent, unsigned uParentKey, u64& u64Key) const {
    // Carved files all sit at the top, under key 0.
    u64Key = 0;
    return !pParent && uParentKey == 0;
}

void CFileTypeRecovery::SetScanProgress(ScanProgress* pProgress) {
    m_pProgress = pProgress ? pProgress : &m_OwnProgress;
    m_pJudge->SetScanProgress(m_pProgress);
}

int CFileTypeRecovery::ParseFileBuf(const unsigned char* buf, int len, u64 sector, CDiskReader* reader,
                                    int nBytesPerSector, u64& skipSectors) {
    if (nBytesPerSector <= 0) return FR_INVALID;
    m_nBytesPerSector = nBytesPerSector;
    // A carved file never overlaps one already accepted in this sweep
    // (header-measured files are still looked into, sector by sector, for
    // file-system records).
    ReachSector(sector);
    if (sector >= m_u64AcceptedStart && sector < m_u64AcceptedEnd) return FR_INVALID;
    char name[64];
    name[0] = 0;
    EXTEND_NAME_TYPE type = FT_NONE;
    unsigned long long size = 0;
    int r = m_pJudge->ParseFileBuf(buf, len, sector, reader, nBytesPerSector, name, type, size);
    if (r != 0) return r;
    // An empty file is not worth listing.
    if (size == 0) return FR_INVALID;
    _FILE_NODE_ node = BlankNode(m_wcDriveLetter, ENGINE_CARVING, false);
    // A file that runs into sectors the device could not deliver is cut
    // there (or may go on beyond them): listed, but as damaged.
    const u64 sectors = (size + static_cast<u64>(nBytesPerSector) - 1) / static_cast<u64>(nBytesPerSector);
    node.bIsHealth = m_pJudge->FirstUnreadableSector() <= sector + sectors ? FR_HEALTH_UNREADABLE
                     : m_pJudge->m_bLengthCut                                  ? FR_HEALTH_LENGTH_UNPROVEN
                                                                               : 1;
    m_u64AcceptedStart = sector;
    m_u64AcceptedEnd = sector + sectors;
    node.uClusterNO = 0;
    node.nBytesPerCluster = kCarvedOneRun;
    if ((type == FT_JPG || type == FT_PNG) && !m_pJudge->m_bStructureClosed) node.nReserved = kCarvedLengthOpen;
    node.u64FileSize = size;
    node.u64DataStartSector = 0;
    node.u64RecordSector = sector;
    node.u64VolumeStartSector = 0;
    CopyNodeName(node.szFileName, sizeof node.szFileName, name);
    const bool bStoredBefore = m_bReopened && sector <= m_u64StoredUpTo;
    _FILE_NODE_* stored = m_pStore && !bStoredBefore
                              ? m_pStore->CreateFileNode(static_cast<int>(sizeof(_FILE_NODE_)))
                              : nullptr;
    if (bStoredBefore) {
        // Listed by the run that was stopped in this window.
    } else if (stored) {
        node.nFileIndex = m_pStore->GetFileIndex();
        std::memcpy(stored, &node, sizeof node);
        m_pStore->AddChildren(0, 0, node.nFileIndex, 0, nullptr);
    } else {
        // The sweep still steps over the file; only its listing is lost.
        FrLog("carved file not stored %s\n", name);
    }
    if (m_fnNodeListener && !bStoredBefore) m_fnNodeListener(node);

    switch (type) {
    case FT_DOC: case FT_OLE: case FT_XLS: case FT_PPT: case FT_WAV: case FT_AVI:
    case FT_WMV: case FT_SWF: case FT_BMP: case FT_CAB: case FT_TTF: case FT_ICO:
        // Header-measured types: their sectors are still examined one by one.
        skipSectors = 1;
        break;
    default:
        skipSectors = sectors ? sectors : 1;
        break;
    }
    if (!bStoredBefore) ++m_pProgress->u64FilesFound;
    return 0;
}

// Reads the file from its start sector in 64 KiB windows and hands out
// u64Want bytes: to fd when it is valid, else into pDst.
int CFileTypeRecovery::CopyCarvedData(const _FILE_NODE_* pNode, int fd, unsigned char* pDst, u64 u64Want,
                               const wchar_t* szPath, PreviewProgressFunc pPreview, void* pPreviewParam) {
    const unsigned S = static_cast<unsigned>(m_nBytesPerSector > 0 ? m_nBytesPerSector : 512);
    // A carved file is one run from its start sector, or two; the device
    // ends where it ends, and what lies beyond is a short file.
    std::vector<DataExtent> extents;
    if (const int r = GetNodeExtents(*pNode, u64Want, extents)) return r;
    CExtentReader reader(m_DiskReader, static_cast<int>(S));
    const ExtentProgress progress = [&](u64 done) -> int {
        if (pPreview) return pPreview(pPreviewParam, static_cast<int>(done * 100 / u64Want), 0);
        if (szPath && m_pRecoveryFunc)
            return m_pRecoveryFunc(m_pParam, static_cast<int>(done * 100 / u64Want), 100, 0,
                                   const_cast<wchar_t*>(szPath));
        return 0;
    };
    if (fd >= 0) return reader.CopyToFd(extents, u64Want, fd, progress);
    u64 delivered = 0;
    return reader.CopyToBuffer(extents, u64Want, pDst, delivered, progress);
}

int CFileTypeRecovery::SaveDataToTargetFile(const _FILE_NODE_* pNode, const wchar_t* szTargetPath) {
    int result;
    if (!pNode || !szTargetPath) {
        result = FR_INVALID;
    } else {
        std::string path = WideToUtf8(szTargetPath);
        // A recovered file never replaces one that is already there.
        CUniqueFd fd;
        result = CreateOutputFile(path, fd);
        if (result != 0) {
            FrLog("open Recovery File  erro = %d\n", result);
        } else if (pNode->u64FileSize == 0) {
            result = 0;
        } else {
            result = CopyCarvedData(pNode, fd.get(), nullptr, pNode->u64FileSize, szTargetPath, nullptr, nullptr);
            // What could be read is kept; the file is still reported short.
            if (result == 0 && pNode->bIsHealth == FR_HEALTH_UNREADABLE) result = FR_SHORT_READ;
        }
    }
    if (result > 0 && m_pRecoveryFunc)
        m_pRecoveryFunc(m_pParam, 100, 100, result, const_cast<wchar_t*>(szTargetPath));
    return result;
}

int CFileTypeRecovery::SaveFileData(_FILE_NODE_* pNode, wchar_t* pRecoveryFileName, int) {
    if (!pRecoveryFileName) return FR_INVALID;
    // The path is used whole: cutting it could lose the extension or land
    // the file outside the destination. One the system refuses as too long
    // is a failed file.
    return SaveDataToTargetFile(pNode, pRecoveryFileName);
}

int CFileTypeRecovery::GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) {
    extents.clear();
    if (node.bIsDir) return FR_INVALID;
    const u64 S = static_cast<u64>(m_nBytesPerSector > 0 ? m_nBytesPerSector : 512);
    if (node.u64RecordSector > UINT64_MAX / S) return FR_INVALID;
    const u64 start = node.u64RecordSector * S, want = std::min(u64Wanted, node.u64FileSize);
    const FatPieces pieces = IsCarvedInPieces(node) ? DecodeFatPieces(node.nReserved) : FatPieces{};
    const u64 first = static_cast<u64>(pieces.firstSteps) * node.nBytesPerCluster;
    if (pieces.gapSteps == 0 || want <= first) {
        AppendExtent(extents, {start, want, false});
        return 0;
    }
    AppendExtent(extents, {start, first, false});
    AppendExtent(extents, {start + first + static_cast<u64>(pieces.gapSteps) * node.nBytesPerCluster, want - first, false});
    return 0;
}

int CFileTypeRecovery::PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                               PreviewProgressFunc pFunc, void* pParam) {
    if (!pNode) return FR_INVALID;
    const std::string ext = LowerAscii(ExtensionOf(std::string_view(pNode->szFileName, strnlen(pNode->szFileName, sizeof pNode->szFileName))));
    bool toFile = false;
    std::string tmpPath;
    CUniqueFd fd;
    int result = 0;
    if (!ext.empty() && szTempPath && ext.find('|') == std::string::npos && ext.find('*') == std::string::npos &&
        std::strstr(g_szPictureExt, ("*." + ext + "|").c_str())) {
        result = CreatePreviewTempFile(ext, fd, tmpPath);
        toFile = result != ENAMETOOLONG;
    }
    if (toFile) {
        std::wstring w = Utf8ToWide(tmpPath);
        std::wcsncpy(szTempPath, w.c_str(), 255);
        szTempPath[255] = 0;
        if (result == 0) {
            result = pNode->u64FileSize ? CopyCarvedData(pNode, fd.get(), nullptr, pNode->u64FileSize, nullptr, pFunc, pParam) : 0;
        }
        if (pFunc) pFunc(pParam, 100, result);
        if (result != 0) unlink(tmpPath.c_str());
        nBufLen = 0;
        return result;
    }
    if (!pBuf || nBufLen <= 0) {
        nBufLen = 0;
        if (pFunc) pFunc(pParam, 100, 0);
        return 0;
    }
    const u64 want = std::min<u64>(pNode->u64FileSize, static_cast<u64>(nBufLen));
    result = want ? CopyCarvedData(pNode, -1, pBuf, want, nullptr, pFunc, pParam) : 0;
    if (pFunc) pFunc(pParam, 100, result);
    nBufLen = result == 0 ? static_cast<int>(want) : 0;
    return result;
}
