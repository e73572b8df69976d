#include "orvane/hal/Evt3Scan.h"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Evt3Blocks.h"
#include "Evt3Format.h"

namespace orvane {

namespace {

using namespace evt3;

// Events of a word without a branch on its type: the popcount of the payload
// under the type's validity mask, plus one for a single-event word.
constexpr std::array<uint16_t, 16> kValidMask = {0, 0, 0, 0, 0xFFF, 0xFF, 0, 0,
                                                 0, 0, 0, 0, 0,     0,    0, 0};
constexpr std::array<uint8_t, 16> kSingle = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint32_t kTimeTypes = (1u << kTimeLow) | (1u << kTimeHigh);

inline uint32_t wordAt(const uint8_t* words, size_t i) {
    return uint32_t{words[2 * i]} | (uint32_t{words[2 * i + 1]} << 8);
}

inline uint32_t eventsOf(uint32_t w) {
    const uint32_t type = w >> 12;
    return kPopcount12[w & kValidMask[type]] + kSingle[type];
}

inline bool isTimeWord(uint32_t w) {
    return ((kTimeTypes >> (w >> 12)) & 1) != 0;
}

// The decoder's time state, rebuilt from its time as setCurrentTimestamp does.
class Clock {
  public:
    explicit Clock(uint64_t time) : base_(time & ~uint64_t{kPayloadMask}), now_(time) {}

    // The decoder's rules: a smaller high part means the counter wrapped, a
    // time-low far below the one in effect a lost time-high.
    void apply(uint32_t w) {
        const uint32_t payload = w & kPayloadMask;
        if ((w >> 12) == kTimeLow) {
            if (payload + kLostHighDrop < now_ - base_) {
                base_ += uint64_t{1} << kTimeLowBits;
            }
            now_ = base_ + payload;
            return;
        }
        base_ = afterTimeHigh(base_, payload);
        now_ = base_;
    }
    uint64_t now() const { return now_; }
    uint64_t base() const { return base_; }
    uint32_t high() const { return static_cast<uint32_t>(base_ >> kTimeLowBits) & kPayloadMask; }
    uint32_t low() const { return static_cast<uint32_t>(now_ - base_); }

    // The time after a run of words whose time words keep the high part: their
    // last one alone sets it, and a word that is no time word leaves it. No
    // branch: whether a block holds time words at all is not predictable.
    void settle(uint32_t w) {
        const uint64_t low = (w >> 12) == kTimeLow ? w & kPayloadMask : 0;
        const uint64_t keep = uint64_t{0} - uint64_t{!isTimeWord(w)};
        now_ = (now_ & keep) | ((base_ + low) & ~keep);
    }

  private:
    uint64_t base_;  // wraps and high part
    uint64_t now_;
};

#if defined(__SSE2__)
// Eight words per step, their events counted without a branch. Real cameras
// send a time word every few words, mostly time-lows and time-highs that repeat
// the high part, and only a time-low at or above the threshold's low part can
// reach the threshold while the high part stays: so a block steps word by word
// only when it holds such a time-low or a time-high that changes the high part
// (about once per threshold and once per 4 ms), and otherwise its last time
// word alone sets the time.
class Blocks {
  public:
    static constexpr size_t kWords = 8;

