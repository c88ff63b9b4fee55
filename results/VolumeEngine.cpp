#include "results/VolumeEngine.h"

#include <cerrno>

#include "core/Platform.h"

CVolumeEngine::CVolumeEngine(u32 nMaxClusterBytes)
    : m_Output(CNodeOutput::ExtentCopy(m_DiskReader, &m_nBytesPerSector,
                                       [this](const _FILE_NODE_& n, u64 w, std::vector<DataExtent>& out) {
                                           return GetNodeExtents(n, w, out);
                                       }),
               ChildrenLister(), {}, nMaxClusterBytes) {}

CVolumeEngine::~CVolumeEngine() {
    if (m_pStore) m_pStore->FlushBufToFile();
}

int CVolumeEngine::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t wcDriveLetter) {
    if (m_bOpened) return 0;
    if (u64StartSector < 0 || u64SectorCount <= 0) return FR_INVALID;
    m_u64PartitionStart = static_cast<u64>(u64StartSector);
    m_u64SectorCount = static_cast<u64>(u64SectorCount);
    m_wcDriveLetter = wcDriveLetter;
    if (const int ret = m_DiskReader.Init(nDiskNumber, m_u64PartitionStart + m_u64SectorCount)) return ret;
    m_bOpened = true;
    return OnOpened();
}

int CVolumeEngine::Init(wchar_t* szPath, wchar_t wcDriveLetter) {
    if (m_bOpened) return 0;
    if (!szPath) return FR_INVALID;
    if (const int ret = m_DiskReader.Init(szPath, ~0ULL)) return ret;
    const long long size = rsb_getDeviceSize(m_DiskReader.GetHandle());
    if (size < 512) {
        m_DiskReader.Close();
        return size < 0 ? (errno ? errno : FR_FAILED) : FR_SHORT_READ;
    }
    m_u64PartitionStart = 0;
    m_u64SectorCount = static_cast<u64>(size) / 512;
    m_DiskReader.SetSectorLimit(m_u64SectorCount);
    m_wcDriveLetter = wcDriveLetter;
    m_bOpened = true;
    return OnOpened();
}

int CVolumeEngine::OpenNewScanStore(const char* szPrefix, LogTime time, const char* szWho) {
    SYSTEMTIME t{};
    if (time == LogTime::Utc)
        rsb_getSystemTime(&t);
    else
        rsb_getLocalTime(&t);
    const int ret = OpenNewStore(MakeResultLogName(szPrefix, m_u64PartitionStart, t).c_str());
    if (ret != 0) FrLog("%s result store init failed %d\n", szWho, ret);
    return ret;
}
