// Live batches for Python loops that stay responsive to Ctrl-C and end when
// the camera stops, whatever the camera's own batch waiting does.

#include "BatchIterator.h"

#include <chrono>

#include "Docs.h"
#include "EventArrays.h"

namespace orvane::python {

namespace {
// Short enough for Ctrl-C to feel immediate, long enough to cost nothing.
constexpr std::chrono::milliseconds kWait{50};
}  // namespace

BatchIterator::BatchIterator(BatchSource source, BatchQueue::Mode mode, uint64_t size,
                             size_t capacity, std::optional<double> timeout)
    : source_(std::move(source)),
      queue_(std::make_shared<BatchQueue>(mode, size, capacity)),
      timeout_(timeout) {
    eventsId_ = source_.addEvents(
        [queue = queue_](const Event2D* begin, const Event2D* end) { queue->add(begin, end); });
    triggersId_ = source_.addTriggers(
        [queue = queue_](EventTriggerIn trigger) { queue->addTrigger(trigger); });
}

BatchIterator::~BatchIterator() {
    finish();
}

py::array BatchIterator::next() {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    std::vector<Event2D> batch;
    while (!finished_) {
        bool got, live;
        {
            py::gil_scoped_release nogil;
            // Whether it runs is asked first: an empty queue after that means
            // nothing more can come.
            live = source_.live();
            got = queue_->take(batch, kWait);
        }
        if (got) {
            return eventArray(std::move(batch));
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
        if (!live) {
            finish();
            batch = queue_->takePartial();
            if (!batch.empty()) {
                return eventArray(std::move(batch));
            }
        } else if (timeout_ && duration<double>(steady_clock::now() - start).count() > *timeout_) {
            PyErr_SetString(PyExc_TimeoutError, "batches(): no batch within the timeout");
            throw py::error_already_set();
        }
    }
    throw py::stop_iteration();
}

py::array BatchIterator::triggers() {
    return triggerArray(queue_->takeTriggers());
}

void BatchIterator::close() {
    py::gil_scoped_release nogil;
    finish();
}

void BatchIterator::finish() {
    if (!finished_.exchange(true)) {
        source_.removeEvents(eventsId_);
        source_.removeTriggers(triggersId_);
    }
}

std::unique_ptr<BatchIterator> BatchIterator::make(BatchSource source,
                                                   std::optional<uint64_t> timeUs,
                                                   std::optional<uint64_t> count, size_t capacity,
                                                   std::optional<double> timeout) {
    if (timeUs && count) {
        throw py::value_error("batches(): give time_us or count, not both");
    }
    const uint64_t size = count ? *count : timeUs.value_or(10'000);
    if (size == 0) {
        throw py::value_error("batches(): the batch size must be at least 1");
    }
    return std::make_unique<BatchIterator>(std::move(source),
                                           count ? BatchQueue::Mode::Count : BatchQueue::Mode::Time,
                                           size, capacity, timeout);
}

void BatchIterator::bind(py::module_& m) {
    py::class_<BatchIterator>(m, "BatchIterator", doc::kBatchIterator)
        .def("__iter__", [](BatchIterator& b) -> BatchIterator& { return b; })
        .def("__next__", &BatchIterator::next)
        .def("triggers", &BatchIterator::triggers, doc::kTriggers)
        .def(
            "close", [](BatchIterator& b) { b.close(); }, doc::kBatchClose)
        .def("__enter__", [](BatchIterator& b) -> BatchIterator& { return b; })
        .def("__exit__", [](BatchIterator& b, py::args) { b.close(); })
        .def_property_readonly("dropped", &BatchIterator::dropped, doc::kDropped);
}

}  // namespace orvane::python
