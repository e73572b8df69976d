// Runs of vector words, word by word, with whole-word stores (see Evt3Runs.h).

#include "Evt3Runs.h"

#include <algorithm>
#include <cstring>

#include "Evt3BlockLanes.h"
#include "Evt3Format.h"

namespace orvane::evt3 {

#if ORVANE_X86

namespace {

// The valid bits of VECT_12 and VECT_8.
constexpr uint32_t kMasks[2] = {kPayloadMask, 0xFF};

// The x offsets of a vector word's twelve candidates, two events per register.
struct Offsets {
    __m256i at0, at2, at4, at6, at8, at10;
};

// Every candidate of a vector word above `pair` (its event at bit 0, twice):
// exactly its events when the valid bits start at bit 0.
__attribute__((target("avx2"), always_inline)) inline void storeTwelve(Event2D* o, __m256i pair,
                                                                       const Offsets& k) {
    auto* dst = reinterpret_cast<__m256i*>(o);
    _mm256_storeu_si256(dst, _mm256_add_epi64(pair, k.at0));
    _mm256_storeu_si256(dst + 1, _mm256_add_epi64(pair, k.at2));
    _mm256_storeu_si256(dst + 2, _mm256_add_epi64(pair, k.at4));
    _mm256_storeu_si256(dst + 3, _mm256_add_epi64(pair, k.at6));
    _mm256_storeu_si256(dst + 4, _mm256_add_epi64(pair, k.at8));
    _mm256_storeu_si256(dst + 5, _mm256_add_epi64(pair, k.at10));
}

}  // namespace

__attribute__((target("avx2,bmi,popcnt"))) size_t decodeRunsAvx2(const uint8_t* words, size_t count,
                                                                 BlockState& state, Event2D*& out,
                                                                 const Event2D* limit) {
    const uint64_t timeBase = state.offset + (uint64_t{state.high} << kTimeLowBits);
    uint64_t t = timeBase + state.low;
    uint64_t row = uint64_t{state.y} << 16;
    // The event at the base x (x | y << 16 | polarity << 32, then the time), twice.
    __m256i pair = _mm256_setr_epi64x(
        static_cast<long long>(state.baseX | row | (uint64_t{state.vectorPolarity} << 32)),
        static_cast<long long>(t), 0, 0);
    pair = _mm256_permute4x64_epi64(pair, 0x44);
    const __m256i rowBits = _mm256_setr_epi64x(0xFFFF0000, 0, 0xFFFF0000, 0);
    const __m256i timeLanes = _mm256_setr_epi64x(0, -1, 0, -1);
    // What a VECT_12 and a VECT_8 add to the base x.
    const __m256i steps[3] = {_mm256_setr_epi64x(12, 0, 12, 0), _mm256_setr_epi64x(8, 0, 8, 0),
                              _mm256_setr_epi64x(24, 0, 24, 0)};
    const Offsets k{_mm256_setr_epi64x(0, 0, 1, 0), _mm256_setr_epi64x(2, 0, 3, 0),
                    _mm256_setr_epi64x(4, 0, 5, 0), _mm256_setr_epi64x(6, 0, 7, 0),
                    _mm256_setr_epi64x(8, 0, 9, 0), _mm256_setr_epi64x(10, 0, 11, 0)};
    Event2D* o = out;
    size_t i = 0;
    bool refused = false;
    // Words in stretches without a check per word: a word writes twelve
    // candidates at most, so every word of a stretch starts at or below
    // `limit`; and the base x grows by 12 at most a word, from the base in
    // effect or a base word's, so it stays below saturation.
    while (!refused && i < count && o <= limit) {
        const uint32_t highestBase = std::max<uint32_t>(
            static_cast<uint32_t>(_mm256_cvtsi256_si32(pair)) & 0xFFFF, kCoordMask);
        if (highestBase >= kMaxBaseX) {
            break;
        }
        const size_t n = i + std::min({count - i, static_cast<size_t>(limit - o) / 12 + 1,
                                       size_t{(kMaxBaseX - highestBase + 11) / 12}});
        const uint8_t* p = words + 2 * i;
        const uint8_t* const stop = words + 2 * n;
        for (; p != stop; p += 2) {
            uint16_t w;
            std::memcpy(&w, p, sizeof w);
            // Full vectors first: most of a dense row's words, often two in a row.
            if (w == word(kVect12, kPayloadMask)) {
                uint16_t next = 0;
                if (p + kWordSize != stop) {
                    std::memcpy(&next, p + kWordSize, sizeof next);
                }
                if (next == w) {
                    storeTwelve(o, pair, k);
                    storeTwelve(o + 12, _mm256_add_epi64(pair, steps[0]), k);
                    o += 24;
                    pair = _mm256_add_epi64(pair, steps[2]);
                    p += kWordSize;
                    continue;
                }
                storeTwelve(o, pair, k);
                o += 12;
                pair = _mm256_add_epi64(pair, steps[0]);
                continue;
            }
            const uint32_t type = w >> 12;
            const uint32_t payload = w & kPayloadMask;
            if (type - kVect12 < 2) {
                const uint32_t eight = type - kVect12;
                const uint32_t mask = payload & kMasks[eight];
                if ((mask & (mask + 1)) == 0) {
                    storeTwelve(o, pair, k);
                    o += _mm_popcnt_u32(mask);
                } else {
                    // Gaps: every candidate, advancing past the valid ones.
                    const __m128i first = _mm256_castsi256_si128(pair);
                    for (uint32_t b = 0; b < 12; ++b) {
                        _mm_storeu_si128(
                            reinterpret_cast<__m128i*>(o),
                            _mm_add_epi64(first, _mm_cvtsi32_si128(static_cast<int>(b))));
                        o += (mask >> b) & 1;
                    }
                }
                pair = _mm256_add_epi64(pair, steps[eight]);
            } else if (type == kVectBaseX) {
                const uint64_t base =
                    (payload & kCoordMask) | row | (uint64_t{payload >> kPolarityBit} << 32);
                pair = _mm256_blendv_epi8(_mm256_set1_epi64x(static_cast<long long>(base)), pair,
                                          timeLanes);
            } else if (type == kAddrY) {
                row = uint64_t{payload & kCoordMask} << 16;
                pair = _mm256_or_si256(
                    _mm256_andnot_si256(rowBits, pair),
                    _mm256_and_si256(rowBits, _mm256_set1_epi64x(static_cast<long long>(row))));
            } else if (type == kTimeLow && payload + kLostHighDrop >= t - timeBase) {
                // (A time-low far below is the scalar code's: a lost time-high.)
                t = timeBase + payload;
                pair = _mm256_blendv_epi8(pair, _mm256_set1_epi64x(static_cast<long long>(t)),
                                          timeLanes);
            } else {
                refused = true;
                break;
            }
        }
        i = static_cast<size_t>(p - words) / kWordSize;
    }
    const uint64_t vector = static_cast<uint64_t>(_mm256_extract_epi64(pair, 0));
    state.y = static_cast<uint32_t>(row >> 16);
    state.low = static_cast<uint32_t>(t - timeBase);
    state.baseX = static_cast<uint32_t>(vector & 0xFFFF);
    state.vectorPolarity = static_cast<uint32_t>(vector >> 32);
    out = o;
    return i;
}

#else

size_t decodeRunsAvx2(const uint8_t*, size_t, BlockState&, Event2D*&, const Event2D*) {
    return 0;
}

#endif

}  // namespace orvane::evt3
