// Raw recordings from Python: RawReader over RawFileReader. The GIL is released
// while the library reads, decodes or writes; each reader serialises its callers.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>

#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "EventArrays.h"
#include "LogErrors.h"
#include "orvane/RawFileHeader.h"
#include "orvane/RawFileReader.h"

namespace orvane::python {

namespace {

// Header text is bytes from outside: what is not UTF-8 shows as \xNN escapes.
py::str headerText(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                          "backslashreplace");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

// The '%' lines of a raw file as {key: value}: "% geometry 1280x720" gives
// {"geometry": "1280x720"}; a repeated key keeps its last value.
py::dict readHeader(const std::string& path) {
    py::dict header;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in.peek() == '%' && std::getline(in, line)) {
        const size_t key = line.find_first_not_of(' ', 1);
        if (key == std::string::npos) {
            continue;
        }
        const size_t keyEnd = line.find(' ', key);
        const std::string name = line.substr(key, keyEnd - key);
        if (name == "end") {
            break;
        }
        header[headerText(name)] =
            headerText(keyEnd == std::string::npos ? "" : line.substr(keyEnd + 1));
    }
    return header;
}

// Progress of long work for a Python callable (None or a null handle: none),
// at most about 200 calls per piece of work; a Ctrl-C or an exception in the
// callable ends the work. The handle is borrowed: the caller keeps the callable
// alive, so no reference count changes hands without the GIL.
RawFileReader::ProgressCallback progressFor(py::handle progress) {
    return [progress, reported = uint64_t(0)](uint64_t done, uint64_t total) mutable {
        if (done != total && done < reported + total / 200) {
            return;
        }
        reported = done;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
        if (progress && !progress.is_none()) {
            progress(done, total);
        }
    };
}

// Reports a reader's long work to `progress` for the life of the scope.
class ProgressScope {
  public:
    ProgressScope(RawFileReader& reader, py::handle progress) : reader_(reader) {
        reader_.setProgressCallback(progressFor(progress));
    }
    ~ProgressScope() { reader_.setProgressCallback({}); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

  private:
    RawFileReader& reader_;
};

class RawReader {
  public:
    explicit RawReader(std::string path) : path_(std::move(path)) {
        requireReadableFile(path_);
        reader_ = std::make_unique<RawFileReader>(path_);
    }

    void load(const py::object& progress) {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        loadLocked(progress);
    }

    py::dict header() const { return readHeader(path_); }

    // Properties of the loaded recording.
    template <class F>
    auto query(F&& f) {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        return f(loaded());
    }
    uint64_t startTime() {
        return query([](RawFileReader& r) {
            uint64_t t = 0;
            r.getStartTimeStamp(t);
            return t;
        });
    }
    uint64_t endTime() {
        return query([](RawFileReader& r) {
            uint64_t t = 0;
            r.getEndTimeStamp(t);
            return t;
        });
    }
    uint64_t eventCount() {
        return query([](RawFileReader& r) {
            uint64_t n = 0;
            r.getMaxEvents(n);
            return n;
        });
    }

    void seekTime(uint64_t t) {
        if (!query([t](RawFileReader& r) { return r.seekTime(t); })) {
            throw py::value_error("seek_time(" + std::to_string(t) + "): no such time in " + path_ +
                                  " (it spans " + std::to_string(startTime()) + " to " +
                                  std::to_string(endTime()) + " us)");
        }
    }
    void seekEvent(uint64_t n) {
        if (!query([n](RawFileReader& r) { return r.seekNEvents(n); })) {
            throw py::value_error("seek_event(" + std::to_string(n) + "): " + path_ + " holds " +
                                  std::to_string(eventCount()) + " events");
        }
    }

    py::array readTime(uint64_t us) {
        if (us == 0) {
            throw py::value_error("read_time: the duration must be at least 1 us");
        }
        return take([us](RawFileReader& r) { return r.getNTimeEvents(us); });
    }
    py::array readEvents(uint64_t n) {
        return take([n](RawFileReader& r) { return r.getNEvents(n); });
    }

    // The time index as (t, position, events) records, in time order.
    py::array bookmarks() {
        struct Entry {
            uint64_t t, position, events;
        };
        std::vector<Entry> entries;
        query([&](RawFileReader& r) {
            entries.reserve(r.getBookmarks().size());
            for (const auto& [t, mark] : r.getBookmarks()) {
                entries.push_back({t, mark.position, mark.eventIndex});
            }
        });
        py::dict layout;
        layout["names"] = std::vector<std::string>{"t", "position", "events"};
        layout["formats"] = std::vector<std::string>{"<u8", "<u8", "<u8"};
        py::array out(py::dtype::from_args(layout),
                      std::vector<py::ssize_t>{static_cast<py::ssize_t>(entries.size())});
        std::memcpy(out.mutable_data(), entries.data(), entries.size() * sizeof(Entry));
        return out;
    }

