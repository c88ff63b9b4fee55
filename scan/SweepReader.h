// Read-ahead for a sector sweep: a reader thread reads the range ahead in
// blocks of 8 windows (512 KiB with 512-byte sectors), at most a ring of
// eight blocks ahead, while the caller parses the current 64 KiB window. The caller sees the same windows as with one
// read per window: large reads only save system calls and wake-ups. On an
// image file with holes, a hole (which reads as zero sectors) is reported as
// one span that is never read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
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
    static constexpr size_t kBlocks = 8;            // blocks in the ring
    static constexpr size_t kBatch = kBlocks / 2;   // blocks handed over per wake-up
    static constexpr size_t kWindowsPerBlock = 8;   // windows read by one read
    // A block read that takes longer is handed over on its own.
    static constexpr std::chrono::milliseconds kSlowFill{2};
    // One read's windows: consecutive windows of data, the last possibly
    // followed by a hole.
    struct Block {
        unsigned char* data = nullptr;  // within m_pBuffer
        std::vector<Window> windows;
    };
    struct FreeBuffer {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    void Run();
    void Fill(Block& block, u64 u64Sector, u64 u64End);
    // The window at u64Sector before it is read: its extent, or a hole.
    Window Plan(u64 u64Sector, u64 u64End, unsigned char* pBuf);
    // Reads a planned window on its own.
    void ReadWindow(Window& w);
    // Passes over the head block's current window.
    void Advance();
    // There is a range to read ahead and a free block to read it into.
    bool HasWork() const {
        return m_bActive && m_u64NextPos < m_u64End && m_nReady + (m_bHeld ? 1 : 0) < kBlocks;
    }

    int m_fd;
    int m_nBytesPerSector;
    int m_nWindowSectors;
    bool m_bSkipHoles;
    // Known extent of data (from SEEK_HOLE) so that not every window asks.
    u64 m_u64DataEnd = 0;

    // The blocks' memory, page-aligned: the kernel copies into an aligned
    // buffer several times faster than into one that is not.
    std::unique_ptr<unsigned char, FreeBuffer> m_pBuffer;
    std::vector<Block> m_blocks;  // ring of read blocks
    size_t m_nHead = 0;           // block holding the caller's next window
    size_t m_nWindow = 0;         // that window within the head block
    size_t m_nReady = 0;          // blocks ready
    bool m_bHeld = false;         // the caller holds a window of the block before m_nHead
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
