// Read-ahead for a sector sweep: a reader thread fills the next 64 KiB
// windows of a range while the caller parses the current one. On an image
// file with holes, a hole (which reads as zero sectors) is reported as one
// span that is never read.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/DiskReader.h"

class CSweepReader {
public:
    struct Window {
        u64 u64Sector = 0;     // absolute first sector
        u64 u64Count = 0;      // sectors the window stands for
        unsigned nRead = 0;    // whole sectors that arrived (0 for a hole or a failed read)
        int nError = 0;        // errno when a read error cut the window short
        bool bHole = false;    // a hole of the image: zero sectors, not read
        unsigned char* pData = nullptr;
    };

    // fd stays owned by the caller and must outlive the reader.
    CSweepReader(int fd, int nBytesPerSector, bool bSkipHoles);
    ~CSweepReader();
    CSweepReader(const CSweepReader&) = delete;
    CSweepReader& operator=(const CSweepReader&) = delete;

    // The window at absolute sector u64Sector of the range that ends at
    // u64End (exclusive). When it is not the one read ahead (the caller
    // jumped), reading restarts there. The window stays valid until the
    // next call.
    Window Next(u64 u64Sector, u64 u64End);

    int WindowSectors() const { return m_nWindowSectors; }

private:
    static constexpr size_t kSlots = 16;
    static constexpr size_t kBatch = kSlots / 2;
    void Run();
    Window Produce(u64 u64Sector, u64 u64End, unsigned char* pBuf);

    int m_fd;
    int m_nBytesPerSector;
    int m_nWindowSectors;
    bool m_bSkipHoles;
    // Known extent of data (from SEEK_HOLE) so that not every window asks.
    u64 m_u64DataEnd = 0;

    std::vector<std::vector<unsigned char>> m_buffers;
    std::vector<Window> m_slots;  // ring of ready windows
    size_t m_nHead = 0;           // next window for the caller
    size_t m_nReady = 0;          // windows ready
    bool m_bHeld = false;         // the caller holds the slot before m_nHead
    u64 m_u64NextPos = 0;         // where the reader reads next
    u64 m_u64End = 0;
    unsigned m_nGeneration = 0;
    bool m_bActive = false;
    bool m_bCallerWaiting = false;
    bool m_bReaderWaiting = false;
    bool m_bQuit = false;
    std::mutex m_mutex;
    std::condition_variable m_cvReader;
    std::condition_variable m_cvCaller;
    std::thread m_thread;
};
