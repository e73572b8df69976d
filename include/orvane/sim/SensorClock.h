// The simulated event sensor's time base: it counts only while the sensor
// streams, in step with the wall clock when live, or in steps the producer
// takes when paced by the reader.
#pragma once

#include <chrono>
#include <cstdint>

namespace orvane::sim {

// Not thread-safe: the device that owns it guards it with its own lock.
class SensorClock {
  public:
    explicit SensorClock(bool live) : live_(live) {}

    // Sensor time, microseconds.
    uint64_t now() const;
    // The time counted up to the last start (or the last reader-paced step).
    uint64_t base() const { return base_; }
    // The sensor started or stopped streaming; a live clock follows it.
    void run(bool on);
    // A reader-paced step; returns the new time.
    uint64_t advance(uint64_t microseconds) { return base_ += microseconds; }

  private:
    bool live_;
    bool running_ = false;
    // While a live clock runs, sensor time = base_ + (now - origin_).
    uint64_t base_ = 0;
    std::chrono::steady_clock::time_point origin_;
};

}  // namespace orvane::sim
