// The counting blocks of the wide path: the index build's and decodeRange's
// share of the AVX2 code, events counted without being written.

#include "Evt3BlockLanes.h"

namespace orvane::evt3 {

#if ORVANE_X86

namespace {

using namespace blocks;

// Events per lane of a block, the lanes beyond the words taken being empty.
__attribute__((target("avx2"))) inline __m256i eventsPerLane(__m256i mask) {
    const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1,
                                             1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_and_si256(mask, _mm256_set1_epi8(0x0F));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(mask, 4), _mm256_set1_epi8(0x0F));
    return _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, low), _mm256_shuffle_epi8(nibbles, high));
}

__attribute__((target("avx2"))) inline uint64_t sumBytes(__m256i bytes) {
    const __m256i sums = _mm256_sad_epu8(bytes, _mm256_setzero_si256());
    const __m128i half =
        _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(half)) +
           static_cast<uint64_t>(_mm_extract_epi64(half, 1));
}

}  // namespace

__attribute__((target("avx2,bmi,popcnt"))) size_t countBlocksAvx2(const uint8_t* words,
                                                                  size_t count, BlockState& state,
                                                                  uint64_t& events) {
    __m256i carryRowLow, carryHigh;
    __m256i carryVector = loadState(state, carryRowLow, carryHigh);
    LowWindow window = lowWindow(state.low);
    uint64_t n = 0;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const Block b = classify(words + 2 * i, carryRowLow, carryHigh, window);
        unsigned taken = lanesTaken(b);
        const unsigned vectors = vectorsTaken(b, taken, carryVector);
        if (taken == 0) {
            if (movedWindow(words + 2 * i, carryRowLow, window)) {
                i -= 8;  // the same block again
                continue;
            }
            break;
        }
        __m256i vectorAfter = carryVector;
        if (vectors != 0) {
            const Lanes lanes = vectorLanes(b, carryVector);
            n += sumBytes(eventsPerLane(_mm256_and_si256(lanes.mask, takenLanes(taken))));
            vectorAfter = lanes.carryVector;
        } else {
            n += static_cast<unsigned>(__builtin_popcount(
                static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(b.isX))) &
                ((1u << taken) - 1)));
        }
        // As in the decoding blocks, a block that continues carries from lane 7.
        if (taken < 8) {
            carryRowLow = carryOf(b.rowLow, taken);
            carryHigh = laneOf(b.high, taken);
            carryVector = laneOf(vectorAfter, taken);
            i += taken;
            if (movedWindow(words + 2 * i, carryRowLow, window)) {
                i -= 8;  // on from the time-low
                continue;
            }
            break;
        }
        carryRowLow = carryOf(b.rowLow, 8);
        carryHigh = laneOf(b.high, 8);
        carryVector = laneOf(vectorAfter, 8);
    }
    storeState(carryRowLow, carryHigh, carryVector, state);
    events += n;
    return i;
}

#else

size_t countBlocksAvx2(const uint8_t*, size_t, BlockState&, uint64_t&) {
    return 0;
}

#endif

}  // namespace orvane::evt3
