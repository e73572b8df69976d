#pragma once

// The wide path's reading of a block of eight words: their types, the row,
// time and vector base in effect at each, and the state carried to the next
// block. Shared by the decoding and the counting blocks; x86 only.

#include <cstddef>
#include <cstdint>

#include "Evt3Blocks.h"
#include "Evt3Format.h"

#if defined(__x86_64__) || defined(__i386__)
#define ORVANE_X86 1
#include <immintrin.h>
#endif

#if ORVANE_X86

namespace orvane::evt3::blocks {

// A block's words, classified, with the row, high and low time in effect at each
// word. Every lane is a 32-bit word. The row and the low time are the values of
// the last word that set them: keys (lane + 1) << bits | value, whose running
// maximum picks the latest lane. The high time only grows inside a block that
// does not wrap, so its running maximum is the value in effect.
struct Block {
    __m256i type, payload, x11, isX, bad;
    __m256i rowLow;  // row in bits 0..10 (key in 0..15), low time in 16..27 (key in 16..31)
    __m256i high;
    unsigned vectorLanes;  // lanes of vector words (base x, 12 and 8 bits)
};

// Vector state is carried between blocks as base x (bits 0..15) | polarity << 20.
constexpr int kCarriedVector = 0x10FFFF;
// Above this base x, a block's eight increments could reach the decoder's
// saturation, which the scalar code applies (only a malformed stream that never
// re-bases gets there).
constexpr uint32_t kMaxBlockBaseX = kMaxBaseX - 8 * 12;

__attribute__((target("avx2"))) inline __m256i upperHalf() {
    return _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
}

__attribute__((target("avx2"))) inline __m256i prefixMax16(__m256i v, __m256i carry) {
    v = _mm256_max_epu16(v, _mm256_slli_si256(v, 4));
    v = _mm256_max_epu16(v, _mm256_slli_si256(v, 8));
    v = _mm256_max_epu16(
        v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3)), upperHalf()));
    return _mm256_max_epu16(v, carry);
}

__attribute__((target("avx2"))) inline __m256i prefixMax32(__m256i v, __m256i carry) {
    v = _mm256_max_epu32(v, _mm256_slli_si256(v, 4));
    v = _mm256_max_epu32(v, _mm256_slli_si256(v, 8));
    v = _mm256_max_epu32(
        v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3)), upperHalf()));
    return _mm256_max_epu32(v, carry);
}

__attribute__((target("avx2"))) inline __m256i prefixSum32(__m256i v) {
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
    return _mm256_add_epi32(
        v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3)), upperHalf()));
}

// The time-lows the blocks take: those inside the window around the low in
// effect where the blocks began (evt3::kLowWindowBelow).
struct LowWindow {
    __m256i floor, ceiling;  // the window is (floor, ceiling]
};

__attribute__((target("avx2"))) inline LowWindow lowWindow(uint32_t low) {
    return {_mm256_set1_epi32(static_cast<int>(low) - static_cast<int>(kLowWindowBelow) - 1),
            _mm256_set1_epi32(static_cast<int>(low + kLowWindowAbove))};
}

// Where the blocks stopped at a time-low outside the window that is no lost
// time-high's drop below the low in effect (carried in `rowLow`), the window
// moves to that time-low, so that the blocks take it and go on: true then.
__attribute__((target("avx2"))) inline bool movedWindow(const uint8_t* word, __m256i rowLow,
                                                        LowWindow& window) {
    const uint32_t w = uint32_t{word[0]} | (uint32_t{word[1]} << 8);
    const uint32_t low = (static_cast<uint32_t>(_mm256_cvtsi256_si32(rowLow)) >> 16) & kPayloadMask;
    if ((w >> 12) != kTimeLow || (w & kPayloadMask) + kLostHighDrop < low) {
        return false;
    }
    window = lowWindow(w & kPayloadMask);
    return true;
}

