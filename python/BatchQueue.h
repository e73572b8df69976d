// Batches of a live camera for Python: cut from the camera's event ranges on
// its acquisition thread and queued for a consumer that waits with a time-out,
// so that a Python loop can look at Ctrl-C and at the camera between waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane::python {

class BatchQueue {
  public:
    enum class Mode { Count, Time };

    // Batches of `size` events (Count) or of the events in [t, t + size)
    // microseconds from a batch's first event t (Time); a gap in the data
    // makes no empty batches. When the consumer falls `capacity` batches
    // behind, the oldest batch is dropped and counted.
    BatchQueue(Mode mode, uint64_t size, size_t capacity);

    // On the acquisition thread.
    void add(const Event2D* begin, const Event2D* end);
    void addTrigger(const EventTriggerIn& trigger);

    // Waits up to `timeout` for a batch; true with it moved into `batch`.
    bool take(std::vector<Event2D>& batch, std::chrono::milliseconds timeout);
    // The batch still being filled, e.g. once the camera stopped.
    std::vector<Event2D> takePartial();
    // The trigger edges received since the last call.
    std::vector<EventTriggerIn> takeTriggers();
    uint64_t dropped() const;

  private:
    void handOver();  // caller holds mutex_

    const Mode mode_;
    const uint64_t size_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Event2D> filling_;
    std::deque<std::vector<Event2D>> batches_;
    std::vector<EventTriggerIn> triggers_;
    uint64_t dropped_ = 0;
};

}  // namespace orvane::python
