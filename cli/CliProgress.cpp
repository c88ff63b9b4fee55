#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "CliCommon.h"
#include "core/TextHelpers.h"

namespace {
std::atomic<int> g_interrupts{0};
std::atomic<int> g_abortAt{3};

void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) + 1 >= g_abortAt.load()) {
        static const char msg[] = "\nfotoretta-cli: aborted\n";
        ssize_t r = write(2, msg, sizeof msg - 1);
        (void)r;
        _exit(kExitInterrupted);
    }
}
}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool CancelRequested() { return g_interrupts.load() > 0; }

int InterruptCount() { return g_interrupts.load(); }

void SetInterruptAbortCount(int nCount) { g_abortAt.store(nCount); }

CliProgress::CliProgress(const char* label) : m_bTty(isatty(2) != 0), m_label(label) {}

CliProgress::~CliProgress() = default;

void CliProgress::Scan(int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count, u64 found) {
    const int pct = OverallPercent(nProgress, nPercent);
    if (!m_bStarted && count > 0) {
        m_bStarted = true;
        m_start = CProgressThrottle::Clock::now();
        m_firstSector = cur;
    }
    if (!m_bTty) {
        if (pct / 10 != m_nLastShown / 10 || m_nLastShown < 0) {
            fprintf(stderr, "%s: %d%%", m_label.c_str(), pct);
            if (count > 0) fprintf(stderr, " (sector %llu of %llu, %llu files)", cur, count, found);
            fprintf(stderr, "\n");
        }
        m_nLastShown = pct;
        return;
    }
    // Each redraw is a write and a flush: the end and the first report of a
    // phase always show, the rest at most ten times a second. A phase's last
    // report (its final count of files) is drawn before the next phase's.
    const bool bNewPhase = nPercent != m_nPhase;
    if (bNewPhase && m_bPending) Draw(m_last);
    m_last = {pct, nRemaindSecond, cur, count, found};
    m_nPhase = nPercent;
    m_bPending = !m_throttle.Due(pct >= 100 || bNewPhase);
    if (!m_bPending) Draw(m_last);
}

void CliProgress::Draw(const Report& r) {
    char bar[41];
    const int filled = std::clamp(r.nPercent, 0, 100) * 40 / 100;
    for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '-';
    bar[40] = 0;
    if (r.count > 0) {
        const double secs =
            std::chrono::duration<double>(CProgressThrottle::Clock::now() - m_start).count();
        std::string rate;
        if (secs >= 0.2 && r.cur >= m_firstSector) {
            char buf[32];
            snprintf(buf, sizeof buf, "%.1f MB/s", static_cast<double>(r.cur - m_firstSector) * 512 / 1e6 / secs);
            rate = buf;
        }
        const std::string left = r.nRemaindSecond > 0 ? GetTimeString(r.nRemaindSecond) + " left" : "";
        fprintf(stderr, "\r%s [%s] %3d%%  sector %llu/%llu  %llu files  %s%s%s   ", m_label.c_str(), bar, r.nPercent,
                r.cur, r.count, r.found, rate.c_str(), rate.empty() || left.empty() ? "" : "  ", left.c_str());
    } else {
        fprintf(stderr, "\r%s [%s] %3d%%   ", m_label.c_str(), bar, r.nPercent);
    }
    fflush(stderr);
}

void CliProgress::Done() {
    if (!m_bTty) return;
    if (m_bPending) Draw(m_last);
    fprintf(stderr, "\n");
}
