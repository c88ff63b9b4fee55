// Treats the input as the start of a carved file at the first sector of a
// small in-memory image and runs every container walk and signature test
// on it: with the first sector and with the input at its exact length (so
// that a read past the caller's buffer is caught), also from the second
// sector. No walk may answer a length past the image.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "carving/ContainerWalks.h"

namespace {

int ImageFd() {
    static int fd = memfd_create("fr-fuzz-walks", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 256 * 1024) return 0;
    std::vector<unsigned char> img(data, data + size);
    img.resize((size + 511) / 512 * 512, 0);
    const int fd = ImageFd();
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, img.data(), img.size(), 0) != static_cast<ssize_t>(img.size())) return 0;
    CDiskReader reader;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const u64 sectors = img.size() / 512;
    if (reader.Init(path.c_str(), sectors) != 0) return 0;

    static const decltype(&WalkIsoBoxes) walks[] = {WalkIsoBoxes, WalkRiffChunks, WalkAiffChunks,
                                                    WalkOggPages, WalkFlacStream, WalkEbmlSegment};
    static const FileTypeTestFunc tests[] = {IsIsoMediaType, IsWebpType, IsAiffType, IsOggType, IsFlacType, IsWebmType};
    CFileTypeJudge judge;
    judge.m_pDiskReader = &reader;
    volatile u64 sink = 0;
    for (u64 start = 0; start < 2 && start < sectors; ++start) {
        const size_t from = static_cast<size_t>(start) * 512;
        // The caller's bytes at their exact length, copied so that ASan sees the end.
        for (size_t n : {std::min<size_t>(size - from, 512), size - from}) {
            if (n == 0) continue;
            std::vector<unsigned char> buf(data + from, data + from + n);
            for (FileTypeTestFunc t : tests) sink = sink + static_cast<u64>(t(judge, buf.data(), static_cast<int>(n)));
            for (auto w : walks) {
                judge.m_u64StartSector = judge.m_u64CurrentSector = start;
                const u64 len = w(judge, buf.data(), static_cast<int>(n));
                if (len > (sectors - start) * 512) __builtin_trap();
                sink = sink + len;
            }
        }
    }
    (void)sink;
    return 0;
}