    // Walks whole blocks from word `i` while the threshold is not reached; returns
    // the index of the word that reaches it, or the first word after the blocks.
    static size_t walk(const uint8_t* words, size_t i, size_t count, uint64_t threshold,
                       Clock& clock, uint64_t& seen, bool& found) {
        __m128i sum = _mm_setzero_si128();
        unsigned blocks = 0;
        found = false;
        __m128i high, lowBelow, lowFloor;
        stopsFor(clock, threshold, high, lowBelow, lowFloor);
        for (; i + kWords <= count; i += kWords) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 2 * i));
            const __m128i types = _mm_srli_epi16(v, 12);
            __m128i events = eventsPerWord(v, types);
            const __m128i payload = _mm_and_si128(v, _mm_set1_epi16(kPayloadMask));
            const __m128i lows = _mm_cmpeq_epi16(types, _mm_set1_epi16(kTimeLow));
            const __m128i highs = _mm_cmpeq_epi16(types, _mm_set1_epi16(kTimeHigh));
            const __m128i stops =
                _mm_or_si128(_mm_and_si128(lows, _mm_or_si128(_mm_cmpgt_epi16(payload, lowBelow),
                                                              _mm_cmpgt_epi16(lowFloor, payload))),
                             _mm_andnot_si128(_mm_cmpeq_epi16(payload, high), highs));
            // One bit per word (movemask gives two per 16-bit lane).
            const unsigned timeWords =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(lows, highs))) & 0x5555u;
            if (_mm_movemask_epi8(stops) == 0) {
                // Without time words, lane 0 (no time word) is settled on.
                clock.settle(wordAt(words, i + (31 - unsigned(__builtin_clz(timeWords | 1))) / 2));
            } else {
                for (unsigned pending = timeWords; pending != 0; pending &= pending - 1) {
                    const unsigned lane = static_cast<unsigned>(__builtin_ctz(pending)) / 2;
                    clock.apply(wordAt(words, i + lane));
                    if (clock.now() >= threshold) {
                        events = _mm_and_si128(events, lanesBefore(lane));
                        seen += total(_mm_add_epi16(sum, events));
                        found = true;
                        return i + lane;
                    }
                }
                stopsFor(clock, threshold, high, lowBelow, lowFloor);
            }
            sum = _mm_add_epi16(sum, events);
            // At most 12 events per word: 4096 blocks fit 16-bit lanes.
            if (++blocks == 4096) {
                seen += total(sum);
                sum = _mm_setzero_si128();
                blocks = 0;
            }
        }
        seen += total(sum);
        return i;
    }

    // Whether the eight words from word `i` hold a time word.
    static bool holdsTimeWord(const uint8_t* words, size_t i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 2 * i));
        const __m128i types = _mm_srli_epi16(v, 12);
        const __m128i time = _mm_or_si128(_mm_cmpeq_epi16(types, _mm_set1_epi16(kTimeLow)),
                                          _mm_cmpeq_epi16(types, _mm_set1_epi16(kTimeHigh)));
        return _mm_movemask_epi8(time) != 0;
    }

  private:
    // What stops a block under the clock's high part: a time-high with another
    // high part, or a time-low above `lowBelow` (every time-low when the
    // threshold is not above the high part's base) or not above `lowFloor`.
    // Time-lows that pass keep inside the window around the clock's low, so
    // that no two of them are a lost time-high's drop apart (evt3::kLowWindowBelow).
    static void stopsFor(const Clock& clock, uint64_t threshold, __m128i& high, __m128i& lowBelow,
                         __m128i& lowFloor) {
        const uint64_t base = clock.base();
        const int below = threshold > base
                              ? static_cast<int>(std::min<uint64_t>(
                                    threshold - base - 1, uint64_t{clock.low()} + kLowWindowAbove))
                              : -1;
        high = _mm_set1_epi16(static_cast<int16_t>(clock.high()));
        lowBelow = _mm_set1_epi16(static_cast<int16_t>(below));
        lowFloor = _mm_set1_epi16(static_cast<int16_t>(static_cast<int>(clock.low()) -
                                                       static_cast<int>(kLowWindowBelow) - 1));
    }

    static __m128i eventsPerWord(__m128i v, __m128i types) {
        const __m128i single = _mm_cmpeq_epi16(types, _mm_set1_epi16(kAddrX));
        const __m128i valid = _mm_or_si128(
            _mm_and_si128(_mm_cmpeq_epi16(types, _mm_set1_epi16(kVect12)), _mm_set1_epi16(0x0FFF)),
            _mm_and_si128(_mm_cmpeq_epi16(types, _mm_set1_epi16(kVect8)), _mm_set1_epi16(0x00FF)));
        __m128i x = _mm_and_si128(v, valid);
        x = _mm_sub_epi16(x, _mm_and_si128(_mm_srli_epi16(x, 1), _mm_set1_epi16(0x5555)));
        x = _mm_add_epi16(_mm_and_si128(x, _mm_set1_epi16(0x3333)),
                          _mm_and_si128(_mm_srli_epi16(x, 2), _mm_set1_epi16(0x3333)));
        x = _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(x, 4)), _mm_set1_epi16(0x0F0F));
        x = _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(x, 8)), _mm_set1_epi16(0x00FF));
        return _mm_sub_epi16(x, single);  // a single-event word's lane is -1 in `single`
    }

    // A window on eight ones then eight zeros: no loop of `lane` steps, whose
    // exit is mispredicted once per bookmark.
    static __m128i lanesBefore(unsigned lane) {
        static constexpr uint16_t kOnesThenZeros[2 * kWords] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
                                                                0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kOnesThenZeros + kWords - lane));
    }

    static uint64_t total(__m128i lanes) {
        alignas(16) uint16_t values[kWords];
        _mm_store_si128(reinterpret_cast<__m128i*>(values), lanes);
        uint64_t sum = 0;
        for (uint16_t value : values) {
            sum += value;
        }
        return sum;
    }
};
#endif

}  // namespace

