// The simulated sensor's time base.
#include "orvane/sim/SensorClock.h"

namespace orvane::sim {

namespace {

uint64_t microsecondsSince(std::chrono::steady_clock::time_point origin) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - origin)
                                     .count());
}

}  // namespace

uint64_t SensorClock::now() const {
    return live_ && running_ ? base_ + microsecondsSince(origin_) : base_;
}

void SensorClock::run(bool on) {
    if (!live_ || on == running_) {
        return;
    }
    if (on) {
        origin_ = std::chrono::steady_clock::now();
    } else {
        base_ += microsecondsSince(origin_);
    }
    running_ = on;
}

}  // namespace orvane::sim
