// Treats the input as a small disk image held in memory and runs every
// structure walk from its first sector and from the sector the first input
// byte names, with the first sector handed over at its exact length so
// that any read past a buffer is caught. A walk's answer never runs past
// the image; every walk ends (the fuzzer's timeout catches a hang).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "carving/ArchiveWalks.h"
#include "carving/FragmentJoin.h"
#include "carving/StructureWalks.h"

namespace {

int ImageFd() {
    static int fd = memfd_create("fr-fuzz-walks", 0);
    return fd;
}

using WalkFunc = unsigned long long (*)(CFileTypeJudge&, const unsigned char*, int);
unsigned long long MpegAudio(CFileTypeJudge& j, const unsigned char* b, int n) {
    return static_cast<unsigned long long>(IsMpegAudioType(j, b, n) != FT_NONE);
}
const WalkFunc kWalks[] = {WalkJpeg, WalkPng, WalkGif, WalkMp3, WalkTiff, WalkPsd, WalkLinearizedPdf, WalkSqlite, WalkFlv,
                           WalkRealMedia, WalkMxf, WalkMpegPs, WalkTar, WalkGzip, WalkXz, WalkBzip2, WalkPe, WalkSfnt,
                           WalkSwf, GetTextFileBytesSize, GetMTSFileBytesSize, MpegAudio};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 512 * 1024) return 0;
    // Whole-picture checks and the two-piece search over the input as a pool.
    const std::span<const unsigned char> pool(data, size);
    for (CheckedKind kind : {CheckedKind::Jpeg, CheckedKind::Png}) {
        FirstBadByte(kind, pool);
        JoinTwoPieces(kind, pool, 512, size / 2 + 1, JoinLimits{16, 8});
        if (const auto open = JoinOpenEnded(kind, pool, 512, JoinLimits{16, 8}); open && open->length > size)
            __builtin_trap();
    }
    const int fd = ImageFd();
    if (fd < 0) return 0;
    // The image: the input padded with zeros to whole sectors.
    const u64 sectors = (size + 511) / 512;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(sectors * 512)) != 0 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    CDiskReader reader;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (reader.Init(path.c_str(), sectors) != 0) return 0;
    CFileTypeJudge judge;
    judge.m_pDiskReader = &reader;
    volatile unsigned long long sink = 0;
    for (u64 start : {u64{0}, static_cast<u64>(data[0]) % sectors}) {
        const size_t off = static_cast<size_t>(start * 512);
        const int len = static_cast<int>(size - off < 512 ? size - off : 512);
        std::vector<unsigned char> first(data + off, data + off + len);
        const unsigned long long room = (sectors - start) * 512;
        for (WalkFunc w : kWalks) {
            judge.m_u64StartSector = judge.m_u64CurrentSector = start;
            const unsigned long long n = w(judge, first.data(), len);
            if (n > room) __builtin_trap();
            sink = sink + n;
        }
        sink = sink + static_cast<unsigned long long>(ClassifyTiff(first.data(), len));
        for (int p = 0; p + 22 <= len; p += 97) {
            unsigned long long end = 0;
            sink = sink + ZipEndOfArchive(first.data(), len, p, p, end) + end;
        }
    }
    (void)sink;
    return 0;
}
