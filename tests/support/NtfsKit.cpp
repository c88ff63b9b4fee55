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
    const std::vector<unsigned char> all = ReadFile(image);
    if (all.empty() || engine.InitProfessionalScan(nullptr) != 0) return -1;
    const size_t sectors = all.size() / 512;
    long found = 0;
    for (size_t k = 0; k + 1 < sectors; ++k) {
        const size_t i = bDescending ? sectors - 2 - k : k;
        const unsigned char* p = all.data() + i * 512;
        if (!IsNtfsFileRecord(p, 1024)) continue;
        ++found;
        engine.ParseNtfsFileRecord(p, all.size() - i * 512, i);
    }
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
    const std::vector<unsigned char> all = ReadFile(image);
    if (all.size() < recordSector * 512 + 1024) return 0;
    std::vector<unsigned char> rec(all.begin() + recordSector * 512, all.begin() + recordSector * 512 + 1024);
    CNtfsParse parse;
    NtfsRecordHeader hdr;
    if (parse.FileRecordFixUp(rec.data()) != 0 || !NtfsReadRecordHeader(rec.data(), rec.size(), hdr)) return 0;
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
