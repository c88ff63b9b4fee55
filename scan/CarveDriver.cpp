#include "scan/CarveDriver.h"

#include "scan/SweepReader.h"
#include "scan/SweepRetry.h"

#include <algorithm>
#include <vector>

#include "core/Platform.h"

int CarveImage(CFileTypeRecovery& engine, ScanProgressFunc pScanFunc, void* pParam,
               const std::atomic<bool>* pCancel, CarveStats* pStats) {
    return CarveRange(engine, engine.GetDiskReader(), engine.GetVolumeStartSector(), engine.GetVolumeSectorCount(),
                      engine.GetBytesPerSector(), pScanFunc, pParam, pCancel, pStats);
}

int CarveRange(CFileTypeRecovery& engine, CDiskReader& reader, u64 u64StartSector, u64 u64SectorCount,
               int nBytesPerSector, ScanProgressFunc pScanFunc, void* pParam, const std::atomic<bool>* pCancel,
               CarveStats* pStats) {
    if (nBytesPerSector <= 0 || nBytesPerSector > 0x10000) return FR_INVALID;
    CarveStats local;
    CarveStats& st = pStats ? *pStats : local;
    st = CarveStats{};
    engine.GetJudge().ResetScanState();
    const u64 S = static_cast<u64>(nBytesPerSector);
    const u64 perWindow = 0x10000 / S;
    // Nothing is swept beyond the end of the device, whatever the volume claims.
    u64 total = u64SectorCount;
    if (const u64 devSectors = reader.GetDeviceBytes() / S; devSectors > 0)
        total = u64StartSector >= devSectors ? 0 : std::min(total, devSectors - u64StartSector);
    // The same read-ahead as the full scan: the next windows are read while
    // this one is parsed, and the holes of an image file are never read.
    CSweepReader sweep(reader.GetHandle(), nBytesPerSector, true);
    std::vector<unsigned char> retry;
    u64 offset = 0;  // within the range
    u64 scanned = 0;
    // What a long length walk reports: kept here, read by the carver.
    ScanProgress progress;
    progress.u64Total = total;
    engine.SetScanProgress(&progress);
    u64& filesFound = progress.u64FilesFound;
    int& secondsLeft = progress.nSecondsLeft;
    const unsigned long long t0 = rsb_getTickCount();
    unsigned long long lastEstimate = t0;
    int result = 0;
    while (offset < total) {
        if (pCancel && pCancel->load(std::memory_order_relaxed)) {
            result = FR_RECOVERY_CANCELLED;
            break;
        }
        const u64 remaining = total - offset;
        const u64 sector = u64StartSector + offset;
        const CSweepReader::Window w = sweep.Next(sector, u64StartSector + total);
        // The window may begin inside one read ahead (the sweep jumped over a
        // file); a hole of an image file (zero sectors, never read) is passed
        // over whole.
        const u64 n = w.bHole ? std::min(w.u64Count, remaining) : std::min({w.u64Count, perWindow, remaining});
        if (w.bHole) st.u64HoleSectors += n;
        u64 got = w.bHole ? 0 : std::min<u64>(w.nRead, n);
        // The data ended early (the device shrank, or its size was unknown):
        // what arrived is still swept, and the sweep ends there.
        const bool atEnd = !w.bHole && got < n && w.nError == 0;
        const unsigned char* data = w.pData;
        if (!w.bHole && got < n && !atEnd) {
            // The rest of the window is read sector by sector: only the
            // sectors that fail are lost. The line is the disk reader's, so
            // that a run of failed windows is counted rather than repeated.
            FrLog("read %lld\n", static_cast<long long>(w.nError));
            st.u64UnreadableSectors += RereadWindow(reader, w, n, nBytesPerSector, retry);
            data = retry.data();
            got = n;
        }
        u64 skip = 0;
        bool stop = false;
        if (got > 0) {
            ++st.u64WindowsRead;
            // Offer each sector; a carved file's body is stepped over.
            u64 i = 0;
            while (i < got) {
                u64 step = 1;
                u64 fileSkip = 0;
                progress.u64Scanned = scanned + i;
                int c = engine.OfferSector(data + i * S, nBytesPerSector, sector + i, &reader, nBytesPerSector,
                                           fileSkip);
                if (c == static_cast<int>(FR_STOP_CODE)) {
                    result = c;
                    stop = true;
                    break;
                }
                if (c == 0 && fileSkip > 0) step = fileSkip;
                i += step;
            }
            // A file that runs past the window carries the sweep beyond it.
            if (i > n) skip = i - n;
        }
        if (stop) break;
        if (atEnd) {
            scanned += got;
            break;
        }
        // A window that could not be read is passed over whole.
        const u64 advance = std::min(n + skip, remaining);
        offset += advance;
        scanned += advance;
        const unsigned long long now = rsb_getTickCount();
        if (now - lastEstimate > 4999) {
            lastEstimate = now;
            const unsigned long long elapsed = (now - t0) / 1000;
            unsigned long long rate = elapsed ? S * scanned / elapsed : 0;
            if (rate == 0) rate = 1;
            secondsLeft = static_cast<int>((total - scanned) * S / rate);
        }
        if (pScanFunc) {
            int a = pScanFunc(pParam, static_cast<int>(total ? scanned * 100 / total : 100) + 10, 90, secondsLeft,
                              scanned, total, filesFound, nullptr);
            if (a != 0) {
                result = static_cast<int>(FR_STOP_CODE);
                break;
            }
        }
    }
    st.u64SectorsSwept = scanned;
    st.u64FilesFound = filesFound;
    if (st.u64UnreadableSectors)
        FrLog("%llu sectors passed over after read errors\n", static_cast<unsigned long long>(st.u64UnreadableSectors));
    if (engine.GetResultStore()) engine.GetResultStore()->FlushBufToFile();
    if (result == 0 && pScanFunc) pScanFunc(pParam, 100, 100, 0, 0, 0, 0, nullptr);
    engine.SetScanProgress(nullptr);
    return result;
}
