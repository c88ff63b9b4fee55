// The text form of the result store's relation index.
#pragma once

#include <charconv>
#include <climits>
#include <cstddef>
#include <cstring>

#include "results/ScanResultFileManager.h"

// Incremental reader of the relation text " | <key> - [<i>,<i>,...]".
// Tolerant of damage: an entry ends at "]", at any character that cannot
// belong to its list, or at the end of the text; numbers that overflow are
// dropped; the caller's limits bound what is kept.
class CRelationParser {
public:
    CRelationParser(CScanResultFileManager::RelationMap& map, u64 nMaxIndex, u64 nMaxChildren,
                    u64 nMaxEntries)
        : m_map(map), m_nMaxIndex(nMaxIndex), m_nMaxChildren(nMaxChildren),
          m_nMaxEntries(nMaxEntries) {}

    void Feed(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) Step(p[i]);
    }
    void Finish() {
        if (m_state == LIST) {
            PushNumber();
            Commit();
        }
        m_state = SEEK_SEP;
        m_nSep = 0;
    }

private:
    enum State { SEEK_SEP, KEY, SEEK_LIST, LIST };
    static constexpr int kMaxGap = 64;  // characters allowed between key and "- ["

    // Advances a matcher of the three characters pat (n: how many matched so
    // far); true when it completes.
    static bool MatchThree(int& n, char c, const char (&pat)[4]) {
        if (n == 2 && c == pat[2]) {
            n = 0;
            return true;
        }
        n = n == 1 && c == pat[1] ? 2 : (c == pat[0] ? 1 : 0);
        return false;
    }
    bool MatchSep(char c) { return MatchThree(m_nSep, c, " | "); }
    bool MatchOpen(char c) { return MatchThree(m_nOpen, c, "- ["); }
    void StartKey() {
        m_state = KEY;
        m_bKeyNeg = false;
        m_bKeyBad = false;
        m_nKeyDigits = 0;
        m_u64Key = 0;
    }
    void PushNumber() {
        if (m_nNumDigits > 0 && !m_bNumBad && m_u64Num != 0 && m_u64Num <= m_nMaxIndex &&
            m_nKept < m_nMaxChildren) {
            m_cur.push_back(static_cast<u32>(m_u64Num));
            ++m_nKept;
        }
        m_nNumDigits = 0;
        m_u64Num = 0;
        m_bNumBad = false;
    }
    void Commit() {
        if (!m_bKeyBad) {
            auto it = m_map.find(m_u64Key);
            if (it != m_map.end()) {
                it->second.swap(m_cur);  // a later entry replaces an earlier one
            } else if (m_map.size() < m_nMaxEntries) {
                m_map.emplace(m_u64Key, std::move(m_cur));
            }
        }
        m_cur = std::vector<u32>();
    }
    void Step(char c) {
        switch (m_state) {
            case SEEK_SEP:
                if (MatchSep(c)) StartKey();
                return;
            case KEY:
                if (m_nKeyDigits == 0 && !m_bKeyNeg && c == ' ') return;
                if (m_nKeyDigits == 0 && !m_bKeyNeg && c == '-') {
                    m_bKeyNeg = true;
                    return;
                }
                if (c >= '0' && c <= '9') {
                    unsigned d = static_cast<unsigned>(c - '0');
                    if (m_u64Key > (~0ULL - d) / 10) m_bKeyBad = true;
                    else m_u64Key = m_u64Key * 10 + d;
                    ++m_nKeyDigits;
                    return;
                }
                m_nSep = 0;
                if (m_nKeyDigits == 0) {
                    m_state = SEEK_SEP;
                    Step(c);
                    return;
                }
                if (m_bKeyNeg) {
                    if (m_u64Key > (1ULL << 63)) m_bKeyBad = true;
                    else m_u64Key = 0 - m_u64Key;
                }
                m_state = SEEK_LIST;
                m_nOpen = 0;
                m_nGap = 0;
                Step(c);
                return;
            case SEEK_LIST:
                if (MatchSep(c)) {
                    StartKey();  // the entry had no list
                    return;
                }
                if (MatchOpen(c)) {
                    m_state = LIST;
                    m_cur.clear();
                    m_nNumDigits = 0;
                    m_u64Num = 0;
                    m_bNumBad = false;
                    return;
                }
                if (++m_nGap > kMaxGap) m_state = SEEK_SEP;
                return;
            case LIST:
                if (c >= '0' && c <= '9') {
                    if (m_u64Num > 0xFFFFFFFFULL) m_bNumBad = true;
                    else m_u64Num = m_u64Num * 10 + static_cast<unsigned>(c - '0');
                    ++m_nNumDigits;
                    return;
                }
                if (c == ',') {
                    PushNumber();
                    return;
                }
                PushNumber();
                Commit();
                m_state = SEEK_SEP;
                m_nSep = 0;
                if (c != ']') Step(c);  // a list cut short: look for the next entry here
                return;
        }
    }

    CScanResultFileManager::RelationMap& m_map;
    u64 m_nMaxIndex, m_nMaxChildren, m_nMaxEntries;
    u64 m_nKept = 0;
    State m_state = SEEK_SEP;
    int m_nSep = 0, m_nOpen = 0, m_nGap = 0;
    bool m_bKeyNeg = false, m_bKeyBad = false;
    int m_nKeyDigits = 0;
    u64 m_u64Key = 0;
    bool m_bNumBad = false;
    int m_nNumDigits = 0;
    u64 m_u64Num = 0;
    std::vector<u32> m_cur;
};
