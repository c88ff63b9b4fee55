// The one interface every recovery engine implements. The application
// drives engines only through it; the virtual operations keep this order.
#pragma once

#include <vector>

#include "DataExtent.h"
#include "Records.h"

class IFileRecoveryParse {
public:
    virtual int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount,
                     wchar_t wcDriveLetter) = 0;
    virtual int Init(wchar_t* szPath, wchar_t wcDriveLetter) = 0;
    virtual int InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc,
                             void* pParam, int nPercent) = 0;
    virtual int ScanDevice(wchar_t* szReserved) = 0;
    virtual int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned uParentKey,
                                    std::vector<_FILE_NODE_>& out) = 0;
    virtual int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned uParentKey,
                                     unsigned& nCount) = 0;
    virtual unsigned GetLostFileCount() = 0;
    virtual int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* szPath, int nPathLen) = 0;
    virtual int SaveFileData(_FILE_NODE_* pNode, wchar_t* pRecoveryFileName, int nBaseLevel) = 0;
    virtual int GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) = 0;
    virtual int InitSearchCallBack(SearchProgressFunc pSearchFunc, void* pParam) = 0;
    virtual int SearchFileNode(wchar_t* szPattern, std::vector<__SEARCH_FILE_INFO__>& out) = 0;
    virtual int BuildBitMapInfo() = 0;
    virtual int PreView(_FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                        PreviewProgressFunc pFunc, void* pParam) = 0;
    virtual ~IFileRecoveryParse() = default;

    // Added after the operations above, which keep their order.
    // Where a file's data lies: its first u64Wanted bytes (fewer when the
    // file is shorter) as extents in absolute bytes of the device. Data kept
    // inside a record (NTFS resident data) has no extents. 0, or a result
    // code; 87 from an engine that cannot tell.
    virtual int GetNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents) {
        (void)node;
        (void)u64Wanted;
        extents.clear();
        return FR_INVALID;
    }
};
