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
    int pct = OverallPercent(nProgress, nPercent);
    if (m_bTty) {
        char bar[41];
        int filled = pct * 40 / 100;
        for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '-';
        bar[40] = 0;
        std::string left = nRemaindSecond > 0 ? GetTimeString(nRemaindSecond) + " left" : "";
        if (count > 0)
            fprintf(stderr, "\r%s [%s] %3d%%  sector %llu/%llu  %llu files  %s   ", m_label.c_str(), bar, pct,
                    cur, count, found, left.c_str());
        else
            fprintf(stderr, "\r%s [%s] %3d%%   ", m_label.c_str(), bar, pct);
        fflush(stderr);
    } else if (pct / 10 != m_nLastShown / 10 || m_nLastShown < 0) {
        fprintf(stderr, "%s: %d%%", m_label.c_str(), pct);
        if (count > 0) fprintf(stderr, " (sector %llu of %llu, %llu files)", cur, count, found);
        fprintf(stderr, "\n");
    }
    m_nLastShown = pct;
}

void CliProgress::Done() {
    if (m_bTty) fprintf(stderr, "\n");
}