    // Read apart from the event position, which stays where it is.
    py::array triggers(uint64_t start, uint64_t end) {
        std::vector<EventTriggerIn> edges;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            edges = loaded().getTriggerEvents(start, end);
        }
        return triggerArray(std::move(edges));
    }

    void cut(uint64_t start, uint64_t end, const std::string& out, const py::object& progress) {
        requirePlainPath(out);
        write(progress, "cut",
              [&](RawFileReader& r) { return r.extractEventData(start, end, out); });
    }
    void exportVideo(uint64_t start, uint64_t end, const std::string& out,
                     const py::object& progress) {
        requirePlainPath(out);
        // FFmpeg picks the container by the name's extension, and the library
        // could only say that the converter failed.
        if (out.size() < 4 || out.compare(out.size() - 4, 4, ".mp4") != 0) {
            throw py::value_error("export_video: '" + out + "': the video's name must end in .mp4");
        }
        write(progress, "export_video",
              [&](RawFileReader& r) { return r.exportEventDataToVideo(start, end, out); });
    }

    const std::string& path() const { return path_; }

    // Lets the file go; every later query raises.
    void close() {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        reader_.reset();
        loaded_ = false;
    }

    std::string repr() {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string name = "<RawReader '" + path_ + "'";
        if (!reader_) {
            return name + " (closed)>";
        }
        if (!loaded_) {
            return name + " (not loaded)>";
        }
        uint64_t events = 0, start = 0, end = 0;
        reader_->getMaxEvents(events);
        reader_->getStartTimeStamp(start);
        reader_->getEndTimeStamp(end);
        char text[160];
        std::snprintf(text, sizeof text, " %ux%u, %llu events, %.6f s to %.6f s>",
                      reader_->getWidth(), reader_->getHeight(),
                      static_cast<unsigned long long>(events), start / 1e6, end / 1e6);
        return name + text;
    }

  private:
    RawFileReader& loaded() {
        if (!loaded_) {
            loadLocked(py::handle());
        }
        return *reader_;
    }

    void loadLocked(py::handle progress) {
        if (!reader_) {
            throw py::value_error("RawReader of " + path_ + " is closed");
        }
        LogErrors errors;
        {
            ProgressScope reporting(*reader_, progress);
            loaded_ = reader_->loadFile();
        }
        if (loaded_) {
            return;
        }
        requireReadableFile(path_);
        std::ifstream in(path_, std::ios::binary);
        const RawFileHeader::Status status = RawFileHeader::read(in, path_).status;
        if (status != RawFileHeader::Status::Ok) {
            throw py::value_error(RawFileHeader::refusal(status, path_));
        }
        throw py::value_error(errors.message("cannot load " + path_));
    }

    template <class F>
    py::array take(F&& read) {
        auto loan = std::make_unique<EventStorage::Loan>();
        loan->events = storage_->take();
        loan->home = storage_;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            // The reader refills its result vector on the next query: the array
            // takes the storage, and the reader gets storage an earlier array
            // gave back, or fresh storage of the same capacity so that its next
            // query need not grow it step by step.
            const std::shared_ptr<std::vector<Event2D>> result = read(loaded());
            loan->events->swap(*result);
            result->reserve(loan->events->capacity());
        }
        return eventArray(std::move(loan));
    }

    template <class F>
    void write(py::handle progress, const char* what, F&& work) {
        bool done = false;
        std::string why;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            RawFileReader& reader = loaded();
            LogErrors errors;
            {
                ProgressScope reporting(reader, progress);
                done = work(reader);
            }
            why = errors.message("failed");
        }
        if (!done) {
            throw py::value_error(std::string(what) + ": " + why);
        }
    }

    std::string path_;
    std::unique_ptr<RawFileReader> reader_;
    std::shared_ptr<EventStorage> storage_ = std::make_shared<EventStorage>();
    bool loaded_ = false;
    std::mutex mutex_;
};

// Time slices from the read position to the end of the recording.
struct SliceIterator {
    std::shared_ptr<RawReader> reader;
    uint64_t us;
    bool atEnd() {
        return reader->query([](RawFileReader& r) { return r.reachedEndOfEvents(); });
    }
};

