#include "orvane/hal/Evt3Encoder.h"

#include <stdexcept>
#include <string>

#include "Evt3Format.h"

namespace orvane {

namespace {

using namespace evt3;

inline void put(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
}

inline uint32_t polarityBit(const Event2D& e) {
    return e.polarity != 0 ? 1u : 0u;
}

// Events that one vector run may hold: same row, time and polarity, x rising.
inline bool sameRun(const Event2D& previous, const Event2D& next) {
    return next.timestamp == previous.timestamp && next.y == previous.y &&
           polarityBit(next) == polarityBit(previous) && next.x > previous.x;
}

}  // namespace

void Evt3Encoder::reset() {
    started_ = false;
    announce_ = false;
    step_ = 0;
    low_ = 0;
    y_ = -1;
}

void Evt3Encoder::restart() {
    announce_ = started_;
    y_ = -1;
}

void Evt3Encoder::setCurrentTimestamp(uint64_t timestamp) {
    started_ = true;
    step_ = timestamp >> kTimeLowBits;
    low_ = static_cast<uint32_t>(timestamp & kPayloadMask);
}

void Evt3Encoder::advanceTime(uint64_t t, std::vector<uint8_t>& out) {
    const uint64_t step = t >> kTimeLowBits;
    if (started_ && t < currentTimestamp()) {
        throw std::invalid_argument("Evt3Encoder: time goes backwards (" + std::to_string(t) +
                                    " us after " + std::to_string(currentTimestamp()) + " us)");
    }
    if (announce_) {
        put(out, word(kTimeHigh, static_cast<uint32_t>(step)));
        announce_ = false;
        step_ = step;
        low_ = 0;
    } else if (!started_ || step != step_) {
        // One word per step, so a decoder sees every wrap of the 24-bit counter.
        for (uint64_t s = started_ ? step_ + 1 : 0; s <= step; ++s) {
            put(out, word(kTimeHigh, static_cast<uint32_t>(s)));
        }
        started_ = true;
        step_ = step;
        low_ = 0;
    }
    const uint32_t low = static_cast<uint32_t>(t & kPayloadMask);
    if (low != low_) {
        put(out, word(kTimeLow, low));
        low_ = low;
    }
}

void Evt3Encoder::encode(const Event2D* begin, const Event2D* end, std::vector<uint8_t>& out) {
    for (const Event2D* e = begin; e < end; ++e) {
        if (e->x > kCoordMask || e->y > kCoordMask) {
            throw std::invalid_argument("Evt3Encoder: coordinate (" + std::to_string(e->x) + ", " +
                                        std::to_string(e->y) + ") does not fit 11 bits");
        }
    }
    const Event2D* runStart = begin;
    while (runStart < end) {
        const Event2D* runEnd = runStart + 1;
        while (runEnd < end && sameRun(runEnd[-1], *runEnd)) {
            ++runEnd;
        }
        advanceTime(runStart->timestamp, out);
        if (runStart->y != y_) {
            put(out, word(kAddrY, runStart->y));
            y_ = runStart->y;
        }
        encodeRun(runStart, runEnd, out);
        runStart = runEnd;
    }
}

// Vector words cover 12 (or 8) columns from a base; a gap of a full word or more
// costs one re-base word. Single-event words win for sparse runs.
void Evt3Encoder::encodeRun(const Event2D* begin, const Event2D* end, std::vector<uint8_t>& out) {
    const uint32_t polarity = polarityBit(*begin);
    scratch_.clear();
    const Event2D* e = begin;
    while (e < end) {
        uint32_t base = e->x;
        scratch_.push_back(word(kVectBaseX, (polarity << kPolarityBit) | base));
        while (e < end && e->x < base + 12) {
            uint32_t mask = 0;
            while (e < end && e->x < base + 12) {
                mask |= 1u << (e->x - base);
                ++e;
            }
            // The run's tail within 8 columns takes the short vector word.
            const bool tail = e == end && e[-1].x < base + 8;
            scratch_.push_back(word(tail ? kVect8 : kVect12, mask));
            base += tail ? 8 : 12;
        }
    }
    const size_t singles = static_cast<size_t>(end - begin);
    if (scratch_.size() < singles) {
        for (uint16_t w : scratch_) {
            put(out, w);
        }
    } else {
        for (const Event2D* s = begin; s < end; ++s) {
            put(out, word(kAddrX, (polarity << kPolarityBit) | s->x));
        }
    }
}

void Evt3Encoder::encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out) {
    if (trigger.id < 0 || trigger.id > 15 || trigger.polarity < 0 || trigger.polarity > 1) {
        throw std::invalid_argument("Evt3Encoder: trigger channel must be 0..15 and level 0 or 1");
    }
    advanceTime(trigger.timestamp, out);
    put(out, word(kExtTrigger, (static_cast<uint32_t>(trigger.id) << 8) |
                                   static_cast<uint32_t>(trigger.polarity)));
}

}  // namespace orvane
