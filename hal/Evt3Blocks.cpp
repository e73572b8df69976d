#include "Evt3Blocks.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "orvane/hal/Evt3Scan.h"

#if defined(__x86_64__) || defined(__i386__)
#define ORVANE_X86 1
#include <immintrin.h>
#endif

namespace orvane {

namespace {

bool scalarFromEnvironment() {
    const char* text = std::getenv("ORVANE_SIMD");
    return text != nullptr && std::strcmp(text, "scalar") == 0;
}

std::atomic<bool>& forcedScalar() {
    static std::atomic<bool> forced{scalarFromEnvironment()};
    return forced;
}

}  // namespace

void evt3ForceScalar(bool force) {
    forcedScalar().store(force, std::memory_order_relaxed);
}

namespace evt3 {

#if ORVANE_X86
bool useSse2() {
#if defined(__SSE2__)
    return !forcedScalar().load(std::memory_order_relaxed);
#else
    return false;
#endif
}

bool useAvx2() {
    static const bool cpu = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("popcnt");
    }();
    return cpu && !forcedScalar().load(std::memory_order_relaxed);
}
#else
bool useSse2() {
    return false;
}
bool useAvx2() {
    return false;
}
#endif

#if ORVANE_X86

namespace {

// For each mask of single-event lanes, where each output slot takes its event
// from: the set lanes in order, arranged so that the unpacks below leave events
// 0..7 in store order (the unpacks pair slot j with j + 4 in one register).
constexpr std::array<std::array<uint8_t, 8>, 256> makeCompaction() {
    std::array<std::array<uint8_t, 8>, 256> table{};
    constexpr uint8_t order[8] = {0, 2, 4, 6, 1, 3, 5, 7};
    for (unsigned mask = 0; mask < 256; ++mask) {
        uint8_t lanes[8] = {};
        unsigned n = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((mask >> lane) & 1) {
                lanes[n++] = static_cast<uint8_t>(lane);
            }
        }
        for (unsigned slot = 0; slot < 8; ++slot) {
            table[mask][slot] = lanes[order[slot]];
        }
    }
    return table;
}
alignas(64) constexpr std::array<std::array<uint8_t, 8>, 256> kCompaction = makeCompaction();

// A block's words, classified, with the row, high and low time in effect at each
// word. Every lane is a 32-bit word. The row and the low time are the values of
// the last word that set them: keys (lane + 1) << bits | value, whose running
// maximum picks the latest lane. The high time only grows inside a block that
// does not wrap, so its running maximum is the value in effect.
struct Block {
    __m256i payload, x11, isX, bad;
    __m256i rowLow;  // row in bits 0..10 (key in 0..15), low time in 16..27 (key in 16..31)
    __m256i high;
};

__attribute__((target("avx2"))) inline __m256i prefixMax16(__m256i v, __m256i carry) {
    const __m256i upper = _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
    v = _mm256_max_epu16(v, _mm256_slli_si256(v, 4));
    v = _mm256_max_epu16(v, _mm256_slli_si256(v, 8));
    v = _mm256_max_epu16(
        v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3)), upper));
    return _mm256_max_epu16(v, carry);
}

__attribute__((target("avx2"))) inline __m256i prefixMax32(__m256i v, __m256i carry) {
    const __m256i upper = _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
    v = _mm256_max_epu32(v, _mm256_slli_si256(v, 4));
    v = _mm256_max_epu32(v, _mm256_slli_si256(v, 8));
    v = _mm256_max_epu32(
        v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3)), upper));
    return _mm256_max_epu32(v, carry);
}

__attribute__((target("avx2"))) inline Block classify(const uint8_t* words, __m256i carryRowLow,
                                                      __m256i carryHigh) {
    const __m256i lane = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8);
    Block b;
    const __m256i w =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    const __m256i type = _mm256_srli_epi32(w, 12);
    b.payload = _mm256_and_si256(w, _mm256_set1_epi32(0xFFF));
    b.x11 = _mm256_and_si256(w, _mm256_set1_epi32(0x7FF));
    b.isX = _mm256_cmpeq_epi32(type, _mm256_set1_epi32(2));
    const __m256i isY = _mm256_cmpeq_epi32(type, _mm256_setzero_si256());
    const __m256i isLow = _mm256_cmpeq_epi32(type, _mm256_set1_epi32(6));
    const __m256i isHigh = _mm256_cmpeq_epi32(type, _mm256_set1_epi32(8));
    // Vector words (3, 4, 5) and triggers (0xA) are the scalar decoder's.
    const __m256i refused =
        _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(0x438), type), _mm256_set1_epi32(1));

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
    b.bad = _mm256_or_si256(refused, wraps);
    return b;
}

// The words before the first one the scalar code must take.
__attribute__((target("avx2,bmi"))) inline unsigned lanesTaken(const Block& b) {
    const unsigned good = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(b.bad, _mm256_setzero_si256()))));
    return static_cast<unsigned>(__builtin_ctz(~good));  // bit 8 of ~good is set
}

// Lane `taken - 1` in every lane: the state after the words taken.
__attribute__((target("avx2"))) inline __m256i laneOf(__m256i v, unsigned taken) {
    return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(static_cast<int>(taken) - 1));
}

