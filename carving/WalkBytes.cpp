#include "carving/WalkBytes.h"

#include <algorithm>

#include "carving/FileLengthRules.h"

using u64L = unsigned long long;

FileBytes::FileBytes(CFileTypeJudge& j, const unsigned char* first, int firstLen, u64L maxLen)
    : m_j(j), m_first(first), m_firstLen(first && firstLen > 0 ? static_cast<u64L>(firstLen) : 0), m_max(maxLen),
      m_S(static_cast<unsigned>(j.m_nBytesPerSector > 0 ? j.m_nBytesPerSector : 512)) {
    m_room = m_firstLen;
    if (j.m_pDiskReader && j.m_nBytesPerSector > 0) {
        const u64 limit = j.m_pDiskReader->GetSectorLimit();
        const u64 start = j.m_u64StartSector;
        if (start < limit) m_room = std::max<u64L>(m_room, std::min<u64>(limit - start, 1ULL << 40) * m_S);
    }
    m_limit = std::min(m_room, m_max);
}

const unsigned char* FileBytes::At(u64L off, unsigned n, int* avail) {
    if (n == 0 || n > kMaxSpan || off > m_limit || n > m_limit - off) return nullptr;
    if (off + n <= m_firstLen) {
        if (avail) *avail = static_cast<int>(m_firstLen - off);
        return m_first + off;
    }
    if (!(m_winLen && off >= m_winOff && off + n <= m_winOff + m_winLen) && !Load(off, n)) return nullptr;
    if (off + n > m_winOff + m_winLen) return nullptr;
    if (avail) *avail = static_cast<int>(m_winOff + m_winLen - off);
    return m_j.ReadBuf() + (off - m_winOff);
}

const unsigned char* FileBytes::Run(u64L off, unsigned& avail) {
    int have = 0;
    const unsigned char* p = At(off, 1, &have);
    if (!p) return nullptr;
    avail = static_cast<unsigned>(std::min<u64L>(static_cast<u64L>(have), m_limit - off));
    return avail ? p : nullptr;
}

int FileBytes::ZeroSector(u64L off) {
    if (m_stopped || !m_j.m_pDiskReader) return -1;
    unsigned char* p = m_j.ScratchBuf();
    if (m_j.ReadSectorsInto(p, m_j.ScratchBufSize(), m_j.m_u64StartSector + off / m_S, 1) != 1) return -1;
    return std::all_of(p, p + m_S, [](unsigned char c) { return c == 0; }) ? 1 : 0;
}

bool FileBytes::Load(u64L off, unsigned n) {
    m_winLen = 0;
    if (m_stopped || !m_j.m_pDiskReader || m_read >= m_readCap) return false;
    const u64L first = off / m_S;
    const unsigned per = static_cast<unsigned>(m_j.ReadBufSize() / m_S);
    const unsigned need = static_cast<unsigned>((off % m_S + n + m_S - 1) / m_S);
    const unsigned want = std::min(per, std::max(need, std::max(1u, 4096u / m_S) << m_grow));
    if (m_grow < 8) ++m_grow;
    const unsigned got = m_j.ReadSectors(m_j.m_u64StartSector + first, want);
    if (got == 0) return false;
    m_read += got;
    if (ReportRuleProgress(m_j, m_read) != 0) {
        m_stopped = true;
        return false;
    }
    m_winOff = first * m_S;
    m_winLen = static_cast<u64L>(got) * m_S;
    return true;
}

u64L ZeroRunStart(FileBytes& f, int S, u64L from, u64L to) {
    constexpr u64L kStride = 256 * 1024;
    constexpr u64L kProbes = kZeroRunEnds / kStride + 1;  // zero probes that span a whole run
    if (S <= 0 || to <= from || to - from <= kZeroRunEnds) return to;
    const u64L s = static_cast<unsigned>(S);
    const u64L first = (from + s - 1) / s * s;
    u64L zeros = 0;
    u64L runProbe = 0;
    for (u64L p = first; p + s <= to; p += kStride) {
        const int z = f.ZeroSector(p);
        if (z < 0) return to;
        if (z == 0) {
            zeros = 0;
            continue;
        }
        if (zeros++ == 0) runProbe = p;
        if (zeros < kProbes) continue;
        // Where does the run start, and is it longer than the limit?
        u64L start = runProbe;
        for (u64L k = 0; k < kStride / s && start >= first + s && f.ZeroSector(start - s) == 1; ++k) start -= s;
        CZeroRun run;
        for (u64L q = start; q + s <= to; q += s) {
            const unsigned char* b = f.At(q, static_cast<unsigned>(s));
            const bool zero = b && std::all_of(b, b + s, [](unsigned char c) { return c == 0; });
            if (run.Feed(q, s, zero)) return run.Start();
            if (!zero) {
                p = std::max(p, q / kStride * kStride);
                break;
            }
        }
        zeros = 0;
    }
    return to;
}
