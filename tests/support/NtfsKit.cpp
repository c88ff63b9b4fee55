#include "support/NtfsKit.h"

#include <cstdlib>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <fcntl.h>
#include <unistd.h>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "ntfs/FastNtfsRecovery.h"
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

uint64_t NtfsRecordSector(const std::string& image, uint64_t record) {
    CFastNtfsRecovery probe;
    std::wstring w = Utf8ToWide(image);
    EXPECT_EQ(probe.Init(w.data(), L'C'), 0) << image;
    return probe.RecordSector(record);
}

size_t NtfsAttrAt(const std::string& image, uint64_t recordSector, uint32_t type) {
    std::vector<unsigned char> rec(1024);
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && pread(fd, rec.data(), rec.size(), static_cast<off_t>(recordSector * 512)) == 1024;
    if (fd >= 0) close(fd);
    CNtfsParse parse;
    NtfsRecordHeader hdr;
    if (!read || parse.FileRecordFixUp(rec.data()) != 0 || !NtfsReadRecordHeader(rec.data(), rec.size(), hdr)) return 0;
    CNtfsAttrWalk walk(rec.data(), hdr, hdr.nBytesInUse);
    NtfsAttr a;
    while (walk.Next(a))
        if (a.nType == type) return recordSector * 512 + static_cast<size_t>(a.p - rec.data());
    return 0;
}

size_t NtfsFileNameValueAt(const std::string& image, uint64_t recordSector) {
    const size_t at = NtfsAttrAt(image, recordSector, NTFS_ATTR_FILE_NAME);
    if (at == 0) return 0;
    const std::vector<unsigned char> all = ReadFile(image);
    return at + GetLe16(all.data() + at + 20);
}

std::vector<unsigned char> NtfsScribble(std::vector<unsigned char> image, size_t from, size_t span, uint32_t seed,
                                        size_t count) {
    const std::vector<unsigned char> noise = RandomBytes(4 * count, seed);
    for (size_t i = 0; i < noise.size(); i += 4) {
        const size_t off = from + (noise[i] | noise[i + 1] << 8 | noise[i + 2] << 16) % span;
        if (off % 512 < 510 && off < image.size()) image[off] = noise[i + 3];
    }
    return image;
}

std::vector<unsigned char> NtfsWriteSparse(const std::string& mountedPath, uint32_t seed) {
    const std::vector<unsigned char> part = RandomBytes(8192, seed);
    std::vector<unsigned char> whole(8192 + 65536 + 8192, 0);
    std::copy(part.begin(), part.end(), whole.begin());
    std::copy(part.begin(), part.end(), whole.end() - 8192);
    const int fd = open(mountedPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << mountedPath;
    if (fd >= 0) {
        EXPECT_EQ(pwrite(fd, part.data(), 8192, 0), 8192);
        EXPECT_EQ(pwrite(fd, part.data(), 8192, 8192 + 65536), 8192);
        close(fd);
    }
    return whole;
}

}  // namespace testkit
