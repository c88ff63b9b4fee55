#include "scan/SweepRetry.h"

#include <algorithm>
#include <cstring>

u64 RereadWindow(CDiskReader& reader, const CSweepReader::Window& w, u64 n, int nBytesPerSector,
                 std::vector<unsigned char>& buf) {
    const u64 S = static_cast<u64>(nBytesPerSector);
    // (Slack after the window: a record test may look one sector ahead.)
    buf.assign((n + 2) * S, 0);
    const u64 arrived = std::min<u64>(w.nRead, n);
    if (arrived && w.pData) std::memcpy(buf.data(), w.pData, arrived * S);
    u64 bad = 0;
    for (u64 i = arrived; i < n; ++i) {
        unsigned got = 0;
        if (reader.ReadData(buf.data() + i * S, 1, static_cast<long long>(w.u64Sector + i), nBytesPerSector, &got) !=
                0 ||
            got != 1) {
            std::memset(buf.data() + i * S, 0, S);
            ++bad;
        }
    }
    return bad;
}
