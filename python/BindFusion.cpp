// Fusion cameras from Python: the event side as on an event camera (batches,
// tools, recording), plus the frame sensor's pictures as HxWx3 BGR arrays and
// each picture's fusion image (per-pixel event counts) as an array.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "BatchIterator.h"
#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "Tool.h"
#include "orvane/FusionCamera.h"
#include "orvane/FusionCameraPrivate.h"

namespace orvane::python {

namespace {

STREAM_TYPE streamOf(const std::string& name) {
    if (name == "events") {
        return STREAM_DVS;
    }
    if (name == "frames") {
        return STREAM_APS;
    }
    if (name == "both") {
        return STREAM_BOTH;
    }
    throw py::value_error("streams='" + name + "' is not 'events', 'frames' or 'both'");
}

// Pictures of the frame thread, copied out of the camera's buffer during its
// callback and queued for a Python loop; the oldest is dropped and counted
// when the loop falls `capacity` pictures behind.
class FrameQueue {
  public:
    struct Picture {
        uint64_t timestamp = 0, startTimestamp = 0;
        std::vector<uint8_t> bgr;
    };
    explicit FrameQueue(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

    void add(const ApsFrame& frame) {
        Picture picture{frame.timestamp, frame.startTimestamp,
                        std::vector<uint8_t>(frame.data, frame.data + frame.dataSize)};
        std::lock_guard<std::mutex> lock(mutex_);
        if (pictures_.size() >= capacity_) {
            pictures_.pop_front();
            ++dropped_;
        }
        pictures_.push_back(std::move(picture));
        ready_.notify_one();
    }
    bool take(Picture& picture, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return !pictures_.empty(); })) {
            return false;
        }
        picture = std::move(pictures_.front());
        pictures_.pop_front();
        return true;
    }
    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

  private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Picture> pictures_;
    uint64_t dropped_ = 0;
};

// A fusion camera's pictures while it streams frames: (timestamp, picture).
class FrameIterator {
  public:
    FrameIterator(std::shared_ptr<FusionCamera> camera, std::function<bool()> live, size_t capacity,
                  std::optional<double> timeout)
        : camera_(std::move(camera)),
          live_(std::move(live)),
          queue_(std::make_shared<FrameQueue>(capacity)),
          timeout_(timeout) {
        id_ = camera_->addApsFrameCallback(
            [queue = queue_](const ApsFrame& frame) { queue->add(frame); });
    }
    ~FrameIterator() { finish(); }
    FrameIterator(const FrameIterator&) = delete;
    FrameIterator& operator=(const FrameIterator&) = delete;

    py::tuple next() {
        using namespace std::chrono;
        const auto start = steady_clock::now();
        FrameQueue::Picture picture;
        while (!finished_) {
            bool got, live;
            {
                py::gil_scoped_release nogil;
                live = live_();
                got = queue_->take(picture, milliseconds(50));
            }
            if (got) {
                const py::ssize_t h = camera_->getHeight(STREAM_APS),
                                  w = camera_->getWidth(STREAM_APS);
                if (picture.bgr.size() != size_t(h * w * 3)) {
                    throw std::runtime_error("frames(): a picture of " +
                                             std::to_string(picture.bgr.size()) +
                                             " bytes does not fit the frame size");
                }
                auto owner = std::make_unique<std::vector<uint8_t>>(std::move(picture.bgr));
                uint8_t* data = owner->data();
                py::capsule base(owner.get(), [](void* p) {
                    std::unique_ptr<std::vector<uint8_t>>(static_cast<std::vector<uint8_t>*>(p));
                });
                owner.release();
                return py::make_tuple(picture.timestamp,
                                      py::array_t<uint8_t>({h, w, py::ssize_t(3)}, data, base));
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (!live) {
                finish();
            } else if (timeout_ &&
                       duration<double>(steady_clock::now() - start).count() > *timeout_) {
                PyErr_SetString(PyExc_TimeoutError, "frames(): no picture within the timeout");
                throw py::error_already_set();
            }
        }
        throw py::stop_iteration();
    }
    uint64_t dropped() const { return queue_->dropped(); }

  private:
    void finish() {
        if (!finished_) {
            finished_ = true;
            camera_->removeApsFrameCallback(id_);
        }
    }

    std::shared_ptr<FusionCamera> camera_;
    std::function<bool()> live_;
    std::shared_ptr<FrameQueue> queue_;
    std::optional<double> timeout_;
    uint32_t id_ = 0;
    bool finished_ = false;
};

class Fusion {
  public:
    explicit Fusion(std::shared_ptr<FusionCamera> camera) : camera_(std::move(camera)) {}

    std::string serial() { return camera_->getDvsDesc().serial; }
    std::string product() { return camera_->getDvsDesc().productName; }
    uint16_t width(STREAM_TYPE stream) { return camera_->getWidth(stream); }
    uint16_t height(STREAM_TYPE stream) { return camera_->getHeight(stream); }
    bool running() const { return *running_; }
    bool connected() { return camera_->isConnected(); }

    void start(const std::string& streams) {
        const STREAM_TYPE type = streamOf(streams);
        callWithoutGil([&] { return camera_->start(type); }, "start");
        *running_ = true;
    }
    void stop() {
        *running_ = false;
        callWithoutGil([&] { return camera_->stop(STREAM_BOTH); });
    }
    void record(const std::string& path, const std::string& streams) {
        requirePlainPath(path);
        const STREAM_TYPE type = streamOf(streams);
        callWithoutGil([&] { return camera_->startRecording(path, type); }, "record");
    }
    void stopRecording(const std::string& streams) {
        const STREAM_TYPE type = streamOf(streams);
        callWithoutGil([&] { return camera_->stopRecording(type); });
    }
    void close() {
        py::gil_scoped_release nogil;
        camera_->stopRecording(STREAM_BOTH);
        *running_ = false;
        camera_->stop(STREAM_BOTH);
    }

