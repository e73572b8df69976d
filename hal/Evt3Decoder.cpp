#include "Evt3Decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "Evt3Blocks.h"
#include "Evt3Format.h"

namespace orvane {

namespace {

using namespace evt3;

// Event2D as two 64-bit words: x | y << 16 | polarity << 32, then the time.
// Writing both at once keeps the padding bytes zero and the store count at two.
inline uint64_t packXYP(uint32_t x, uint32_t y, uint32_t polarity) {
    return uint64_t{x} | (uint64_t{y} << 16) | (uint64_t{polarity} << 32);
}

inline void store(Event2D* out, uint64_t xyp, uint64_t t) {
    const uint64_t words[2] = {xyp, t};
    std::memcpy(static_cast<void*>(out), words, sizeof words);
}

}  // namespace

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "words are read in host order; a big-endian host would need a swap");

Evt3Decoder::Evt3Decoder() : storage_(new Event2D[kRangeCapacity + kAlignSlack]) {
    // The range starts on a cache line, so that the wide path's 32-byte stores
    // of whole event pairs never split one (which halves the rate on dense rows).
    void* start = storage_.get();
    size_t space = (kRangeCapacity + kAlignSlack) * sizeof(Event2D);
    range_ = static_cast<Event2D*>(std::align(64, kRangeCapacity * sizeof(Event2D), start, space));
}

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
    // A new time base starts a new stream: half a word from the old one is no part of it.
    haveOddByte_ = false;
}

void Evt3Decoder::flush(size_t count) {
    if (count != 0 && eventsCallback_) {
        eventsCallback_(range_, range_ + count);
    }
}

