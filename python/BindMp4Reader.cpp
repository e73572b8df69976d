// MP4 videos from Python: Mp4Reader over Mp4FileReader, pictures as numpy
// arrays. The GIL is released while FFmpeg decodes.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "LogErrors.h"
#include "orvane/Mp4FileReader.h"

namespace orvane::python {

namespace {

class Mp4Reader {
  public:
    Mp4Reader(std::string path, bool sensorTime) : path_(std::move(path)), reader_(path_) {
        requireReadableFile(path_);
        LogErrors errors;
        bool loaded;
        {
            py::gil_scoped_release nogil;
            loaded = reader_.loadFile();
        }
        if (!loaded) {
            throw py::value_error(errors.message("no video stream FFmpeg can read in " + path_));
        }
        if (sensorTime && !reader_.useSensorTimes(true)) {
            throw py::value_error(path_ +
                                  " holds no sensor time (fusion recordings of events and "
                                  "pictures do)");
        }
        reader_.getTimeStamps(timestamps_);
    }

    // (timestamp in us, HxWx3 BGR array): a copy, as the reader reuses its buffer.
    py::object next(int index) {
        py::array_t<uint8_t> picture({int(reader_.getHeight()), int(reader_.getWidth()), 3});
        uint8_t* into = picture.mutable_data();
        ApsFrame frame;
        bool got;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            got = index < 0 ? reader_.getNextFrame(frame) : reader_.getNFrame(index, frame);
            if (got && frame.data != nullptr) {
                std::memcpy(into, frame.data, std::min<size_t>(frame.dataSize, picture.nbytes()));
            }
        }
        if (!got) {
            return py::none();
        }
        return py::make_tuple(frame.timestamp, picture);
    }

    std::vector<uint64_t> timestamps_;
    std::string path_;
    Mp4FileReader reader_;
    std::mutex mutex_;
};

}  // namespace

void bindMp4Reader(py::module_& m) {
    py::class_<Mp4Reader>(m, "Mp4Reader", doc::kMp4Reader)
        .def(py::init<std::string, bool>(), py::arg("path"), py::kw_only(),
             py::arg("sensor_time") = false)
        .def_property_readonly(
            "sensor_time_offset",
            [](Mp4Reader& r) -> std::optional<uint64_t> {
                uint64_t offset = 0;
                if (!r.reader_.getSensorTimeOffset(offset)) {
                    return std::nullopt;
                }
                return offset;
            },
            doc::kSensorTimeOffset)
        .def_property_readonly(
            "width", [](Mp4Reader& r) { return r.reader_.getWidth(); }, doc::kWidth)
        .def_property_readonly(
            "height", [](Mp4Reader& r) { return r.reader_.getHeight(); }, doc::kHeight)
        .def_property_readonly(
            "timestamps",
            [](Mp4Reader& r) {
                return py::array_t<uint64_t>(r.timestamps_.size(), r.timestamps_.data());
            },
            doc::kTimestamps)
        .def("__len__", [](Mp4Reader& r) { return r.timestamps_.size(); })
        .def("__iter__", [](Mp4Reader& r) -> Mp4Reader& { return r; })
        .def("__next__",
             [](Mp4Reader& r) {
                 py::object picture = r.next(-1);
                 if (picture.is_none()) {
                     throw py::stop_iteration();
                 }
                 return picture;
             })
        .def(
            "frame",
            [](Mp4Reader& r, int n) {
                if (n < 0 || size_t(n) >= r.timestamps_.size()) {
                    throw py::index_error("frame " + std::to_string(n) + " of " +
                                          std::to_string(r.timestamps_.size()));
                }
                py::object picture = r.next(n);
                if (picture.is_none()) {
                    throw std::runtime_error("Seek frame failed!");
                }
                return picture;
            },
            py::arg("n"), doc::kFrame);
}

}  // namespace orvane::python
