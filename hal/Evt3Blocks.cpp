// The wide path: whether it may run, and its decoding blocks, which write the
// events of eight words per step.

#include "Evt3Blocks.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Evt3BlockLanes.h"
#include "Evt3Runs.h"
#include "orvane/hal/Evt3Scan.h"

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

using namespace blocks;

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

// What follows the words a mode decoded: the end, the other mode, a run of
// vector words (Evt3Runs.h), or the same mode after the low window moved.
enum class Next { kStop, kOtherMode, kRuns, kSameMode };

// Full 12-bit vectors in a block that hand it to the runs: two of them are a
// dense row's, which real cameras seldom send.
constexpr int kRunFullVectors = 2;

// Decodes blocks in one of two modes: the plain one for blocks without vector
// words, which stops before the first block with one, and the vector one, which
// takes every block and stops after kQuietBlocks without vector words. Streams
// with and without vectors each stay in one mode, whose branches predict well.
// The vector mode hands blocks with full vectors to the runs, unless `runHold`
// (counted down per block) holds them back after a short run.
// Returns the words decoded; `next` tells what goes on.
template <bool kVectors>
__attribute__((target("avx2,bmi,popcnt"), always_inline)) inline size_t decodeMode(
    const uint8_t* words, size_t count, Carry& c, Event2D*& o, const Event2D* limit,
    __m256i offsetLow, __m256i offsetHigh, const LowWindow& window, Next& next, unsigned& runHold) {
    next = Next::kStop;
    unsigned quiet = 0;
    size_t i = 0;
    for (; i + 8 <= count && o <= limit; i += 8) {
        const Block b = classify(words + 2 * i, c.rowLow, c.high, window);
        unsigned taken = lanesTaken(b);
        // The plain mode leaves the vector state alone: a block with a vector
        // word ends it, and the vector mode checks the base x.
        const unsigned vectors =
            kVectors ? vectorsTaken(b, taken, c.vector) : b.vectorLanes & ((1u << taken) - 1);
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
                const unsigned full = static_cast<unsigned>(_mm256_movemask_ps(
                    _mm256_castsi256_ps(_mm256_cmpeq_epi32(masks, _mm256_set1_epi32(0xFFF)))));
                if (runHold == 0 && __builtin_popcount(full) >= kRunFullVectors) {
                    next = Next::kRuns;
                    break;
                }
                storeVectorBlock(_mm256_or_si256(lanes.x, y), lanes.polarity, time, offsetHigh,
                                 masks, o);
            }
            vectorAfter = lanes.carryVector;
            // Counted without a branch: whether a block has vectors is what the
            // predictor cannot learn.
            quiet = (quiet + 1) & (0u - static_cast<unsigned>(vectors == 0));
            runHold -= runHold != 0;
        } else {
            if (vectors != 0) {
                next = Next::kOtherMode;
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
            if constexpr (kVectors) {
                c.vector = laneOf(vectorAfter, taken);
            }
            i += taken;
            break;
        }
        c.rowLow = carryOf(b.rowLow, 8);
        c.high = laneOf(b.high, 8);
        if constexpr (kVectors) {
            c.vector = laneOf(vectorAfter, 8);
        }
        if constexpr (kVectors) {
            if (quiet == kQuietBlocks) {
                next = Next::kOtherMode;
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
    bool vectors = true;
    unsigned runHold = 0;
    // A dense row's words go to the runs at once, rather than after a block in
    // each mode; the decoder calls in again after every full range.
    uint16_t first[2] = {0, 0};
    std::memcpy(first, words, std::min<size_t>(count, 2) * kWordSize);
    constexpr uint16_t kFull12 = word(kVect12, kPayloadMask);
    Next next =
        o <= limit && (first[0] == kFull12 || first[1] == kFull12) ? Next::kRuns : Next::kOtherMode;
    LowWindow window = lowWindow(state.low);
    do {
        if (next == Next::kRuns) {
            storeState(c.rowLow, c.high, c.vector, state);
            const size_t done = decodeRunsAvx2(words + 2 * i, count - i, state, o, limit);
            c.vector = loadState(state, c.rowLow, c.high);
            // The runs check their time-lows one by one; the blocks' window
            // moves to where they left the time.
            window = lowWindow(state.low);
            i += done;
            // A run that ended soon leaves the next blocks to the vector mode,
            // which always moves on.
            runHold = done < 16 ? 4 : 0;
        } else if (next == Next::kOtherMode) {
            vectors = !vectors;
        }
        i += vectors ? decodeMode<true>(words + 2 * i, count - i, c, o, limit, offsetLow,
                                        offsetHigh, window, next, runHold)
                     : decodeMode<false>(words + 2 * i, count - i, c, o, limit, offsetLow,
                                         offsetHigh, window, next, runHold);
        if (next == Next::kStop && i + 8 <= count && o <= limit &&
            movedWindow(words + 2 * i, c.rowLow, window)) {
            next = Next::kSameMode;
        }
    } while (next != Next::kStop);
    storeState(c.rowLow, c.high, c.vector, state);
    out = o;
    return i;
}

#else

size_t decodeBlocksAvx2(const uint8_t*, size_t, BlockState&, Event2D*&, const Event2D*) {
    return 0;
}

#endif

}  // namespace evt3
}  // namespace orvane
