// The coded data of a sequential (baseline or extended, Huffman-coded)
// JPEG, followed code by code without decoding the picture: the walk knows
// where each unit starts and stops where the data cannot be the picture's
// (a code its tables do not hold, a coefficient past the block's end, a
// restart marker out of turn or out of place, a marker before the last unit,
// anything but the end marker after it). A walk can be resumed from any
// state it passed, over other bytes: how a second piece is tried after the
// first without following the first again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CJpegCodedWalk {
public:
    // The bytes a walk reads: data up to cut, then data from cut + shift
    // on (a file in two pieces); -1 past the data.
    struct Bytes {
        std::span<const unsigned char> data;
        size_t cut = SIZE_MAX;
        size_t shift = 0;
        int operator()(size_t off) const {
            const size_t at = off < cut ? off : off + shift;
            return at < data.size() ? data[at] : -1;
        }
    };
    struct State {
        size_t pos = 0;       // the next byte to fetch
        uint64_t bits = 0;    // fetched bits not used yet, from the top
        uint32_t count = 0;   // how many of them
        uint32_t unit = 0;    // the next unit (MCU)
        uint32_t restart = 0; // restart markers passed
    };
    enum class End {
        Done,     // every unit, then the end marker (at State::pos - 2)
        Bad,      // the data cannot be the picture's at or before State::pos
        NoData,   // the bytes ran out
        Limit,    // State::pos reached the limit
        Unknown,  // every unit, then a marker this walk does not follow
    };

    // Reads the headers up to the first scan. False for a picture the walk
    // cannot follow (progressive, arithmetic-coded, a first scan without
    // every component, damaged headers).
    bool Open(std::span<const unsigned char> data);
    State Start() const;
    // Follows the coded data from s until it ends or s.pos reaches limit;
    // units: the state at the start of every unit (of one in so many, for
    // large pictures: 65536 states at most), when given.
    End Follow(State& s, const Bytes& bytes, size_t limit, std::vector<State>* units = nullptr) const;

private:
    struct Table {
        std::array<int32_t, 18> maxCode{};
        std::array<int32_t, 17> offset{};
        std::array<uint8_t, 256> values{};
        bool present = false;
    };
    struct Component {
        int blocks = 1;  // blocks of the component in one unit
        const Table* dc = nullptr;
        const Table* ac = nullptr;
    };
    std::array<Table, 8> m_tables{};  // DC 0..3, AC 4..7
    std::vector<Component> m_scan;
    size_t m_codedStart = 0;
    uint32_t m_units = 0;
    uint32_t m_restartInterval = 0;
    uint32_t m_stride = 1;  // units between two states kept
};
