#pragma once

#include <cstdint>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane {

// Packs time-ordered events and trigger edges into EVT 3.0 words as the sensor
// does: a time-high word for every step of the high part (so that wraps of the
// 24-bit counter are visible), a time-low word when the low part changes, a row
// word when the row changes, and per run of events with one row, time and
// polarity in increasing x either vector words or single-event words, whichever
// is shorter. Decoding the output yields the input exactly (polarity as 0 or 1).
//
// The encoder is stateful like the decoder, so a stream may be encoded in pieces.
// Its time starts at 0, as a fresh decoder's does; a stream that starts late
// begins with one time-high word per 4096 us elapsed (or use setCurrentTimestamp
// on both sides).
class Evt3Encoder {
  public:
    // Appends the words of [begin, end) to `out`. Throws std::invalid_argument when
    // a coordinate does not fit 11 bits (before writing anything) or when time goes
    // backwards (`out` then holds the words of the events before that one).
    void encode(const Event2D* begin, const Event2D* end, std::vector<uint8_t>& out);
    void encode(const std::vector<Event2D>& events, std::vector<uint8_t>& out) {
        encode(events.data(), events.data() + events.size(), out);
    }
    // Appends one trigger edge (channel 0..15, level 0 or 1).
    void encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out);

    // Continues as a decoder does after Decoder::setCurrentTimestamp(timestamp).
    void setCurrentTimestamp(uint64_t timestamp);
    uint64_t currentTimestamp() const { return (step_ << 12) | low_; }
    // Back to the state of a fresh decoder.
    void reset();
    // For a stream that a new decoder may join here: keeps the time, but the next
    // item begins with its time-high, time-low and row words, as a sensor starts
    // a stream. The decoder then knows the time from that item on (without the
    // wraps before it).
    void restart();

  private:
    void advanceTime(uint64_t t, std::vector<uint8_t>& out);
    void encodeRun(const Event2D* begin, const Event2D* end, std::vector<uint8_t>& out);

    bool started_ = false;   // no time word written yet
    bool announce_ = false;  // write the current time in full before the next item
    uint64_t step_ = 0;      // time >> 12, counting wraps
    uint32_t low_ = 0;
    int32_t y_ = -1;  // -1: no row word written yet
    std::vector<uint16_t> scratch_;
};

}  // namespace orvane
