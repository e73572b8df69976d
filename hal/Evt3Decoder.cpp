#include "Evt3Decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Evt3Format.h"

namespace orvane {

namespace {

using namespace evt3;

constexpr std::array<uint8_t, 4096> makePopcount12() {
    std::array<uint8_t, 4096> table{};
    for (unsigned v = 0; v < table.size(); ++v) {
        table[v] = static_cast<uint8_t>((v & 1) + table[v >> 1]);
    }
    return table;
}
// A table beats the generic popcount on CPUs built without POPCNT.
alignas(64) constexpr std::array<uint8_t, 4096> kPopcount12 = makePopcount12();

// Event2D as two 64-bit words: x | y << 16 | polarity << 32, then the time.
// Writing both at once keeps the padding bytes zero and the store count at two.
inline uint64_t packXYP(uint32_t x, uint32_t y, uint32_t polarity) {
    return uint64_t{x} | (uint64_t{y} << 16) | (uint64_t{polarity} << 32);
}

inline void store(Event2D* out, uint64_t xyp, uint64_t t) {
    const uint64_t words[2] = {xyp, t};
    std::memcpy(static_cast<void*>(out), words, sizeof words);
}

// Base x only grows on a malformed stream that never re-bases; saturating keeps
// the x of a vector event from carrying into its y.
constexpr uint32_t kMaxBaseX = 0xF000;

}  // namespace

Evt3Decoder::Evt3Decoder() : range_(new Event2D[kRangeCapacity]) {}

uint8_t Evt3Decoder::getWordSize() {
    return kWordSize;
}

uint64_t Evt3Decoder::getCurrentTimestamp() {
    return state_.offset + ((uint64_t{state_.high} << kTimeLowBits) | state_.low);
}

void Evt3Decoder::setCurrentTimestamp(const uint64_t& timestamp) {
    state_.offset = timestamp & ~(kTimePeriod - 1);
    state_.high = static_cast<uint32_t>((timestamp >> kTimeLowBits) & kPayloadMask);
    state_.low = static_cast<uint32_t>(timestamp & kPayloadMask);
}

void Evt3Decoder::flush(size_t count) {
    if (count != 0 && eventsCallback_) {
        eventsCallback_(range_.get(), range_.get() + count);
    }
}

// The hot loop of live streaming, indexing and every file query. One switch per
// word, no call and no allocation but at range flushes and triggers. With kEmit
// false it only tracks the state and counts.
template <bool kEmit>
size_t Evt3Decoder::run(const uint8_t* words, size_t count) {
    State s = state_;
    uint64_t timeBase = s.offset + (uint64_t{s.high} << kTimeLowBits);
    uint64_t t = timeBase + s.low;
    Event2D* const range = range_.get();
    size_t n = 0;      // events waiting in `range`
    size_t total = 0;  // events produced

    // Callbacks may throw; the decoder's state is then that of the last word handed over.
    auto handOver = [&]() {
        state_ = s;
        total += n;
        size_t ready = n;
        n = 0;
        flush(ready);
    };

    for (size_t i = 0; i < count; ++i) {
        const uint32_t w = uint32_t{words[2 * i]} | (uint32_t{words[2 * i + 1]} << 8);
        const uint32_t payload = w & kPayloadMask;
        switch (w >> 12) {
            case kAddrY:
                s.y = static_cast<uint16_t>(payload & kCoordMask);
                break;
            case kAddrX:
                if constexpr (kEmit) {
                    if (n == kRangeCapacity) {
                        handOver();
                    }
                    store(range + n, packXYP(payload & kCoordMask, s.y, payload >> kPolarityBit),
                          t);
                    ++n;
                } else {
                    ++total;
                }
                break;
            case kVectBaseX:
                s.baseX = static_cast<uint16_t>(payload & kCoordMask);
                s.vectorPolarity = static_cast<uint8_t>(payload >> kPolarityBit);
                break;
            case kVect12:
            case kVect8: {
                const bool twelve = (w >> 12) == kVect12;
                const uint32_t mask = twelve ? payload : (payload & 0xFF);
                if constexpr (kEmit) {
                    if (n > kRangeCapacity - 12) {
                        handOver();
                    }
                    // Branch-free: write every candidate, advance past the valid ones.
                    const uint64_t xyp = packXYP(s.baseX, s.y, s.vectorPolarity);
                    Event2D* out = range + n;
                    for (uint32_t b = 0; b < 12; ++b) {
                        store(out, xyp + b, t);
                        out += (mask >> b) & 1;
                    }
                    n = static_cast<size_t>(out - range);
                } else {
                    total += kPopcount12[mask];
                }
                s.baseX = static_cast<uint16_t>(std::min(s.baseX + (twelve ? 12u : 8u), kMaxBaseX));
                break;
            }
            case kTimeLow:
                s.low = payload;
                t = timeBase + payload;
                break;
            case kTimeHigh:
                // The sensor writes every step of the high part, so a smaller value
                // means the 24-bit counter wrapped.
                if (payload < s.high) {
                    s.offset += kTimePeriod;
                }
                s.high = payload;
                s.low = 0;
                timeBase = s.offset + (uint64_t{payload} << kTimeLowBits);
                t = timeBase;
                break;
            case kExtTrigger:
                if constexpr (kEmit) {
                    handOver();
                    if (triggerCallback_) {
                        triggerCallback_(EventTriggerIn(static_cast<int16_t>(payload >> 8),
                                                        static_cast<int16_t>(payload & 1), t));
                    }
                }
                break;
            default:  // CONTINUED, OTHERS and reserved types carry nothing we use
                break;
        }
    }
    state_ = s;
    if constexpr (kEmit) {
        handOver();
    }
    return total;
}

uint32_t Evt3Decoder::decodeCounting(const uint8_t* begin, const uint8_t* end) {
    if (begin == nullptr || end <= begin) {
        return 0;
    }
    return static_cast<uint32_t>(run<false>(begin, static_cast<size_t>(end - begin) / kWordSize));
}

void Evt3Decoder::decodeRange(const uint8_t* begin, const uint8_t* end) {
    decodeCounting(begin, end);
}

int Evt3Decoder::decode(const std::vector<uint8_t>& buffer) {
    const uint8_t* data = buffer.data();
    size_t size = buffer.size();
    size_t total = 0;
    if (haveOddByte_ && size > 0) {
        const uint8_t joined[2] = {oddByte_, data[0]};
        haveOddByte_ = false;
        total += run<true>(joined, 1);
        ++data;
        --size;
    }
    total += run<true>(data, size / kWordSize);
    if (size % kWordSize != 0) {
        haveOddByte_ = true;
        oddByte_ = data[size - 1];
    }
    return static_cast<int>(total);
}

}  // namespace orvane
