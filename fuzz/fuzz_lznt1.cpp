// Feeds arbitrary bytes to the LZNT1 decoder as one compression unit,
// into a 64 KiB unit and into a small buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rules/Lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> in(data, data + size), unit(65536), small(100);
    volatile long sink = Lznt1Decompress(in, unit);
    sink = sink + Lznt1Decompress(in, small);
    (void)sink;
    return 0;
}
