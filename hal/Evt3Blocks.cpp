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

// For each six bits of a vector mask, the x offsets of the set bits in order,
// as three registers of two events (x offset, then 0 for the time).
constexpr std::array<std::array<int64_t, 12>, 64> makeSixes() {
    std::array<std::array<int64_t, 12>, 64> table{};
    for (unsigned mask = 0; mask < 64; ++mask) {
        unsigned n = 0;
        for (unsigned bit = 0; bit < 6; ++bit) {
            if ((mask >> bit) & 1) {
                table[mask][2 * n++] = bit;
            }
        }
    }
    return table;
}
alignas(64) constexpr std::array<std::array<int64_t, 12>, 64> kSixes = makeSixes();

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
constexpr uint32_t kMaxBlockBaseX = 0xF000 - 8 * 12;

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

__attribute__((target("avx2"))) inline Block classify(const uint8_t* words, __m256i carryRowLow,
                                                      __m256i carryHigh) {
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
    // Triggers (0xA) are the scalar code's too.
    const __m256i trigger = _mm256_cmpeq_epi32(b.type, _mm256_set1_epi32(0xA));
    b.bad = _mm256_or_si256(trigger, wraps);
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

__attribute__((target("avx2"))) void storeState(__m256i rowLow, __m256i high, __m256i vector,
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

// Events per lane of a block, the lanes beyond the words taken being empty.
__attribute__((target("avx2,popcnt"))) inline __m256i eventsPerLane(__m256i mask) {
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

// Six candidates above the event `pair` holds twice, two per store, for the
// set bits of `six`.
__attribute__((target("avx2"))) inline void storeSix(Event2D* o, __m256i pair, unsigned six) {
    const auto* offsets = reinterpret_cast<const __m256i*>(kSixes[six].data());
    auto* dst = reinterpret_cast<__m256i*>(o);
    _mm256_storeu_si256(dst, _mm256_add_epi64(pair, _mm256_load_si256(offsets)));
    _mm256_storeu_si256(dst + 1, _mm256_add_epi64(pair, _mm256_load_si256(offsets + 1)));
    _mm256_storeu_si256(dst + 2, _mm256_add_epi64(pair, _mm256_load_si256(offsets + 2)));
}

// One lane's events, `first` being the event at bit 0 of `mask`: at most two
// (single events, and real cameras' vectors mostly), in two stores.
__attribute__((target("avx2,bmi,popcnt"))) inline void storeTwo(Event2D*& o, __m128i first,
                                                                uint32_t mask) {
    const uint32_t rest = _blsr_u32(mask);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_add_epi64(first, _mm_cvtsi32_si128(static_cast<int>(_tzcnt_u32(mask)))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 1),
                     _mm_add_epi64(first, _mm_cvtsi32_si128(static_cast<int>(_tzcnt_u32(rest)))));
    o += _mm_popcnt_u32(mask);
}

// Any number of events: every candidate, two per store.
__attribute__((target("avx2,popcnt"))) inline void storeTwelve(Event2D*& o, __m128i first,
                                                               uint32_t mask) {
    const __m256i pair = _mm256_broadcastsi128_si256(first);
    storeSix(o, pair, mask & 63);
    storeSix(o + _mm_popcnt_u32(mask & 63), _mm256_add_epi64(pair, _mm256_setr_epi64x(6, 0, 6, 0)),
             mask >> 6);
    o += _mm_popcnt_u32(mask);
}

// Events with x | y << 16, polarity and the time's low 32 bits from the lanes
// `pick` chooses: slots 0 and 1, 2 and 3, 4 and 5, 6 and 7 per register.
struct Pairs {
    __m256i e01, e23, e45, e67;
};

__attribute__((target("avx2"))) inline Pairs pairsOf(__m256i xy, __m256i polarity, __m256i time,
                                                     __m256i timeHigh, __m256i pick) {
    const __m256i cxy = _mm256_permutevar8x32_epi32(xy, pick);
    const __m256i cp = _mm256_permutevar8x32_epi32(polarity, pick);
    const __m256i ct = _mm256_permutevar8x32_epi32(time, pick);
    const __m256i a0 = _mm256_unpacklo_epi32(cxy, cp);
    const __m256i a1 = _mm256_unpackhi_epi32(cxy, cp);
    const __m256i t0 = _mm256_unpacklo_epi32(ct, timeHigh);
    const __m256i t1 = _mm256_unpackhi_epi32(ct, timeHigh);
    return {_mm256_unpacklo_epi64(a0, t0), _mm256_unpackhi_epi64(a0, t0),
            _mm256_unpacklo_epi64(a1, t1), _mm256_unpackhi_epi64(a1, t1)};
}

// The row of each lane in bits 16..26.
__attribute__((target("avx2"))) inline __m256i rowsOf(const Block& b) {
    return _mm256_slli_epi32(_mm256_and_si256(b.rowLow, _mm256_set1_epi32(0x7FF)), 16);
}

// The low 32 bits of each lane's time (the offset is a multiple of 2^24, so
// the 24-bit time never carries into its high 32 bits).
__attribute__((target("avx2"))) inline __m256i timesOf(const Block& b, __m256i offsetLow) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(b.high, 12),
                                           _mm256_and_si256(_mm256_srli_epi32(b.rowLow, 16),
                                                            _mm256_set1_epi32(0xFFF))),
                           offsetLow);
}

