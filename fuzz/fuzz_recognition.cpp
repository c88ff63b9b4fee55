// Treats the input as a small disk image held in memory: every sector goes
// through the table walk and the metadata test, and every sector is offered
// to the carving judge, whose length rules then read the rest of the image.
// Each rule is also handed the bytes at their exact length, so that any
// read past a buffer is caught.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "carving/ArchiveWalks.h"
#include "carving/FileLengthRules.h"
#include "carving/FileTypeJudge.h"
#include "carving/StructureWalks.h"

namespace {

// The in-memory image: a memory file whose contents are replaced per input.
int ImageFd() {
    static int fd = memfd_create("fr-fuzz-image", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024) return 0;
    std::vector<unsigned char> img(data, data + size);
    const int fd = ImageFd();
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, img.data(), img.size(), 0) != static_cast<ssize_t>(img.size())) return 0;
    const u64 sectors = size / 512;
    CDiskReader reader;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (reader.Init(path.c_str(), sectors) != 0) return 0;

    CFileTypeJudge judge;
    volatile u64 sink = 0;
    for (u64 s = 0; s * 512 < size; ++s) {
        const int len = static_cast<int>(size - s * 512 < 512 ? size - s * 512 : 512);
        // The exact remaining length, so that a test reading too far is caught.
        std::vector<unsigned char> sector(img.begin() + static_cast<long>(s * 512),
                                          img.begin() + static_cast<long>(s * 512) + len);
        sink = sink + static_cast<u64>(judge.GetDataBufType(sector.data(), len));
        // The sweep passes over what the quick test rules out.
        if ((judge.GetDataBufType(sector.data(), len) != FT_NONE || IsTextType(judge, sector.data(), len) != FT_NONE ||
             IsMpegAudioType(judge, sector.data(), len) != FT_NONE) &&
            !CFileTypeJudge::MayRecognise(sector.data(), len))
            __builtin_trap();
        sink = sink + static_cast<u64>(CFileTypeJudge::IsFileSystemSector(sector.data(), len));
        char name[64];
        EXTEND_NAME_TYPE type;
        unsigned long long bytes = 0;
        if (judge.ParseFileBuf(sector.data(), len, s, &reader, 512, name, type, bytes) == 0) {
            sink = sink + bytes;
            // A carved file never runs past the image.
            if (bytes > (sectors - s) * 512 && sectors > s) __builtin_trap();
        }
    }
    // Every rule on the first bytes at their exact length.
    const int len = static_cast<int>(size < 4096 ? size : 4096);
    std::vector<unsigned char> head(img.begin(), img.begin() + len);
    judge.m_pDiskReader = &reader;
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r) {
        const auto& row = CFileTypeJudge::szExtendNameAndType[r];
        if (r > 0 && row.pfnLength == CFileTypeJudge::szExtendNameAndType[r - 1].pfnLength) continue;
        if (!row.pfnLength) continue;
        judge.m_u64StartSector = judge.m_u64CurrentSector = 0;
        sink = sink + row.pfnLength(judge, head.data(), len);
    }
    (void)sink;
    return 0;
}