// The C++ reader's own loop over a recording in time slices, timed without
// Python: the baseline of orvane.bench.
py::tuple readAllInCpp(const std::string& path, uint64_t sliceUs) {
    requireReadableFile(path);
    py::gil_scoped_release nogil;
    RawFileReader reader(path);
    if (!reader.loadFile()) {
        throw py::value_error("cannot load " + path);
    }
    const auto start = std::chrono::steady_clock::now();
    uint64_t events = 0, sumT = 0;
    while (!reader.reachedEndOfEvents()) {
        const auto slice = reader.getNTimeEvents(sliceUs);
        events += slice->size();
        if (!slice->empty()) {
            sumT += slice->back().timestamp;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    py::gil_scoped_acquire gil;
    return py::make_tuple(events, seconds, sumT);
}

}  // namespace

void bindReaders(py::module_& m) {
    // A property read from the loaded reader.
    auto property = [](auto get) {
        return [get](RawReader& r) { return r.query([&](RawFileReader& f) { return get(f); }); };
    };
    py::class_<SliceIterator>(m, "SliceIterator", doc::kSliceIterator)
        .def("__iter__", [](SliceIterator& s) -> SliceIterator& { return s; })
        .def("__next__", [](SliceIterator& s) {
            if (s.atEnd()) {
                throw py::stop_iteration();
            }
            return s.reader->readTime(s.us);
        });

    py::class_<RawReader, std::shared_ptr<RawReader>>(m, "RawReader", doc::kRawReader)
        .def(py::init<std::string>(), py::arg("path"))
        .def("load", &RawReader::load, py::arg("progress") = py::none(), doc::kLoad)
        .def_property_readonly("path", &RawReader::path, doc::kPath)
        .def("close", &RawReader::close, doc::kReaderClose)
        .def("__enter__", [](std::shared_ptr<RawReader> r) { return r; })
        .def("__exit__", [](RawReader& r, py::args) { r.close(); })
        .def("__repr__", &RawReader::repr)
        .def_property_readonly("header", &RawReader::header, doc::kHeader)
        .def_property_readonly("width", property([](RawFileReader& f) { return f.getWidth(); }),
                               doc::kWidth)
        .def_property_readonly("height", property([](RawFileReader& f) { return f.getHeight(); }),
                               doc::kHeight)
        .def_property_readonly("start_time", &RawReader::startTime, doc::kStartTime)
        .def_property_readonly("end_time", &RawReader::endTime, doc::kEndTime)
        .def_property_readonly(
            "duration", [](RawReader& r) { return r.endTime() - r.startTime(); }, doc::kDuration)
        .def_property_readonly("event_count", &RawReader::eventCount, doc::kEventCount)
        .def_property_readonly(
            "time", property([](RawFileReader& f) { return f.getCurrentPosTimeStamp(); }),
            doc::kTime)
        .def_property_readonly("event_number",
                               property([](RawFileReader& f) { return f.getCurrentPosEventNum(); }),
                               doc::kEventNumber)
        .def_property_readonly("at_end",
                               property([](RawFileReader& f) { return f.reachedEndOfEvents(); }),
                               doc::kAtEnd)
        .def("seek_time", &RawReader::seekTime, py::arg("t"), doc::kSeekTime)
        .def("seek_event", &RawReader::seekEvent, py::arg("n"), doc::kSeekEvent)
        .def("read_time", &RawReader::readTime, py::arg("us"), doc::kReadTime)
        .def("read_events", &RawReader::readEvents, py::arg("n"), doc::kReadEvents)
        .def("bookmarks", &RawReader::bookmarks, doc::kBookmarks)
        .def("triggers", &RawReader::triggers, py::arg("start") = 0,
             py::arg("end") = std::numeric_limits<uint64_t>::max(), doc::kRecordedTriggers)
        .def(
            "slices",
            [](std::shared_ptr<RawReader> r, uint64_t us) {
                if (us == 0) {
                    throw py::value_error("slices: the duration must be at least 1 us");
                }
                return SliceIterator{std::move(r), us};
            },
            py::arg("us"), doc::kSlices)
        .def("cut", &RawReader::cut, py::arg("start"), py::arg("end"), py::arg("path"),
             py::arg("progress") = py::none(), doc::kCut)
        .def("export_video", &RawReader::exportVideo, py::arg("start"), py::arg("end"),
             py::arg("path"), py::arg("progress") = py::none(), doc::kExportVideo);

    m.def("_read_all_cpp", &readAllInCpp, py::arg("path"), py::arg("slice_us"),
          "The C++ reader's own slice loop, timed: (events, seconds, sum of last times). "
          "The baseline of orvane.bench.");
}

}  // namespace orvane::python