    std::unique_ptr<BatchIterator> batches(std::optional<uint64_t> timeUs,
                                           std::optional<uint64_t> count, size_t capacity,
                                           std::optional<double> timeout) {
        std::shared_ptr<FusionCamera> camera = camera_;
        BatchSource source{
            [camera](EventsStreamHandleCallback cb) {
                return camera->addEventsStreamHandleCallback(cb);
            },
            [camera](uint32_t id) { camera->removeEventsStreamHandleCallback(id); },
            [camera](TriggerInCallback cb) { return camera->addTriggerInCallback(cb); },
            [camera](uint32_t id) { camera->removeTriggerInCallback(id); }, live()};
        return BatchIterator::make(std::move(source), timeUs, count, capacity, timeout);
    }
    std::unique_ptr<FrameIterator> frames(size_t capacity, std::optional<double> timeout) {
        return std::make_unique<FrameIterator>(camera_, live(), capacity, timeout);
    }

    // The picture's event counts, (height, width, 2) uint16 (OFF, ON), or None.
    py::object fusionEvents(uint64_t timestamp) {
        std::shared_ptr<std::vector<uint16_t>> image;
        {
            py::gil_scoped_release nogil;
            if (!camera_->getFusionEvents(image, timestamp) || !image) {
                image.reset();
            }
        }
        if (!image) {
            return py::none();
        }
        const py::ssize_t h = height(STREAM_DVS), w = width(STREAM_DVS);
        if (image->size() != size_t(h * w * 2)) {
            throw std::runtime_error("fusion_events(): an image of unexpected size");
        }
        // The array keeps the camera's image until numpy lets go of it.
        auto holder = std::make_unique<std::shared_ptr<std::vector<uint16_t>>>(image);
        py::capsule base(holder.get(), [](void* p) {
            std::unique_ptr<std::shared_ptr<std::vector<uint16_t>>>(
                static_cast<std::shared_ptr<std::vector<uint16_t>>*>(p));
        });
        holder.release();
        return py::array_t<uint16_t>({h, w, py::ssize_t(2)}, image->data(), base);
    }

    CameraFacade& facade() { return *camera_; }

    uint64_t picturesWithoutPulse() {
        auto* camera = dynamic_cast<FusionCameraPrivate*>(camera_.get());
        return camera ? camera->picturesWithoutPulse() : 0;
    }

  private:
    std::function<bool()> live() {
        return [camera = camera_, running = running_] { return *running && camera->isConnected(); };
    }

    std::shared_ptr<FusionCamera> camera_;
    std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

py::object wrapFusion(std::shared_ptr<FusionCamera> camera) {
    return py::cast(Fusion(std::move(camera)));
}

void bindFusion(py::module_& m) {
    py::class_<FrameIterator>(m, "FrameIterator", doc::kFrameIterator)
        .def("__iter__", [](FrameIterator& f) -> FrameIterator& { return f; })
        .def("__next__", &FrameIterator::next)
        .def_property_readonly("dropped", &FrameIterator::dropped, doc::kDropped);

    py::class_<Fusion>(m, "FusionCamera", doc::kFusionCamera)
        .def_property_readonly("serial", &Fusion::serial, doc::kSerial)
        .def_property_readonly("product", &Fusion::product, doc::kFusionProduct)
        .def_property_readonly(
            "width", [](Fusion& f) { return f.width(STREAM_DVS); }, doc::kWidth)
        .def_property_readonly(
            "height", [](Fusion& f) { return f.height(STREAM_DVS); }, doc::kHeight)
        .def_property_readonly(
            "frame_width", [](Fusion& f) { return f.width(STREAM_APS); }, doc::kFrameWidth)
        .def_property_readonly(
            "frame_height", [](Fusion& f) { return f.height(STREAM_APS); }, doc::kFrameHeight)
        .def_property_readonly("running", &Fusion::running, doc::kRunning)
        .def_property_readonly("connected", &Fusion::connected, doc::kConnected)
        .def_property_readonly("pictures_without_pulse", &Fusion::picturesWithoutPulse,
                               doc::kPicturesWithoutPulse)
        .def("start", &Fusion::start, py::arg("streams") = "both", doc::kFusionStart)
        .def("stop", &Fusion::stop, doc::kStop)
        .def("record", &Fusion::record, py::arg("path"), py::arg("streams") = "both",
             doc::kFusionRecord)
        .def("stop_recording", &Fusion::stopRecording, py::arg("streams") = "both",
             doc::kStopRecording)
        .def("close", &Fusion::close, doc::kClose)
        .def(
            "tool", [](Fusion& f, const std::string& name) { return toolOf(f.facade(), name); },
            py::arg("name"), doc::kTool)
        .def(
            "tools", [](Fusion& f) { return toolNames(f.facade()); }, doc::kTools)
        .def("batches", &Fusion::batches, py::kw_only(), py::arg("time_us") = py::none(),
             py::arg("count") = py::none(), py::arg("capacity") = 64,
             py::arg("timeout") = py::none(), doc::kBatches)
        .def("frames", &Fusion::frames, py::kw_only(), py::arg("capacity") = 4,
             py::arg("timeout") = py::none(), doc::kFrames)
        .def("fusion_events", &Fusion::fusionEvents, py::arg("timestamp"), doc::kFusionEvents)
        .def(
            "__enter__", [](Fusion& f) -> Fusion& { return f; }, py::return_value_policy::reference)
        .def("__exit__", [](Fusion& f, py::args) {
            f.close();
            return false;
        });
}

}  // namespace orvane::python
