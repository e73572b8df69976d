// The memory of the event arrays a RawReader hands out, taken back when numpy
// lets go of an array: a slice loop then reuses warm memory instead of asking
// malloc for fresh pages every slice, which a process with an eager trim
// threshold (Dask's workers) gets from the system each time, at a page fault
// per 4 KiB.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "orvane/Event2D.h"

namespace orvane::python {

class EventStorage {
  public:
    using Events = std::vector<Event2D>;

    // Vectors kept for reuse at most; more come back only while arrays pile up.
    static constexpr size_t kKept = 4;

    // An empty vector, with the capacity of an earlier one where there is one.
    std::unique_ptr<Events> take();
    void giveBack(std::unique_ptr<Events> events);

    // Events on loan to an array: back to `home` when the array goes, or freed
    // if the storage (its reader) went first.
    struct Loan {
        std::unique_ptr<Events> events;
        std::weak_ptr<EventStorage> home;
        ~Loan();
    };

  private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Events>> spare_;
};

}  // namespace orvane::python
