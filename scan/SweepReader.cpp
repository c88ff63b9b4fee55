#include "scan/SweepReader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

CSweepReader::CSweepReader(int fd, int nBytesPerSector, bool bSkipHoles)
    : m_fd(fd),
      m_nBytesPerSector(nBytesPerSector > 0 ? nBytesPerSector : 512),
      m_nWindowSectors(std::max(1, 0x10000 / m_nBytesPerSector)),
      m_bSkipHoles(bSkipHoles) {
    struct stat st;
    // Only a regular file can have holes worth asking for.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) m_bSkipHoles = false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const size_t blockBytes = kWindowsPerBlock * static_cast<size_t>(m_nWindowSectors) * m_nBytesPerSector;
    constexpr size_t kPage = 4096;
    const size_t total = (kBlocks * blockBytes + kPage - 1) / kPage * kPage;
    m_pBuffer.reset(static_cast<unsigned char*>(std::aligned_alloc(kPage, total)));
    if (!m_pBuffer) throw std::bad_alloc();
    m_blocks.resize(kBlocks);
    for (size_t i = 0; i < kBlocks; ++i) {
        m_blocks[i].data = m_pBuffer.get() + i * blockBytes;
        m_blocks[i].windows.reserve(kWindowsPerBlock);
    }
    m_thread = std::thread([this] { Run(); });
}

CSweepReader::~CSweepReader() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_cvReader.notify_all();
    m_thread.join();
}

CSweepReader::Window CSweepReader::Plan(u64 u64Sector, u64 u64End, unsigned char* pBuf) {
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    Window w;
    w.u64Sector = u64Sector;
    w.u64Count = std::min<u64>(static_cast<u64>(m_nWindowSectors), u64End - u64Sector);
    w.pData = pBuf;
    const u64 byteOffset = u64Sector * S;
    if (m_bSkipHoles && byteOffset >= m_u64DataEnd) {
        const off_t d = lseek(m_fd, static_cast<off_t>(byteOffset), SEEK_DATA);
        if (d < 0 && errno == ENXIO) {
            // Nothing but a hole up to the end of the file.
            w.bHole = true;
            w.u64Count = u64End - u64Sector;
            return w;
        }
        if (d < 0) {
            m_bSkipHoles = false;  // the file system cannot tell
        } else if (static_cast<u64>(d) / S >= u64Sector + w.u64Count) {
            w.bHole = true;
            w.u64Count = std::min<u64>(static_cast<u64>(d) / S, u64End) - u64Sector;
            return w;
        } else {
            const off_t h = lseek(m_fd, d, SEEK_HOLE);
            m_u64DataEnd = h > d ? static_cast<u64>(h) : static_cast<u64>(d) + 1;
        }
    }
    return w;
}

void CSweepReader::ReadWindow(Window& w) {
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    const u64 byteOffset = w.u64Sector * S;
    const size_t want = static_cast<size_t>(w.u64Count * S);
    const size_t got = ReadFullAt(m_fd, byteOffset, w.pData, want, &w.nError);
    w.nRead = static_cast<unsigned>(got / S);
}

void CSweepReader::Fill(Block& block, u64 u64Sector, u64 u64End) {
    const u64 S = static_cast<u64>(m_nBytesPerSector);
    const size_t windowBytes = static_cast<size_t>(m_nWindowSectors) * m_nBytesPerSector;
    block.windows.clear();
    // The windows of data that follow each other, then at most one hole.
    u64 sector = u64Sector;
    size_t dataWindows = 0;
    while (block.windows.size() < kWindowsPerBlock && sector < u64End) {
        const Window w = Plan(sector, u64End, block.data + block.windows.size() * windowBytes);
        block.windows.push_back(w);
        if (w.bHole) break;
        sector += w.u64Count;
        ++dataWindows;
    }
    if (dataWindows == 0) return;
    // One read for all of them. Where it stops short (a read error, the end
    // of the data), the window it stopped in and those after it are read
    // one by one, so that each reports what its own read gives.
    const size_t want = static_cast<size_t>((sector - u64Sector) * S);
    const size_t got = ReadFullAt(m_fd, u64Sector * S, block.data, want);
    for (size_t k = 0; k < dataWindows; ++k) {
        Window& w = block.windows[k];
        const size_t end = (k + 1 == dataWindows) ? want : (k + 1) * windowBytes;
        if (got >= end) w.nRead = static_cast<unsigned>(w.u64Count);
        else ReadWindow(w);
    }
}

