// Walks arbitrary bytes as FAT directory sectors the way the engines read
// them: entry tests, long-name collection, short names, first clusters and
// the "." / ".." pair with its parent cluster, and a folder's later clusters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteOrder.h"
#include "fat/FatDirContinuation.h"
#include "rules/FatRules.h"
#include "rules/FatVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool bFat32 = data[0] & 1;
    std::vector<unsigned char> sec(data + 1, data + size);  // exact length: reads past it are caught
    volatile size_t sink = 0;
    u32 parent = 0;
    if (sec.size() >= 64) sink = sink + IsFatDotPair(sec.data());
    sink = sink + GetFatParentCluster(sec.data(), sec.size(), bFat32, parent) + parent;
    CFatLongName longName;
    std::string name;
    for (size_t off = 0; off + 32 <= sec.size(); off += 32) {
        const unsigned char* e = sec.data() + off;
        if (e[11] == 0x0F) {
            longName.AddPart(e);
            continue;
        }
        sink = sink + IsFatEntyValid(e, static_cast<int>(sec.size() - off));
        sink = sink + FatEntryFirstCluster(e, bFat32);
        sink = sink + GetShortNameText(e, (e[11] & 0x10) == 0).size();
        if (longName.Take(name)) sink = sink + name.size();
    }
    // The same bytes as two clusters of a folder, the second taken back or not.
    CFatDirContinuation folders;
    const u32 c = sec.size() > 40 ? GetLe16(sec.data() + 26) : 3;
    sink = sink + folders.Owner(c, c, true, sec.data(), static_cast<int>(sec.size()), 4096);
    sink = sink + folders.Owner(c + 1, c + 1, true, sec.data(), static_cast<int>(sec.size()), bFat32 ? 0 : 512);
    (void)sink;
    return 0;
}
