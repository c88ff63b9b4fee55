// The engine for Ext volumes: it opens the device and finds nothing.
#pragma once

#include "core/DiskReader.h"
#include "core/IFileRecoveryParse.h"

class CFastExtRecovery : public IFileRecoveryParse {
public:
    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    int Init(wchar_t*, wchar_t) override { return 0; }
    int InitCallBack(ScanProgressFunc, RecoveryProgressFunc, void*, int) override { return 0; }
    int ScanDevice(wchar_t*) override { return 0; }
    int GetChildrenFileNode(_FILE_NODE_*, unsigned, std::vector<_FILE_NODE_>&) override { return 0; }
    int GetChildrenFileCount(_FILE_NODE_*, unsigned, unsigned&) override { return 0; }
    unsigned GetLostFileCount() override { return 0; }
    int GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) override { return 0; }
    int SaveFileData(_FILE_NODE_*, wchar_t*, int) override { return 0; }
    int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
    int InitSearchCallBack(SearchProgressFunc, void*) override { return 0; }
    int SearchFileNode(wchar_t*, std::vector<__SEARCH_FILE_INFO__>&) override { return 0; }
    int BuildBitMapInfo() override { return 0; }
    int PreView(_FILE_NODE_*, wchar_t*, unsigned char*, int&, PreviewProgressFunc, void*) override { return 0; }

private:
    CUniqueFd m_fd;
    long long m_u64StartSector = 0;
    long long m_u64SectorCount = 0;
};
