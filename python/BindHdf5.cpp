// HDF5 event files from Python: read_h5 and write_h5 over the library's
// reader and writer, the GIL released while they work.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <optional>
#include <tuple>

#include "Bindings.h"
#include "Errors.h"
#include "EventArrays.h"
#include "orvane/Hdf5EventReader.h"
#include "orvane/Hdf5EventWriter.h"

namespace orvane::python {

namespace {

constexpr const char* kReadH5 =
    "The events of an HDF5 event file (events/x, y, p, t with t_offset, as\n"
    "`orvane convert rec.raw rec.h5` writes) as an EVENT_DTYPE array, times on\n"
    "the sensor's clock. With start_us and/or end_us, only those with times in\n"
    "[start_us, end_us), found through the file's ms_to_idx. FileNotFoundError\n"
    "for a missing file, ValueError for one of another layout or with events\n"
    "outside its geometry or out of time order.";
constexpr const char* kWriteH5 =
    "Writes an EVENT_DTYPE array (in time order, inside width x height) as an\n"
    "HDF5 event file, t_offset being the first event's time; compression\n"
    "'deflate' or 'none'. ValueError for events out of order or outside the\n"
    "geometry, TypeError for an array of another dtype.";

py::array readH5(const std::string& path, std::optional<uint64_t> start,
                 std::optional<uint64_t> end) {
    requireReadableFile(path);
    std::vector<Event2D> events;
    {
        py::gil_scoped_release nogil;
        Hdf5EventReader reader(path);
        uint64_t first = 0, last = reader.eventCount();
        if (start || end) {
            std::tie(first, last) = reader.eventRange(
                start.value_or(0), end.value_or(std::numeric_limits<uint64_t>::max()));
        }
        reader.readEvents(first, last - first, events);
    }
    return eventArray(std::move(events));
}

void writeH5(const std::string& path, const py::array& given, int width, int height,
             const std::string& compression) {
    requirePlainPath(path);
    if (!given.dtype().equal(eventDtype()) || given.ndim() != 1) {
        throw py::type_error("events must be a 1-D array of orvane.EVENT_DTYPE");
    }
    if (width < 1 || width > 2048 || height < 1 || height > 2048) {
        throw py::value_error("width and height must be within 1..2048");
    }
    if (compression != "deflate" && compression != "none") {
        throw py::value_error("compression must be 'deflate' or 'none'");
    }
    const py::array events = py::module_::import("numpy").attr("ascontiguousarray")(given);
    const auto* begin = static_cast<const Event2D*>(events.data());
    const auto* end = begin + events.size();
    for (const Event2D* e = begin; e < end; ++e) {
        const std::string where = "events[" + std::to_string(e - begin) + "]";
        if (e->x >= width || e->y >= height) {
            throw py::value_error(where + " at (" + std::to_string(e->x) + ", " +
                                  std::to_string(e->y) + ") lies outside " + std::to_string(width) +
                                  "x" + std::to_string(height));
        }
        if (e > begin && e->timestamp < e[-1].timestamp) {
            throw py::value_error(where + ": the time goes back");
        }
    }
    Hdf5EventWriter::Options options;
    options.compression = compression == "none" ? Hdf5EventWriter::Compression::None
                                                : Hdf5EventWriter::Compression::Deflate;
    py::gil_scoped_release nogil;
    Hdf5EventWriter writer(path, static_cast<uint16_t>(width), static_cast<uint16_t>(height), {},
                           options);
    writer.addEvents(begin, end);
    writer.finish();
}

}  // namespace

void bindHdf5(py::module_& m) {
    m.def("read_h5", &readH5, py::arg("path"), py::arg("start_us") = py::none(),
          py::arg("end_us") = py::none(), kReadH5);
    m.def("write_h5", &writeH5, py::arg("path"), py::arg("events"), py::arg("width"),
          py::arg("height"), py::arg("compression") = "deflate", kWriteH5);
}

}  // namespace orvane::python
