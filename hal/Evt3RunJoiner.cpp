// Time-high words of a camera's later runs, moved to continue the stream.

#include "orvane/hal/Evt3RunJoiner.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Evt3Format.h"

namespace orvane {

using namespace evt3;

void Evt3RunJoiner::beginRun(uint64_t reached) {
    awaitingHigh_ = reached != 0;
    firstHigh_ = static_cast<uint32_t>((reached >> kTimeLowBits) + 1) & kPayloadMask;
    shift_ = 0;
    // A new run starts on a whole word.
    oddByte_ = false;
}

void Evt3RunJoiner::apply(std::vector<uint8_t>& buffer) {
    if (buffer.empty()) {
        return;
    }
    uint8_t* p = buffer.data();
    uint8_t* const end = p + buffer.size();
    if (oddByte_) {
        ++p;  // the second half of a word the last buffer began
    }
    oddByte_ = ((end - p) & 1) != 0;
    uint8_t* const last = end - ((end - p) & 1);
    if (awaitingHigh_) {
        for (; p != last; p += kWordSize) {
            if ((p[1] >> 4) == kTimeHigh) {
                const uint32_t high = (uint32_t{p[1]} << 8 | p[0]) & kPayloadMask;
                shift_ = (firstHigh_ - high) & kPayloadMask;
                awaitingHigh_ = false;
                break;
            }
        }
    }
    if (shift_ != 0 && p != last) {
        shift(p, last);
    }
}

// Every time-high word of [begin, end) gets the shift added to its payload.
// A pass at memory speed, run only on the runs that need it.
void Evt3RunJoiner::shift(uint8_t* begin, uint8_t* end) const {
    uint8_t* p = begin;
#if defined(__SSE2__)
    const __m128i typeMask = _mm_set1_epi16(static_cast<int16_t>(0xF000));
    const __m128i highType = _mm_set1_epi16(static_cast<int16_t>(kTimeHigh << 12));
    const __m128i payloadMask = _mm_set1_epi16(static_cast<int16_t>(kPayloadMask));
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>(shift_));
    for (; end - p >= 16; p += 16) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i isHigh = _mm_cmpeq_epi16(_mm_and_si128(w, typeMask), highType);
        const __m128i moved =
            _mm_or_si128(highType, _mm_and_si128(_mm_add_epi16(w, add), payloadMask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_or_si128(_mm_and_si128(isHigh, moved), _mm_andnot_si128(isHigh, w)));
    }
#endif
    for (; p != end; p += kWordSize) {
        uint16_t w;
        std::memcpy(&w, p, sizeof w);
        if ((w >> 12) == kTimeHigh) {
            w = word(kTimeHigh, w + shift_);
            std::memcpy(p, &w, sizeof w);
        }
    }
}

}  // namespace orvane