void CSweepReader::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bQuit) {
        if (!HasWork()) {
            m_bReaderWaiting = true;
            m_cvReader.wait(lock);
            m_bReaderWaiting = false;
            continue;
        }
        const unsigned gen = m_nGeneration;
        const u64 pos = m_u64NextPos;
        const u64 end = m_u64End;
        Block& block = m_blocks[(m_nHead + m_nReady) % kBlocks];
        lock.unlock();
        const auto t0 = std::chrono::steady_clock::now();
        Fill(block, pos, end);
        const bool bSlow = std::chrono::steady_clock::now() - t0 > kSlowFill;
        lock.lock();
        if (gen != m_nGeneration) continue;
        ++m_nReady;
        m_u64NextPos = block.windows.back().u64Sector + block.windows.back().u64Count;
        // A waiting caller is handed a batch of blocks while they come
        // quickly (fewer wake-ups), each as it comes from a slow device, and
        // whatever there is once the reader has to stop.
        if (m_bCallerWaiting && (m_nReady >= kBatch || bSlow || !HasWork())) {
            // Woken after the lock is let go, so that the caller does not
            // wake only to wait for it.
            lock.unlock();
            m_cvCaller.notify_one();
            lock.lock();
        }
    }
}

void CSweepReader::Advance() {
    if (++m_nWindow < m_blocks[m_nHead].windows.size()) return;
    m_nWindow = 0;
    m_nHead = (m_nHead + 1) % kBlocks;
    --m_nReady;
}

CSweepReader::Window CSweepReader::Next(u64 u64Sector, u64 u64End) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto head = [this]() -> const Window& { return m_blocks[m_nHead].windows[m_nWindow]; };
    m_bHeld = false;
    bool bFollows = m_bActive && m_u64End == u64End;
    if (bFollows) {
        // Windows that end before the sector are passed over; a window that
        // holds it is used from that sector on.
        while (m_nReady > 0 && head().u64Sector + head().u64Count <= u64Sector) Advance();
        bFollows = m_nReady > 0 ? head().u64Sector <= u64Sector : m_u64NextPos == u64Sector;
    }
    if (!bFollows) {
        ++m_nGeneration;
        m_nReady = 0;
        m_nWindow = 0;
        m_u64NextPos = u64Sector;
        m_u64End = u64End;
        m_bActive = true;
    }
    // The reader is woken when the caller jumped or is out of windows, or
    // when it can read a batch of blocks rather than one per wake-up.
    if (m_bReaderWaiting && HasWork() && (m_nReady == 0 || m_nReady + kBatch <= kBlocks)) {
        lock.unlock();
        m_cvReader.notify_one();
        lock.lock();
    }
    if (m_nReady == 0) {
        m_bCallerWaiting = true;
        m_cvCaller.wait(lock, [this] { return m_nReady > 0; });
        m_bCallerWaiting = false;
    }
    Window w = head();
    const size_t before = m_nHead;
    Advance();
    m_bHeld = m_nHead != before;
    if (w.u64Sector < u64Sector) {
        const u64 d = u64Sector - w.u64Sector;
        w.u64Sector = u64Sector;
        w.u64Count -= d;
        if (!w.bHole) {
            w.nRead = w.nRead > d ? static_cast<unsigned>(w.nRead - d) : 0;
            w.pData += d * static_cast<u64>(m_nBytesPerSector);
        }
    }
    return w;
}
