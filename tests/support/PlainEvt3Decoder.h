#pragma once

// The EVT 3.0 decoder as anyone would first write it: one switch per word,
// events appended to a vector. It is the baseline of the codec benchmarks and
// the second opinion of the decoder tests, so it stays plain and untuned.

#include <cstdint>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane::test {

class PlainEvt3Decoder {
  public:
    // With `assumeLostTimeHighs`, a time-low far below the one in effect steps
    // the high part first, as our decoder does (orvane/hal/Evt3LostTimeHighs.h);
    // without, the words are taken at their word, as any decoder would.
    explicit PlainEvt3Decoder(bool assumeLostTimeHighs = false)
        : assumeLostTimeHighs_(assumeLostTimeHighs) {}

    // Decodes the whole words of [begin, end), continuing from the previous call,
    // and appends their events and triggers.
    void decode(const uint8_t* begin, const uint8_t* end, std::vector<Event2D>& events,
                std::vector<EventTriggerIn>& triggers);
    uint64_t time() const { return offset_ + ((uint64_t{high_} << 12) | low_); }

  private:
    bool assumeLostTimeHighs_;
    uint64_t offset_ = 0;
    uint32_t high_ = 0, low_ = 0;
    uint16_t y_ = 0, baseX_ = 0;
    uint8_t polarity_ = 0;
};

}  // namespace orvane::test
