// Engines report progress far more often than anyone can read it (every
// few sectors of a sweep): front ends pass a report on at most once per
// interval, plus the ones that must not be missed.
#pragma once

#include <chrono>

class CProgressThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit CProgressThrottle(Clock::duration interval = std::chrono::milliseconds(100)) : m_interval(interval) {}

    // True when a report is to be shown now: the first one, a forced one
    // (a phase change, the end), or the first an interval after the last
    // one shown.
    bool Due(bool bForce = false) {
        const Clock::time_point now = Clock::now();
        if (!bForce && m_bShown && now - m_last < m_interval) return false;
        m_last = now;
        m_bShown = true;
        return true;
    }
    void Reset() { m_bShown = false; }

private:
    Clock::duration m_interval;
    Clock::time_point m_last{};
    bool m_bShown = false;
};
