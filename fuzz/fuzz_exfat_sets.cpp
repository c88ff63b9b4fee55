// Feeds arbitrary bytes to the exFAT entry-set parser (at every slot), the
// sweep's quick tests, the label reader and the boot-region reader; each
// gets the buffer at its exact length so that any read past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rules/ExfatRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> buf(data, data + size);
    const std::span<const unsigned char> all(buf);
    volatile size_t sink = 0;
    for (size_t off = 0; off < size && off < 8192; off += EXFAT_ENTRY_SIZE) {
        ExfatEntrySet set;
        if (ParseExfatEntrySet(all.subspan(off), set))
            sink = sink + set.strName.size() + set.nEntries + static_cast<size_t>(set.i64Modify);
    }
    sink = sink + MayHoldExfatSet(all) + IsExfatRootStart(all) + ExfatVolumeLabel(all).size();
    // The one-pass test answers as the two it stands for, on a sector too.
    for (const auto s : {all, all.first(std::min<size_t>(size, 512))})
        if (MayHoldExfatEntries(s) != (MayHoldExfatSet(s) || IsExfatRootStart(s))) __builtin_trap();
    ExfatBootInfo boot;
    sink = sink + FindExfatBootRegion(all, boot);
    (void)sink;
    return 0;
}
