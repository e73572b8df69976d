#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace orvane {

// One change-detection event. The decoder fills contiguous arrays of these and
// the Python binding exposes them as a numpy structured array without a copy,
// so the layout below is part of the interface.
class Event2D {
  public:
    uint16_t x;
    uint16_t y;
    uint8_t polarity;    // 1 = ON (brightness increase), 0 = OFF; consumers treat non-zero as ON
    uint64_t timestamp;  // microseconds of the sensor's time base

    Event2D() : x(0), y(0), polarity(0), timestamp(0) {}
    Event2D(uint16_t x_, uint16_t y_, uint8_t polarity_, uint64_t timestamp_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_) {}
};

static_assert(std::is_trivially_copyable<Event2D>::value, "Event2D must be trivially copyable");
static_assert(sizeof(Event2D) == 16, "Event2D must be 16 bytes");
static_assert(offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 &&
                  offsetof(Event2D, polarity) == 4 && offsetof(Event2D, timestamp) == 8,
              "Event2D field layout is fixed");

}  // namespace orvane
