// Feeds arbitrary bytes to the FAT sector and entry tests and the boot-record
// reader; the buffer is handed over at its exact length so that any read
// past it is caught.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rules/FatRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> buf(data, data + size);
    const int len = static_cast<int>(size > 65536 ? 65536 : size);
    volatile int sink = IsFatFDTRecord(buf.data(), len);
    if (size >= 64) {
        sink = sink + IsFatFileRecord(buf.data());
        // The sweep passes over what the quick test rules out.
        if ((IsFatFileRecord(buf.data()) || IsFatFDTRecord(buf.data(), len)) && !MayStartFatDirectory(buf.data(), len))
            __builtin_trap();
    }
    for (size_t off = 0; off + 32 <= size && off < 4096; off += 32) {
        sink = sink + IsFatEntyValid(buf.data() + off, static_cast<int>(size - off));
        sink = sink + GetShortNameCheckSum(reinterpret_cast<const char*>(buf.data() + off));
        sink = sink + IsInvalidShortFileName(reinterpret_cast<const char*>(buf.data() + off));
        sink = sink + static_cast<int>(GetShortNameText(buf.data() + off, true).size());
    }
    FatBootInfo info;
    sink = sink + ParseFatBootRecord(buf.data(), size, info);
    (void)sink;
    return 0;
}