__attribute__((target("avx2"))) inline Block classify(const uint8_t* words, __m256i carryRowLow,
                                                      __m256i carryHigh, const LowWindow& window) {
    const __m256i lane = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8);
    Block b;
    const __m256i w =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    b.type = _mm256_srli_epi32(w, 12);
    b.payload = _mm256_and_si256(w, _mm256_set1_epi32(0xFFF));
    b.x11 = _mm256_and_si256(w, _mm256_set1_epi32(0x7FF));
    b.isX = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(2));
    const __m256i isY = _mm256_cmpeq_epi32(b.type, _mm256_setzero_si256());
    const __m256i isLow = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(6));
    const __m256i isHigh = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(8));
    // Bit 0 of 0x38 >> type, moved to the sign bit, marks the vector types 3, 4 and 5.
    b.vectorLanes = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
        _mm256_slli_epi32(_mm256_srlv_epi32(_mm256_set1_epi32(0x38), b.type), 31))));

    const __m256i rowKey =
        _mm256_and_si256(isY, _mm256_or_si256(_mm256_slli_epi32(lane, 11), b.x11));
    // A high time word clears the low time: its key carries value 0.
    const __m256i lowKey = _mm256_and_si256(
        _mm256_or_si256(isLow, isHigh),
        _mm256_or_si256(_mm256_slli_epi32(lane, 12), _mm256_and_si256(isLow, b.payload)));
    b.rowLow = prefixMax16(_mm256_or_si256(rowKey, _mm256_slli_epi32(lowKey, 16)), carryRowLow);
    b.high = prefixMax32(_mm256_and_si256(isHigh, b.payload), carryHigh);
    // A high word below the high in effect wraps the counter: the scalar code's case.
    const __m256i wraps = _mm256_andnot_si256(_mm256_cmpeq_epi32(b.high, b.payload), isHigh);
    // Triggers (0xA) are the scalar code's too, and time-lows outside the window,
    // which may tell of a lost time-high.
    const __m256i trigger = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(0xA));
    const __m256i outside =
        _mm256_and_si256(isLow, _mm256_or_si256(_mm256_cmpgt_epi32(b.payload, window.ceiling),
                                                _mm256_cmpgt_epi32(window.floor, b.payload)));
    b.bad = _mm256_or_si256(_mm256_or_si256(trigger, wraps), outside);
    return b;
}

// Each lane's events as the bits of a mask above a first x: a single event is
// bit 0 at its x, a vector word its validity bits above the base x in effect.
struct Lanes {
    __m256i x, polarity, mask;
    __m256i carryVector;  // the vector state after each lane's word
};

// The base x in effect at each word: that of the last base word, or the carried
// one, plus the increments of the vector words between. A base word's key holds
// its lane above the polarity and its x less the increments before it, so that
// adding the increments up to any later lane gives that lane's base (modulo
// 2^16, with the borrow falling into bit 16, which is masked off).
__attribute__((target("avx2"))) inline Lanes vectorLanes(const Block& b, __m256i carryVector) {
    const __m256i lane = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8);
    const __m256i isBase = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(3));
    const __m256i is12 = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(4));
    const __m256i is8 = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(5));
    const __m256i step = _mm256_or_si256(_mm256_and_si256(is12, _mm256_set1_epi32(12)),
                                         _mm256_and_si256(is8, _mm256_set1_epi32(8)));
    const __m256i through = prefixSum32(step);
    const __m256i before = _mm256_sub_epi32(through, step);
    const __m256i baseKey = _mm256_and_si256(
        isBase, _mm256_or_si256(
                    _mm256_or_si256(_mm256_slli_epi32(lane, 24),
                                    _mm256_slli_epi32(_mm256_srli_epi32(b.payload, 11), 20)),
                    _mm256_and_si256(_mm256_sub_epi32(b.x11, before), _mm256_set1_epi32(0xFFFF))));
    const __m256i vector = prefixMax32(baseKey, carryVector);
    Lanes l;
    const __m256i base =
        _mm256_and_si256(_mm256_add_epi32(vector, before), _mm256_set1_epi32(0xFFFF));
    l.x = _mm256_blendv_epi8(base, b.x11, b.isX);
    l.polarity =
        _mm256_blendv_epi8(_mm256_and_si256(_mm256_srli_epi32(vector, 20), _mm256_set1_epi32(1)),
                           _mm256_srli_epi32(b.payload, 11), b.isX);
    l.mask = _mm256_or_si256(
        _mm256_and_si256(b.isX, _mm256_set1_epi32(1)),
        _mm256_or_si256(
            _mm256_and_si256(is12, b.payload),
            _mm256_and_si256(is8, _mm256_and_si256(b.payload, _mm256_set1_epi32(0xFF)))));
    l.carryVector =
        _mm256_and_si256(_mm256_add_epi32(vector, through), _mm256_set1_epi32(kCarriedVector));
    return l;
}

