#pragma once

#include <cstdint>
#include <type_traits>

namespace orvane {

// One edge on an external trigger input, on the same clock as Event2D.
class EventTriggerIn {
  public:
    int16_t polarity;    // level of the input after the edge: 0 or 1
    uint64_t timestamp;  // microseconds
    int16_t id;          // trigger input channel

    EventTriggerIn() : polarity(0), timestamp(0), id(0) {}
    // Channel first, level second: the argument order differs from the field order.
    EventTriggerIn(int16_t id_, int16_t polarity_, uint64_t timestamp_)
        : polarity(polarity_), timestamp(timestamp_), id(id_) {}
};

static_assert(std::is_trivially_copyable<EventTriggerIn>::value,
              "EventTriggerIn is passed by value across the decoder boundary");

}  // namespace orvane