size_t evt3ScanToTime(const uint8_t* begin, const uint8_t* end, uint64_t threshold, uint64_t& time,
                      uint64_t& events) {
    const size_t count = end > begin ? static_cast<size_t>(end - begin) / kWordSize : 0;
    Clock clock(time);
    uint64_t seen = events;
    size_t i = 0;
    if (count > 0 && clock.now() >= threshold) {
        // Already there: the first word stops the walk unless it moves the time back.
        const uint32_t w = wordAt(begin, 0);
        if (!isTimeWord(w)) {
            return 0;
        }
        clock.apply(w);
        i = 1;
        if (clock.now() >= threshold) {
            time = clock.now();
            return 0;
        }
    }
    // From here on only a time word can reach the threshold.
#if defined(__SSE2__)
    if (evt3::useSse2()) {
        bool found = false;
        i = Blocks::walk(begin, i, count, threshold, clock, seen, found);
        if (found) {
            time = clock.now();
            events = seen;
            return i * kWordSize;
        }
    }
#endif
    for (; i < count; ++i) {
        const uint32_t w = wordAt(begin, i);
        if (isTimeWord(w)) {
            clock.apply(w);
            if (clock.now() >= threshold) {
                time = clock.now();
                events = seen;
                return i * kWordSize;
            }
        } else {
            seen += eventsOf(w);
        }
    }
    time = clock.now();
    events = seen;
    return count * kWordSize;
}

size_t evt3ScanToEventCount(const uint8_t* begin, const uint8_t* end, uint64_t target,
                            uint64_t& time, uint64_t& events) {
    const size_t count = end > begin ? static_cast<size_t>(end - begin) / kWordSize : 0;
    Clock clock(time);
    uint64_t seen = events;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t w = wordAt(begin, i);
        if (isTimeWord(w)) {
            clock.apply(w);
        } else {
            seen += eventsOf(w);
        }
        if (seen >= target) {
            time = clock.now();
            events = seen;
            return i * kWordSize;
        }
    }
    time = clock.now();
    events = seen;
    return count * kWordSize;
}

uint64_t evt3CountEvents(const uint8_t* begin, const uint8_t* end) {
    uint64_t time = 0, events = 0;
    evt3ScanToTime(begin, end, ~uint64_t{0}, time, events);
    return events;
}

bool evt3ScanPastTime(const uint8_t* begin, const uint8_t* end, uint64_t threshold, uint64_t& time,
                      uint64_t& events, Evt3Earlier& earlier) {
    const size_t count = end > begin ? static_cast<size_t>(end - begin) / kWordSize : 0;
    Clock clock(time);
    uint64_t seen = events;
    size_t counted = 0;  // the words whose events `seen` holds
    bool below = clock.now() < threshold;
    bool settled = false;
    size_t i = 0;
    // Word by word, but only the time words cost: the time is rarely below the
    // threshold here, and the events are counted in one pass over the words
    // walked (the blocks) where one must be noted.
    for (; i < count; ++i) {
#if defined(__SSE2__)
        // Not below the threshold, only a time word can matter: skip blocks of
        // eight words without one.
        if (!below && evt3::useSse2()) {
            while (i + Blocks::kWords <= count && !Blocks::holdsTimeWord(begin, i)) {
                i += Blocks::kWords;
            }
            if (i >= count) {
                break;
            }
        }
#endif
        const uint32_t w = wordAt(begin, i);
        if (isTimeWord(w)) {
            clock.apply(w);
            if ((w >> 12) == kTimeHigh && clock.base() >= threshold) {
                settled = true;
                break;
            }
            below = clock.now() < threshold;
        } else if (below && eventsOf(w) != 0) {
            seen += evt3CountEvents(begin + counted * kWordSize, begin + (i + 1) * kWordSize);
            counted = i + 1;
            earlier.found = true;
            earlier.offset = counted * kWordSize;
            earlier.time = clock.now();
            earlier.events = seen;
        }
    }
    seen += evt3CountEvents(begin + counted * kWordSize, begin + i * kWordSize);
    time = clock.now();
    events = seen;
    return settled;
}

Evt3StateStart evt3StateStart(const uint8_t* begin, const uint8_t* end) {
    const size_t count = end > begin ? static_cast<size_t>(end - begin) / kWordSize : 0;
    Evt3StateStart start;
    start.offset = count * kWordSize;
    bool vectors = false;
    for (size_t i = count; i-- > 0 && !(start.row && start.vectorBase);) {
        const uint32_t type = wordAt(begin, i) >> 12;
        vectors = vectors || type == kVect12 || type == kVect8;
        if ((type == kAddrY && !start.row) || (type == kVectBaseX && !start.vectorBase)) {
            start.row = start.row || type == kAddrY;
            start.vectorBase = start.vectorBase || type == kVectBaseX;
            start.offset = i * kWordSize;
        }
    }
    if (vectors && !start.vectorBase) {
        start.baseBefore = true;
        start.offset = 0;
    }
    return start;
}

}  // namespace orvane
