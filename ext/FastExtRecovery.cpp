#include "ext/FastExtRecovery.h"

#include <cerrno>

#include "core/Platform.h"

int CFastExtRecovery::Init(int nDiskNumber, long long u64StartSector, long long u64SectorCount, wchar_t) {
    std::string path = GetDiskDevicePath(nDiskNumber);
    int fd = OpenDeviceReadOnly(path.c_str());
    if (fd < 0) return errno ? errno : ENOENT;
    m_fd.reset(fd);
    m_u64StartSector = u64StartSector;
    m_u64SectorCount = u64SectorCount;
    return 0;
}
