#pragma once

#include <array>
#include <cstdint>

#include "orvane/hal/Evt3LostTimeHighs.h"

// EVT 3.0: 16-bit little-endian words, type in bits 15..12, payload in 11..0.
namespace orvane::evt3 {

enum WordType : uint8_t {
    kAddrY = 0x0,
    kAddrX = 0x2,
    kVectBaseX = 0x3,
    kVect12 = 0x4,
    kVect8 = 0x5,
    kTimeLow = 0x6,
    kContinued4 = 0x7,
    kTimeHigh = 0x8,
    kExtTrigger = 0xA,
    kOthers = 0xE,
    kContinued12 = 0xF,
};

constexpr uint32_t kPayloadMask = 0xFFF;
constexpr uint32_t kCoordMask = 0x7FF;
constexpr unsigned kPolarityBit = 11;
constexpr unsigned kTimeLowBits = 12;
constexpr uint64_t kTimePeriod = uint64_t{1} << 24;  // the 24-bit counter wraps every 16.777216 s
constexpr uint8_t kWordSize = 2;
// A time-low more than this below the one in effect, with no time-high
// between, means a lost time-high.
constexpr uint32_t kLostHighDrop = kEvt3LostTimeHighDrop;
// The wide paths take time-lows inside a window around the low in effect where
// they began, from kLowWindowBelow under it to kLowWindowAbove over it, and hand
// the others to the exact code: two lows inside the window are never a lost
// time-high's drop apart, so the wide paths need no check per word. Time-lows
// run forward, so most of the window lies above.
constexpr uint32_t kLowWindowBelow = 64;
constexpr uint32_t kLowWindowAbove = kLostHighDrop - kLowWindowBelow;
// Base x only grows on a malformed stream that never re-bases; it stops at this
// value so that the x of a vector event never carries into its y.
constexpr uint32_t kMaxBaseX = 0xF000;

// The time base (wraps and high part, microseconds) after a time-high word:
// the sensor writes every step of the high part, so a smaller value means the
// 24-bit counter wrapped.
inline uint64_t afterTimeHigh(uint64_t timeBase, uint32_t payload) {
    if (payload < ((timeBase >> kTimeLowBits) & kPayloadMask)) {
        timeBase += kTimePeriod;
    }
    return (timeBase & ~(kTimePeriod - 1)) | (uint64_t{payload} << kTimeLowBits);
}

constexpr std::array<uint8_t, 4096> makePopcount12() {
    std::array<uint8_t, 4096> table{};
    for (unsigned v = 0; v < table.size(); ++v) {
        table[v] = static_cast<uint8_t>((v & 1) + table[v >> 1]);
    }
    return table;
}
// Events of a vector mask. A table beats the generic popcount on CPUs built
// without POPCNT.
alignas(64) inline constexpr std::array<uint8_t, 4096> kPopcount12 = makePopcount12();

constexpr uint16_t word(WordType type, uint32_t payload) {
    return static_cast<uint16_t>((uint32_t{type} << 12) | (payload & kPayloadMask));
}

}  // namespace orvane::evt3