// The state after the words taken: keys lose their lane part.
__attribute__((target("avx2"))) inline __m256i carryOf(__m256i rowLow, unsigned taken) {
    return _mm256_and_si256(laneOf(rowLow, taken), _mm256_set1_epi32(0x0FFF07FF));
}

__attribute__((target("avx2"))) void storeState(__m256i rowLow, __m256i high, BlockState& s) {
    const uint32_t rl = static_cast<uint32_t>(_mm256_cvtsi256_si32(rowLow));
    s.y = rl & 0x7FF;
    s.low = (rl >> 16) & 0xFFF;
    s.high = static_cast<uint32_t>(_mm256_cvtsi256_si32(high));
}

}  // namespace

__attribute__((target("avx2,bmi,popcnt"))) size_t decodeBlocksAvx2(const uint8_t* words,
                                                                   size_t count, BlockState& state,
                                                                   Event2D*& out,
                                                                   const Event2D* limit) {
    __m256i carryRowLow = _mm256_set1_epi32(static_cast<int>(state.y | (state.low << 16)));
    __m256i carryHigh = _mm256_set1_epi32(static_cast<int>(state.high));
    const __m256i offsetLow =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(state.offset)));
    const __m256i offsetHigh =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(state.offset >> 32)));
    Event2D* o = out;
    size_t i = 0;
    for (; i + 8 <= count && o <= limit; i += 8) {
        const Block b = classify(words + 2 * i, carryRowLow, carryHigh);
        const unsigned taken = lanesTaken(b);
        if (taken == 0) {
            break;
        }
        // Event halves: x | y << 16, polarity, then the time's low and high 32 bits
        // (the offset is a multiple of 2^24, so the 24-bit time never carries into it).
        const __m256i xy = _mm256_or_si256(
            b.x11, _mm256_slli_epi32(_mm256_and_si256(b.rowLow, _mm256_set1_epi32(0x7FF)), 16));
        const __m256i polarity = _mm256_srli_epi32(b.payload, 11);
        const __m256i time = _mm256_or_si256(
            _mm256_or_si256(
                _mm256_slli_epi32(b.high, 12),
                _mm256_and_si256(_mm256_srli_epi32(b.rowLow, 16), _mm256_set1_epi32(0xFFF))),
            offsetLow);
        const unsigned mask =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(b.isX))) &
            ((1u << taken) - 1);
        const __m256i pick = _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompaction[mask].data())));
        const __m256i cxy = _mm256_permutevar8x32_epi32(xy, pick);
        const __m256i cp = _mm256_permutevar8x32_epi32(polarity, pick);
        const __m256i ct = _mm256_permutevar8x32_epi32(time, pick);
        const __m256i a0 = _mm256_unpacklo_epi32(cxy, cp);
        const __m256i a1 = _mm256_unpackhi_epi32(cxy, cp);
        const __m256i t0 = _mm256_unpacklo_epi32(ct, offsetHigh);
        const __m256i t1 = _mm256_unpackhi_epi32(ct, offsetHigh);
        auto* dst = reinterpret_cast<__m256i*>(o);
        _mm256_storeu_si256(dst, _mm256_unpacklo_epi64(a0, t0));
        _mm256_storeu_si256(dst + 1, _mm256_unpackhi_epi64(a0, t0));
        _mm256_storeu_si256(dst + 2, _mm256_unpacklo_epi64(a1, t1));
        _mm256_storeu_si256(dst + 3, _mm256_unpackhi_epi64(a1, t1));
        o += __builtin_popcount(mask);
        carryRowLow = carryOf(b.rowLow, taken);
        carryHigh = laneOf(b.high, taken);
        if (taken < 8) {
            i += taken;
            break;
        }
    }
    storeState(carryRowLow, carryHigh, state);
    out = o;
    return i;
}

__attribute__((target("avx2,bmi,popcnt"))) size_t countBlocksAvx2(const uint8_t* words,
                                                                  size_t count, BlockState& state,
                                                                  uint64_t& events) {
    __m256i carryRowLow = _mm256_set1_epi32(static_cast<int>(state.y | (state.low << 16)));
    __m256i carryHigh = _mm256_set1_epi32(static_cast<int>(state.high));
    uint64_t n = 0;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const Block b = classify(words + 2 * i, carryRowLow, carryHigh);
        const unsigned taken = lanesTaken(b);
        if (taken == 0) {
            break;
        }
        n += static_cast<unsigned>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(b.isX))) &
            ((1u << taken) - 1)));
        carryRowLow = carryOf(b.rowLow, taken);
        carryHigh = laneOf(b.high, taken);
        if (taken < 8) {
            i += taken;
            break;
        }
    }
    storeState(carryRowLow, carryHigh, state);
    events += n;
    return i;
}

#else

size_t decodeBlocksAvx2(const uint8_t*, size_t, BlockState&, Event2D*&, const Event2D*) {
    return 0;
}
size_t countBlocksAvx2(const uint8_t*, size_t, BlockState&, uint64_t&) {
    return 0;
}

#endif

}  // namespace evt3
}  // namespace orvane
