// The base of the engines that read one volume through their own reader
// and keep their finds in a result store: the volume is a range of a disk
// or a whole image file, and the data of a node lies in extents of it.
//
// How an engine uses it:
//   - derive from CVolumeEngine and give the largest cluster it accepts to
//     the constructor (nodes at or above it are refused by extraction);
//   - implement OnOpened(): it runs once the reader is open and the volume's
//     place is known, and its answer is what Init answers;
//   - implement GetNodeExtents: extraction and preview read along it, and
//     list children through GetChildrenFileNode;
//   - open the store of a new scan with OpenNewScanStore.
// The store is flushed when the engine goes.
#pragma once

#include <string>

#include "core/DiskReader.h"
#include "results/NodeOutput.h"
#include "results/StoreBackedEngine.h"

class CVolumeEngine : public CStoreBackedEngine {
public:
    explicit CVolumeEngine(u32 nMaxClusterBytes);
    ~CVolumeEngine() override;

    // Open the volume once (a second call answers 0 at once). FR_INVALID for
    // a bad range or a null path; for an image shorter than one sector
    // FR_SHORT_READ (or the error of its size); the reader's code; or what
    // OnOpened answers.
    int Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) override;
    int Init(wchar_t* szPath, wchar_t wcDriveLetter) override;

protected:
    virtual int OnOpened() = 0;
    CNodeOutput* NodeOutput() override { return &m_Output; }

    // Opens a new log "<szPrefix><start>_<time>" for a scan, named by UTC
    // (fast engines) or local time (deep engines); a failure is logged
    // under szWho. 0 or the store's code.
    enum class LogTime { Utc, Local };
    int OpenNewScanStore(const char* szPrefix, LogTime time, const char* szWho);

    u64 m_u64PartitionStart = 0;  // 512-byte sectors, as given
    u64 m_u64SectorCount = 0;     // 512-byte sectors, as given
    wchar_t m_wcDriveLetter = L'C';
    bool m_bOpened = false;
    int m_nBytesPerSector = 512;  // of the reads; an engine may set the volume's own
    CDiskReader m_DiskReader;

private:
    CNodeOutput m_Output;
};
