#include "support/NtfsKit.h"

#include <cstdlib>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <fcntl.h>
#include <unistd.h>

#include "core/Platform.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "results/LogFileManager.h"

namespace testkit {

uint64_t NtfsRecordOf(const std::string& mountedPath) {
    struct stat st;
    if (stat(mountedPath.c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_ino);
}

bool NtfsSetDosName(const std::string& mountedPath, const std::string& shortName) {
    return setxattr(mountedPath.c_str(), "system.ntfs_dos_name", shortName.data(), shortName.size(), 0) == 0;
}

long NtfsDeepSweep(CProfessionalNtfsRecovery& engine, const std::string& image, bool bDescending) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (engine.InitProfessionalScan(nullptr) != 0) {
        close(fd);
        return -1;
    }
    constexpr size_t kWindow = 1 << 20;
    std::vector<unsigned char> buf(kWindow);
    const uint64_t windows = (static_cast<uint64_t>(size) + kWindow - 1) / kWindow;
    long found = 0;
    for (uint64_t k = 0; k < windows; ++k) {
        const uint64_t w = bDescending ? windows - 1 - k : k;
        const ssize_t got = pread(fd, buf.data(), kWindow, static_cast<off_t>(w * kWindow));
        if (got <= 0) break;
        const size_t sectors = static_cast<size_t>(got) / 512;
        for (size_t j = 0; j < sectors; ++j) {
            const size_t i = bDescending ? sectors - 1 - j : j;
            const unsigned char* p = buf.data() + i * 512;
            if (!IsNtfsFileRecord(p, 1024)) continue;
            ++found;
            engine.ParseNtfsFileRecord(p, static_cast<size_t>(got) - i * 512, w * (kWindow / 512) + i);
        }
    }
    close(fd);
    engine.ParseProfessionalRecordVec();
    return found;
}

bool NtfsSetParentRef(const std::string& image, uint64_t recordSector, uint64_t parentRef) {
    const int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<unsigned char> rec(1024);
    const off_t at = static_cast<off_t>(recordSector * 512);
    bool ok = pread(fd, rec.data(), rec.size(), at) == 1024;
    CNtfsParse parse;
    NtfsRecordHeader hdr;
    ok = ok && parse.FileRecordFixUp(rec.data()) == 0 && NtfsReadRecordHeader(rec.data(), rec.size(), hdr);
    size_t valueAt = 0;
    if (ok) {
        CNtfsAttrWalk walk(rec.data(), hdr, hdr.nBytesInUse);
        NtfsAttr a;
        while (!valueAt && walk.Next(a))
            if (a.nType == NTFS_ATTR_FILE_NAME) valueAt = static_cast<size_t>(a.p - rec.data()) + GetLe16(a.p + 20);
    }
    ok = ok && valueAt != 0 && pwrite(fd, &parentRef, 8, at + static_cast<off_t>(valueAt)) == 8;
    close(fd);
    return ok;
}

}  // namespace testkit
