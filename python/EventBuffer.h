// A growing array of events in memory of its own mapping, for results whose
// size is unknown until decoded: growth moves pages instead of copying them,
// and huge pages spare the first touch of every 4 KiB page (a page fault each,
// which dominated decoding into a vector).
#pragma once

#include <cstddef>

#include "orvane/Event2D.h"

namespace orvane::python {

class EventBuffer {
  public:
    // Reserves room for `expected` events; more may be appended.
    explicit EventBuffer(size_t expected);
    ~EventBuffer();
    EventBuffer(const EventBuffer&) = delete;
    EventBuffer& operator=(const EventBuffer&) = delete;

    void append(const Event2D* begin, const Event2D* end);
    // Returns the unused reserve to the system; the events stay where they are.
    void shrinkToFit();

    Event2D* data() { return events_; }
    size_t size() const { return size_; }

  private:
    void grow(size_t atLeast);

    Event2D* events_ = nullptr;
    size_t size_ = 0;
    size_t bytes_ = 0;  // of the mapping
};

}  // namespace orvane::python