// The words before the first one the scalar code must take.
__attribute__((target("avx2,bmi"))) inline unsigned lanesTaken(const Block& b) {
    const unsigned good = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(b.bad, _mm256_setzero_si256()))));
    return static_cast<unsigned>(__builtin_ctz(~good));  // bit 8 of ~good is set
}

// All lanes below `taken`.
__attribute__((target("avx2"))) inline __m256i takenLanes(unsigned taken) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(taken)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Lane `taken - 1` in every lane: the state after the words taken.
__attribute__((target("avx2"))) inline __m256i laneOf(__m256i v, unsigned taken) {
    return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(static_cast<int>(taken) - 1));
}

// The state after the words taken: keys lose their lane part.
__attribute__((target("avx2"))) inline __m256i carryOf(__m256i rowLow, unsigned taken) {
    return _mm256_and_si256(laneOf(rowLow, taken), _mm256_set1_epi32(0x0FFF07FF));
}

__attribute__((target("avx2"))) inline __m256i loadState(const BlockState& s, __m256i& rowLow,
                                                         __m256i& high) {
    rowLow = _mm256_set1_epi32(static_cast<int>(s.y | (s.low << 16)));
    high = _mm256_set1_epi32(static_cast<int>(s.high));
    return _mm256_set1_epi32(static_cast<int>(s.baseX | (s.vectorPolarity << 20)));
}

__attribute__((target("avx2"))) inline void storeState(__m256i rowLow, __m256i high, __m256i vector,
                                                       BlockState& s) {
    const uint32_t rl = static_cast<uint32_t>(_mm256_cvtsi256_si32(rowLow));
    s.y = rl & 0x7FF;
    s.low = (rl >> 16) & 0xFFF;
    s.high = static_cast<uint32_t>(_mm256_cvtsi256_si32(high));
    const uint32_t v = static_cast<uint32_t>(_mm256_cvtsi256_si32(vector));
    s.baseX = v & 0xFFFF;
    s.vectorPolarity = (v >> 20) & 1;
}

// The vector lanes among the words taken, or none with `taken` cut before the
// first of them while the base x is too close to saturation.
__attribute__((target("avx2,bmi"))) inline unsigned vectorsTaken(const Block& b, unsigned& taken,
                                                                 __m256i carryVector) {
    const unsigned vectors = b.vectorLanes & ((1u << taken) - 1);
    // Tested without a branch on `vectors`, which the predictor cannot learn.
    const uint32_t base = static_cast<uint32_t>(_mm256_cvtsi256_si32(carryVector)) & 0xFFFF;
    const unsigned nearSaturation = 0u - static_cast<unsigned>(base > kMaxBlockBaseX);
    if ((vectors & nearSaturation) != 0) {
        taken = static_cast<unsigned>(__builtin_ctz(vectors));
        return 0;
    }
    return vectors;
}

}  // namespace orvane::evt3::blocks

#endif