// Each lane's events, in lane order.
template <void (*kStore)(Event2D*&, __m128i, uint32_t)>
__attribute__((target("avx2,bmi,popcnt"), always_inline)) inline void storeLanes(
    Event2D*& o, const Pairs& e, const uint32_t* m) {
    kStore(o, _mm256_castsi256_si128(e.e01), m[0]);
    kStore(o, _mm256_extracti128_si256(e.e01, 1), m[1]);
    kStore(o, _mm256_castsi256_si128(e.e23), m[2]);
    kStore(o, _mm256_extracti128_si256(e.e23, 1), m[3]);
    kStore(o, _mm256_castsi256_si128(e.e45), m[4]);
    kStore(o, _mm256_extracti128_si256(e.e45, 1), m[5]);
    kStore(o, _mm256_castsi256_si128(e.e67), m[6]);
    kStore(o, _mm256_extracti128_si256(e.e67, 1), m[7]);
}

// A block with a vector word of two or more events: every lane, in order,
// stores its own events. Out of line, so that the loops over the other blocks
// keep their registers.
__attribute__((target("avx2,bmi,popcnt"), noinline)) void storeVectorBlock(
    __m256i xy, __m256i polarity, __m256i time, __m256i offsetHigh, __m256i masks, Event2D*& o) {
    const Pairs e =
        pairsOf(xy, polarity, time, offsetHigh, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    alignas(32) uint32_t m[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(m), masks);
    // One choice per block rather than per lane: rows of full vectors take the
    // second branch every time, real data almost never.
    const __m256i rest = _mm256_and_si256(masks, _mm256_sub_epi32(masks, _mm256_set1_epi32(1)));
    const __m256i atMostTwo =
        _mm256_cmpeq_epi32(_mm256_and_si256(rest, _mm256_sub_epi32(rest, _mm256_set1_epi32(1))),
                           _mm256_setzero_si256());
    // A local pointer: the stores could alias `o`, which would be reloaded after each.
    Event2D* p = o;
    if (_mm256_movemask_ps(_mm256_castsi256_ps(atMostTwo)) == 0xFF) {
        storeLanes<storeTwo>(p, e, m);
    } else {
        storeLanes<storeTwelve>(p, e, m);
    }
    o = p;
}

// The lanes that hold an event, compacted: four stores of two events.
__attribute__((target("avx2,popcnt"))) inline void storeCompacted(Event2D*& o, __m256i xy,
                                                                  __m256i polarity, __m256i time,
                                                                  __m256i offsetHigh,
                                                                  unsigned lanes) {
    const Pairs e = pairsOf(xy, polarity, time, offsetHigh,
                            _mm256_cvtepu8_epi32(_mm_loadl_epi64(
                                reinterpret_cast<const __m128i*>(kCompaction[lanes].data()))));
    auto* dst = reinterpret_cast<__m256i*>(o);
    _mm256_storeu_si256(dst, e.e01);
    _mm256_storeu_si256(dst + 1, e.e23);
    _mm256_storeu_si256(dst + 2, e.e45);
    _mm256_storeu_si256(dst + 3, e.e67);
    o += __builtin_popcount(lanes);
}

// The state carried from block to block. A block that continues the loop took
// all eight words, so its carry comes from lane 7, which keeps the number of
// words taken off the path from one block to the next.
struct Carry {
    __m256i rowLow, high, vector;
};

// Blocks after which the vector mode, seeing no vector word, hands back to the
// plain mode.
constexpr unsigned kQuietBlocks = 16;

// Decodes blocks in one of two modes: the plain one for blocks without vector
// words, which stops before the first block with one, and the vector one, which
// takes every block and stops after kQuietBlocks without vector words. Streams
// with and without vectors each stay in one mode, whose branches predict well.
// Returns the words decoded; `modeEnds` tells whether the other mode goes on.
template <bool kVectors>
__attribute__((target("avx2,bmi,popcnt"), always_inline)) inline size_t decodeMode(
    const uint8_t* words, size_t count, Carry& c, Event2D*& o, const Event2D* limit,
    __m256i offsetLow, __m256i offsetHigh, bool& modeEnds) {
    modeEnds = false;
    unsigned quiet = 0;
    size_t i = 0;
    for (; i + 8 <= count && o <= limit; i += 8) {
        const Block b = classify(words + 2 * i, c.rowLow, c.high);
        unsigned taken = lanesTaken(b);
        const unsigned vectors = vectorsTaken(b, taken, c.vector);
        if (taken == 0) {
            break;
        }
        __m256i vectorAfter = c.vector;
        if constexpr (kVectors) {
            const Lanes lanes = vectorLanes(b, c.vector);
            const __m256i masks = _mm256_and_si256(lanes.mask, takenLanes(taken));
            const __m256i zero = _mm256_setzero_si256();
            const __m256i atMostOne = _mm256_cmpeq_epi32(
                _mm256_and_si256(masks, _mm256_sub_epi32(masks, _mm256_set1_epi32(1))), zero);
            const __m256i y = rowsOf(b);
            const __m256i time = timesOf(b, offsetLow);
            if (_mm256_movemask_ps(_mm256_castsi256_ps(atMostOne)) == 0xFF) {
                // At most one event per lane: at the x of its one bit, the exponent
                // of the mask as a float.
                const __m256i bit = _mm256_sub_epi32(
                    _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(masks)), 23),
                    _mm256_set1_epi32(127));
                const unsigned eventLanes =
                    ~static_cast<unsigned>(
                        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(masks, zero)))) &
                    0xFF;
                storeCompacted(o, _mm256_or_si256(_mm256_add_epi32(lanes.x, bit), y),
                               lanes.polarity, time, offsetHigh, eventLanes);
            } else {
                storeVectorBlock(_mm256_or_si256(lanes.x, y), lanes.polarity, time, offsetHigh,
                                 masks, o);
            }
            vectorAfter = lanes.carryVector;
            // Counted without a branch: whether a block has vectors is what the
            // predictor cannot learn.
            quiet = (quiet + 1) & (0u - static_cast<unsigned>(vectors == 0));
        } else {
            if (vectors != 0) {
                modeEnds = true;
                break;
            }
            storeCompacted(o, _mm256_or_si256(b.x11, rowsOf(b)), _mm256_srli_epi32(b.payload, 11),
                           timesOf(b, offsetLow), offsetHigh,
                           static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(b.isX))) &
                               ((1u << taken) - 1));
        }
        if (taken < 8) {
            c.rowLow = carryOf(b.rowLow, taken);
            c.high = laneOf(b.high, taken);
            c.vector = laneOf(vectorAfter, taken);
            i += taken;
            break;
        }
        c.rowLow = carryOf(b.rowLow, 8);
        c.high = laneOf(b.high, 8);
        c.vector = laneOf(vectorAfter, 8);
        if constexpr (kVectors) {
            if (quiet == kQuietBlocks) {
                modeEnds = true;
                i += 8;
                break;
            }
        }
    }
    return i;
}

}  // namespace

