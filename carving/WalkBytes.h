// The one reader of the structure walks, and the one zero-run rule of the
// walks and length rules.
#pragma once

#include "carving/FileTypeJudge.h"

// No file's data holds more than this many zero bytes in a row: a longer
// run is where the data was wiped or never written, and the file ends
// where the run begins (it keeps the bytes before the run, and never takes
// on whatever follows the run).
constexpr unsigned long long kZeroRunEnds = 0x100000ULL;

// Follows a run of zero bytes along a file. Feed it consecutive stretches;
// true once the run is longer than kZeroRunEnds, with Start() where it began.
class CZeroRun {
public:
    bool Feed(unsigned long long off, unsigned long long n, bool bZero) {
        if (!bZero) {
            m_len = 0;
            return false;
        }
        if (m_len == 0) m_start = off;
        m_len += n;
        return m_len > kZeroRunEnds;
    }
    unsigned long long Start() const { return m_start; }

private:
    unsigned long long m_start = 0, m_len = 0;
};

// The bytes of a candidate file by file offset: the caller's first bytes,
// then windows of the device read through the judge's 64 KiB buffer, from
// 4 KiB at the first read, twice as much at each further one (a small file
// costs a small read, a long walk full windows). Reads stop at the volume
// end and at the walk's maximum length; each device read reports progress,
// and a stop asked by the user ends every further read.
class FileBytes {
public:
    static constexpr unsigned kMaxSpan = 0x8000;  // the most bytes one At() gives

    FileBytes(CFileTypeJudge& j, const unsigned char* first, int firstLen,
              unsigned long long maxLen = ~0ULL);

    // Bytes from the file's start to the volume's end.
    unsigned long long Room() const { return m_room; }
    // The walk's maximum length.
    unsigned long long Max() const { return m_max; }
    bool Stopped() const { return m_stopped; }
    unsigned SectorBytes() const { return m_S; }
    // Reads nothing more from the device once about this many bytes have
    // come from it: the bound of a walk's work, whatever its input claims.
    void LimitReads(unsigned long long bytes) { m_readCap = bytes / m_S; }

    // n contiguous bytes at a file offset (n at most kMaxSpan), or null when
    // they lie past the volume or the maximum, or cannot be read. avail,
    // when given, gets the number of contiguous bytes from off (at least n).
    const unsigned char* At(unsigned long long off, unsigned n, int* avail = nullptr);
    // The bytes from off to the end of what is at hand (at least 1).
    const unsigned char* Run(unsigned long long off, unsigned& avail);
    // 1 when the whole sector at a sector-aligned offset is zeros, 0 when
    // not, -1 when it cannot be read. Reads one sector, not a window.
    int ZeroSector(unsigned long long off);

private:
    bool Load(unsigned long long off, unsigned n);

    CFileTypeJudge& m_j;
    const unsigned char* m_first;
    unsigned long long m_firstLen;
    unsigned long long m_room = 0;
    unsigned long long m_max;
    unsigned long long m_limit;  // the smaller of m_room and m_max
    unsigned m_S;
    unsigned long long m_winOff = 0, m_winLen = 0;
    u64 m_read = 0;
    u64 m_readCap = ~0ULL;
    unsigned m_grow = 0;
    bool m_stopped = false;
};

// The sector-aligned start (sectors of S bytes) of the first zero run
// longer than kZeroRunEnds in [from, to), or to. Probes one sector every 256 KiB and reads the
// sectors around a probe only where a run is likely.
unsigned long long ZeroRunStart(FileBytes& f, int S, unsigned long long from, unsigned long long to);
