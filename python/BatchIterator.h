// The Python iterator over a live camera's batches, for event and fusion
// cameras alike: registered as the camera's callbacks on creation, removed when
// the loop ends or the iterator goes.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "BatchQueue.h"
#include "orvane/Callbacks.h"

namespace orvane::python {

namespace py = pybind11;

// What the iterator needs of a camera, bound by the camera's wrapper.
struct BatchSource {
    std::function<uint32_t(EventsStreamHandleCallback)> addEvents;
    std::function<void(uint32_t)> removeEvents;
    std::function<uint32_t(TriggerInCallback)> addTriggers;
    std::function<void(uint32_t)> removeTriggers;
    std::function<bool()> live;  // streaming and connected
};

class BatchIterator {
  public:
    BatchIterator(BatchSource source, BatchQueue::Mode mode, uint64_t size, size_t capacity,
                  std::optional<double> timeout);
    ~BatchIterator();
    BatchIterator(const BatchIterator&) = delete;
    BatchIterator& operator=(const BatchIterator&) = delete;

    // The next batch; waits without the GIL, sees Ctrl-C between short waits,
    // and ends (StopIteration) with the last partial batch once the camera
    // stops or goes.
    py::array next();
    py::array triggers();
    uint64_t dropped() const { return queue_->dropped(); }
    // Stops filling: the camera's callbacks are removed, later next() ends the
    // loop. The iterator does the same when it goes.
    void close();

    // Checks the arguments of batches(time_us=..., count=...) and makes one.
    static std::unique_ptr<BatchIterator> make(BatchSource source, std::optional<uint64_t> timeUs,
                                               std::optional<uint64_t> count, size_t capacity,
                                               std::optional<double> timeout);
    static void bind(py::module_& m);

  private:
    void finish();

    BatchSource source_;
    std::shared_ptr<BatchQueue> queue_;
    std::optional<double> timeout_;
    uint32_t eventsId_ = 0, triggersId_ = 0;
    std::atomic<bool> finished_{false};  // close() may come from another thread
};

}  // namespace orvane::python
