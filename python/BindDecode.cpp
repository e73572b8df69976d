// orvane.decode(): a bytes-like EVT 3.0 stream to event and trigger arrays,
// decoded without the GIL straight into the memory the event array keeps.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "Bindings.h"
#include "Docs.h"
#include "EventArrays.h"
#include "orvane/RawFileReader.h"
#include "orvane/hal/DecoderFactory.h"

namespace orvane::python {

namespace {

// A bytes-like object's memory, held for the scope.
class BufferView {
  public:
    explicit BufferView(const py::object& data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const uint8_t* bytes() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

  private:
    Py_buffer view_;
};

// Feeds `size` bytes to `decoder` in reader-sized pieces, as a file would come.
void decodeInPieces(Decoder& decoder, const uint8_t* bytes, size_t size) {
    std::vector<uint8_t> piece;
    for (size_t at = 0; at < size; at += RawFileReader::kChunkSize) {
        piece.assign(bytes + at, bytes + std::min(size, at + RawFileReader::kChunkSize));
        decoder.decode(piece);
    }
}

std::unique_ptr<Decoder> makeDecoder() {
    return DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
}

py::tuple decode(const py::object& data) {
    const BufferView view(data);
    // Sensor streams carry about one event per byte; more grows the buffer.
    auto events = std::make_unique<EventBuffer>(view.size());
    std::vector<EventTriggerIn> triggers;
    {
        py::gil_scoped_release nogil;
        auto decoder = makeDecoder();
        EventBuffer& into = *events;
        decoder->setEventsStreamHandleCallback(
            [&into](const Event2D* begin, const Event2D* end) { into.append(begin, end); });
        decoder->setTriggerInCallback([&](EventTriggerIn t) { triggers.push_back(t); });
        decodeInPieces(*decoder, view.bytes(), view.size());
    }
    return py::make_tuple(eventArray(std::move(events)), triggerArray(std::move(triggers)));
}

// The C++ decoder on the same bytes with a consumer that only counts, timed
// without Python: the baseline of decode() in orvane.bench.
py::tuple decodeInCpp(const py::object& data) {
    const BufferView view(data);
    py::gil_scoped_release nogil;
    auto decoder = makeDecoder();
    uint64_t events = 0;
    decoder->setEventsStreamHandleCallback(
        [&events](const Event2D* begin, const Event2D* end) { events += uint64_t(end - begin); });
    const auto start = std::chrono::steady_clock::now();
    decodeInPieces(*decoder, view.bytes(), view.size());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    py::gil_scoped_acquire gil;
    return py::make_tuple(events, seconds);
}

}  // namespace

void bindDecode(py::module_& m) {
    m.def("decode", &decode, py::arg("data"), doc::kDecode);
    m.def("_decode_cpp", &decodeInCpp, py::arg("data"),
          "The C++ decoder over the same bytes into a counting consumer, timed: (events, "
          "seconds). The baseline of orvane.bench.");
}

}  // namespace orvane::python
