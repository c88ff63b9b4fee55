#include "scan/SweepReader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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
    m_buffers.assign(kSlots, std::vector<unsigned char>(static_cast<size_t>(m_nWindowSectors) * m_nBytesPerSector));
    m_slots.resize(kSlots);
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

CSweepReader::Window CSweepReader::Produce(u64 u64Sector, u64 u64End, unsigned char* pBuf) {
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
    const size_t want = static_cast<size_t>(w.u64Count * S);
    const size_t got = ReadFullAt(m_fd, byteOffset, pBuf, want, &w.nError);
    w.nRead = static_cast<unsigned>(got / S);
    return w;
}

void CSweepReader::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bQuit) {
        if (!m_bActive || m_u64NextPos >= m_u64End || m_nReady + (m_bHeld ? 1 : 0) >= kSlots) {
            m_bReaderWaiting = true;
            m_cvReader.wait(lock);
            m_bReaderWaiting = false;
            continue;
        }
        const unsigned gen = m_nGeneration;
        const u64 pos = m_u64NextPos;
        const u64 end = m_u64End;
        const size_t idx = (m_nHead + m_nReady) % kSlots;
        lock.unlock();
        Window w = Produce(pos, end, m_buffers[idx].data());
        lock.lock();
        if (gen != m_nGeneration) continue;
        m_slots[idx] = w;
        ++m_nReady;
        m_u64NextPos = pos + w.u64Count;
        // The caller is woken for a batch of windows (or the range's last),
        // not for each one: every wake-up costs more than parsing a window.
        if (m_bCallerWaiting && (m_nReady >= kBatch || m_u64NextPos >= m_u64End || w.bHole))
            m_cvCaller.notify_one();
    }
}

CSweepReader::Window CSweepReader::Next(u64 u64Sector, u64 u64End) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bHeld = false;
    bool bFollows = m_bActive && m_u64End == u64End;
    if (bFollows) {
        // Windows that end before the sector are passed over; a window that
        // holds it is used from that sector on.
        while (m_nReady > 0 && m_slots[m_nHead].u64Sector + m_slots[m_nHead].u64Count <= u64Sector) {
            m_nHead = (m_nHead + 1) % kSlots;
            --m_nReady;
        }
        bFollows = m_nReady > 0 ? m_slots[m_nHead].u64Sector <= u64Sector : m_u64NextPos == u64Sector;
    }
    if (!bFollows) {
        ++m_nGeneration;
        m_nReady = 0;
        m_u64NextPos = u64Sector;
        m_u64End = u64End;
        m_bActive = true;
    }
    if (!bFollows || m_bReaderWaiting) m_cvReader.notify_one();
    if (m_nReady == 0) {
        m_bCallerWaiting = true;
        m_cvCaller.wait(lock, [this] { return m_nReady > 0; });
        m_bCallerWaiting = false;
    }
    Window w = m_slots[m_nHead];
    m_nHead = (m_nHead + 1) % kSlots;
    --m_nReady;
    m_bHeld = true;
    // The reader is woken once half the ring is free again.
    if (m_bReaderWaiting && m_nReady + 1 <= kSlots - kBatch) m_cvReader.notify_one();
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