// The hot loop of live streaming, indexing and every file query. Where the CPU
// has AVX2, blocks of eight words go through the wide path, and the scalar loop
// below takes the words it refuses (triggers, wraps of the time counter). The
// scalar loop folds the state into few scalars so that it runs from registers:
// the time as `timeBase` (wraps and high part) plus `t`, the row as bits 16..31
// of the packed event, the vector state as the packed event of the next vector
// pixel. With kEmit false it only tracks the state and counts.
template <bool kEmit>
size_t Evt3Decoder::run(const uint8_t* words, size_t count) {
    uint64_t timeBase = state_.offset + (uint64_t{state_.high} << kTimeLowBits);
    uint64_t t = timeBase + state_.low;
    uint64_t row = uint64_t{state_.y} << 16;
    uint64_t vector = packXYP(state_.baseX, state_.y, state_.vectorPolarity);
    Event2D* const range = range_;
    // Room for one more vector word's 12 candidates, or one more wide block.
    Event2D* const limit = range + (kRangeCapacity - 12);
    Event2D* const wideLimit = range + (kRangeCapacity - kMaxBlockEvents);
    Event2D* out = range;
    size_t total = 0;

    auto saveState = [&]() {
        state_.offset = timeBase & ~(kTimePeriod - 1);
        state_.high = static_cast<uint32_t>((timeBase >> kTimeLowBits) & kPayloadMask);
        state_.low = static_cast<uint32_t>(t - timeBase);
        state_.y = static_cast<uint16_t>(row >> 16);
        state_.baseX = static_cast<uint16_t>(vector);
        state_.vectorPolarity = static_cast<uint8_t>(vector >> 32);
    };
    // Callbacks may throw; the decoder's state is then that of the last word handed over.
    auto handOver = [&]() {
        saveState();
        const size_t ready = static_cast<size_t>(out - range);
        total += ready;
        out = range;
        flush(ready);
    };
    const bool wide = useAvx2();
    // The wide path's blocks, from and back to the scalar registers.
    auto blocks = [&](const uint8_t* p, size_t left) {
        BlockState s;
        s.offset = timeBase & ~(kTimePeriod - 1);
        s.high = static_cast<uint32_t>((timeBase >> kTimeLowBits) & kPayloadMask);
        s.low = static_cast<uint32_t>(t - timeBase);
        s.y = static_cast<uint32_t>(row >> 16);
        s.baseX = static_cast<uint32_t>(vector & 0xFFFF);
        s.vectorPolarity = static_cast<uint32_t>(vector >> 32);
        size_t done;
        if constexpr (kEmit) {
            done = decodeBlocksAvx2(p, left, s, out, wideLimit);
        } else {
            uint64_t counted = 0;
            done = countBlocksAvx2(p, left, s, counted);
            total += counted;
        }
        timeBase = s.offset + (uint64_t{s.high} << kTimeLowBits);
        t = timeBase + s.low;
        row = uint64_t{s.y} << 16;
        vector = s.baseX | row | (uint64_t{s.vectorPolarity} << 32);
        return done;
    };

    const uint8_t* const end = words + count * kWordSize;
    const uint8_t* p = words;
    // Words the scalar loop takes after the wide path refuses a word: a few,
    // more while the wide path takes less than a block between refusals.
    size_t scalarWords = 4;
    while (p != end) {
        const uint8_t* stop = end;
        if (wide) {
            const size_t done = blocks(p, static_cast<size_t>(end - p) / kWordSize);
            p += done * kWordSize;
            if constexpr (kEmit) {
                if (out > wideLimit) {
                    // A full range, not a word the wide path refuses: on with it.
                    handOver();
                    continue;
                }
            }
            scalarWords = done < 8 ? std::min<size_t>(2 * scalarWords, 512) : 4;
            stop = static_cast<size_t>(end - p) / kWordSize > scalarWords
                       ? p + scalarWords * kWordSize
                       : end;
        }
        for (; p != stop; p += kWordSize) {
            uint16_t w;
            std::memcpy(&w, p, sizeof w);
            const uint32_t payload = w & kPayloadMask;
            const uint32_t type = w >> 12;
            // Single events and rows first, as plain branches: a jump table's one
            // indirect branch predicts the common X/Y alternation far worse.
            if (type == kAddrX) {
                if constexpr (kEmit) {
                    if (out > limit) {
                        handOver();
                    }
                    store(out,
                          (payload & kCoordMask) | row | (uint64_t{payload >> kPolarityBit} << 32),
                          t);
                    ++out;
                } else {
                    ++total;
                }
                continue;
            }
            if (type == kAddrY) {
                row = uint64_t{payload & kCoordMask} << 16;
                vector = (vector & ~uint64_t{0xFFFF0000}) | row;
                continue;
            }
            switch (type) {
                case kVectBaseX:
                    vector =
                        (payload & kCoordMask) | row | (uint64_t{payload >> kPolarityBit} << 32);
                    break;
                case kVect12:
                case kVect8: {
                    const bool twelve = type == kVect12;
                    const uint32_t mask = twelve ? payload : (payload & 0xFF);
                    if constexpr (kEmit) {
                        if (out > limit) {
                            handOver();
                        }
                        // Branch-free: write every candidate, advance past the valid ones.
#pragma GCC unroll 12
                        for (uint32_t b = 0; b < 12; ++b) {
                            store(out, vector + b, t);
                            out += (mask >> b) & 1;
                        }
                    } else {
                        total += kPopcount12[mask];
                    }
                    if ((vector & 0xFFFF) < kMaxBaseX) {
                        vector += twelve ? 12 : 8;
                    }
                    break;
                }
                case kTimeLow:
                    if (__builtin_expect(payload + kLostHighDrop < t - timeBase, 0)) {
                        // The time-high of the next step was lost.
                        timeBase += uint64_t{1} << kTimeLowBits;
                        ++assumedTimeHighs_;
                    }
                    t = timeBase + payload;
                    break;
                case kTimeHigh:
                    timeBase = afterTimeHigh(timeBase, payload);
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
    }
    if constexpr (kEmit) {
        handOver();
    } else {
        saveState();
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

uint64_t evt3AssumedTimeHighs(const Decoder& decoder) {
    const auto* evt3 = dynamic_cast<const Evt3Decoder*>(&decoder);
    return evt3 != nullptr ? evt3->assumedTimeHighs() : 0;
}

}  // namespace orvane
