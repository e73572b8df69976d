// Synthesises the words that set an EVT 3.0 decoder's state, for streams cut
// mid-way (recordings started late, extracted ranges).

#include "orvane/hal/Evt3StateWords.h"

#include "Evt3Decoder.h"
#include "Evt3Format.h"

namespace orvane {

namespace {

using namespace evt3;

void put(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
}

}  // namespace

std::vector<uint8_t> evt3StateWords(const Evt3Decoder::State& state) {
    std::vector<uint8_t> out;
    // The decoder counts a wrap whenever the high part decreases.
    for (uint64_t wraps = state.offset / kTimePeriod; wraps > 0; --wraps) {
        put(out, word(kTimeHigh, kPayloadMask));
        put(out, word(kTimeHigh, 0));
    }
    put(out, word(kTimeHigh, state.high));
    put(out, word(kTimeLow, state.low));
    put(out, word(kAddrY, state.y));
    if (state.baseX != 0 || state.vectorPolarity != 0) {
        // A base beyond 11 bits (vector words without re-base) is reached by
        // empty vector words from a base that fits.
        uint32_t base = state.baseX;
        uint32_t steps = 0;
        while (base > kCoordMask) {
            base -= 12;
            ++steps;
        }
        put(out, word(kVectBaseX, (uint32_t{state.vectorPolarity} << kPolarityBit) | base));
        for (; steps > 0; --steps) {
            put(out, word(kVect12, 0));
        }
    }
    return out;
}

std::vector<uint8_t> evt3StateWords(const Decoder& decoder) {
    const auto* evt3 = dynamic_cast<const Evt3Decoder*>(&decoder);
    return evt3 != nullptr ? evt3StateWords(evt3->state()) : std::vector<uint8_t>{};
}

}  // namespace orvane