__attribute__((target("avx2,bmi,popcnt"))) size_t decodeBlocksAvx2(const uint8_t* words,
                                                                   size_t count, BlockState& state,
                                                                   Event2D*& out,
                                                                   const Event2D* limit) {
    Carry c;
    c.vector = loadState(state, c.rowLow, c.high);
    const __m256i offsetLow =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(state.offset)));
    const __m256i offsetHigh =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(state.offset >> 32)));
    Event2D* o = out;
    size_t i = 0;
    bool vectors = false;
    for (bool modeEnds = true; modeEnds; vectors = !vectors) {
        i += vectors ? decodeMode<true>(words + 2 * i, count - i, c, o, limit, offsetLow,
                                        offsetHigh, modeEnds)
                     : decodeMode<false>(words + 2 * i, count - i, c, o, limit, offsetLow,
                                         offsetHigh, modeEnds);
    }
    storeState(c.rowLow, c.high, c.vector, state);
    out = o;
    return i;
}

__attribute__((target("avx2,bmi,popcnt"))) size_t countBlocksAvx2(const uint8_t* words,
                                                                  size_t count, BlockState& state,
                                                                  uint64_t& events) {
    __m256i carryRowLow, carryHigh;
    __m256i carryVector = loadState(state, carryRowLow, carryHigh);
    uint64_t n = 0;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const Block b = classify(words + 2 * i, carryRowLow, carryHigh);
        unsigned taken = lanesTaken(b);
        const unsigned vectors = vectorsTaken(b, taken, carryVector);
        if (taken == 0) {
            break;
        }
        if (vectors != 0) {
            const Lanes lanes = vectorLanes(b, carryVector);
            n += sumBytes(eventsPerLane(_mm256_and_si256(lanes.mask, takenLanes(taken))));
            carryVector = laneOf(lanes.carryVector, taken);
        } else {
            n += static_cast<unsigned>(__builtin_popcount(
                static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(b.isX))) &
                ((1u << taken) - 1)));
        }
        carryRowLow = carryOf(b.rowLow, taken);
        carryHigh = laneOf(b.high, taken);
        if (taken < 8) {
            i += taken;
            break;
        }
    }
    storeState(carryRowLow, carryHigh, carryVector, state);
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
