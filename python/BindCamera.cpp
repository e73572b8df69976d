// Cameras from Python: CameraManager, Camera (a context manager that stops
// streaming and recording on exit), its tools, and batches of live events.
// Long calls (bring-up, start, stop, recording) and waits run without the GIL.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>

#include "BatchIterator.h"
#include "Bindings.h"
#include "Docs.h"
#include "Errors.h"
#include "LogErrors.h"
#include "Tool.h"
#include "orvane/DvsCameraManager.h"
#include "orvane/DvsCameraPrivate.h"

namespace orvane::python {

namespace {

class Camera {
  public:
    explicit Camera(std::shared_ptr<DvsCamera> camera)
        : camera_(std::move(camera)), private_(dynamic_cast<DvsCameraPrivate*>(camera_.get())) {}

    std::string serial() { return camera_->getDvsDesc().serial; }
    std::string product() { return camera_->getDvsDesc().productName; }
    uint16_t width() { return camera_->getWidth(); }
    uint16_t height() { return camera_->getHeight(); }
    bool running() const { return private_ != nullptr && private_->isRunning(); }
    bool recording() const { return private_ != nullptr && private_->isRecording(); }
    bool connected() { return camera_->isConnected(); }
    CameraFacade& facade() { return *camera_; }

    void start() {
        callWithoutGil([&] { return camera_->start(); }, "start");
    }
    void stop() {
        callWithoutGil([&] { return camera_->stop(); });
    }
    void record(const std::string& path) {
        requirePlainPath(path);
        callWithoutGil([&] { return camera_->startRecording(path); }, "record");
    }
    void stopRecording() {
        callWithoutGil([&] { return camera_->stopRecording(); });
    }

    // What leaving a `with` block does, whatever its body did.
    void close() {
        py::gil_scoped_release nogil;
        if (recording()) {
            camera_->stopRecording();
        }
        if (running()) {
            camera_->stop();
        }
    }

    std::unique_ptr<BatchIterator> batches(std::optional<uint64_t> timeUs,
                                           std::optional<uint64_t> count, size_t capacity,
                                           std::optional<double> timeout) {
        std::shared_ptr<DvsCamera> camera = camera_;
        BatchSource source{
            [camera](EventsStreamHandleCallback cb) {
                return camera->addEventsStreamHandleCallback(cb);
            },
            [camera](uint32_t id) { camera->removeEventsStreamHandleCallback(id); },
            [camera](TriggerInCallback cb) { return camera->addTriggerInCallback(cb); },
            [camera](uint32_t id) { camera->removeTriggerInCallback(id); },
            [camera, running = private_] {
                return camera->isConnected() && (running == nullptr || running->isRunning());
            }};
        return BatchIterator::make(std::move(source), timeUs, count, capacity, timeout);
    }

  private:
    std::shared_ptr<DvsCamera> camera_;
    DvsCameraPrivate* private_;
};

class CameraManager {
  public:
    std::vector<CameraDescription> cameras() {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        return manager_.getCameraDescs();
    }

  private:
    // Scans, then opens with `open`; a serial of the other family is refused
    // by name rather than as a failed bring-up.
    template <class Open>
    auto bringUp(const std::string& serial, bool fusion, Open&& open) {
        LogErrors errors;
        std::optional<CameraDescription> known;
        decltype(open()) camera;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            for (const CameraDescription& description : manager_.getCameraDescs()) {
                if (description.serial == serial) {
                    known = description;
                }
            }
            camera = open();
        }
        if (!known) {
            throw py::value_error("no camera with serial '" + serial + "'");
        }
        if (!camera && (known->vendorId == kFusionVendorId) != fusion) {
            throw py::value_error(
                "camera '" + serial + "' is " +
                (fusion ? "an event camera: use open()" : "a fusion camera: use open_fusion()"));
        }
        if (!camera) {
            throw std::runtime_error(errors.message("camera '" + serial + "' did not come up"));
        }
        return camera;
    }

  public:
    Camera open(const std::string& serial) {
        return Camera(bringUp(serial, false, [&] { return manager_.openCamera(serial); }));
    }
    std::shared_ptr<FusionCamera> openFusion(const std::string& serial) {
        return bringUp(serial, true, [&] { return manager_.openFusionCamera(serial); });
    }

  private:
    static constexpr uint16_t kFusionVendorId = 0x2207;
    std::mutex mutex_;  // the manager serves one caller at a time
    DvsCameraManager manager_;
};

}  // namespace

void bindCameras(py::module_& m) {
    py::class_<CameraDescription>(m, "CameraDescription", doc::kCameraDescription)
        .def_readonly("serial", &CameraDescription::serial)
        .def_readonly("product", &CameraDescription::productName)
        .def_readonly("manufacturer", &CameraDescription::manufacturer)
        .def_readonly("vendor_id", &CameraDescription::vendorId)
        .def_readonly("product_id", &CameraDescription::productId)
        .def_readonly("location", &CameraDescription::location)
        .def("__repr__", [](const CameraDescription& d) {
            return "<CameraDescription " + d.productName + " serial='" + d.serial + "'>";
        });

    bindTool(m);
    BatchIterator::bind(m);

    py::class_<Camera>(m, "Camera", doc::kCamera)
        .def_property_readonly("serial", &Camera::serial, doc::kSerial)
        .def_property_readonly("product", &Camera::product, doc::kProduct)
        .def_property_readonly("width", &Camera::width, doc::kWidth)
        .def_property_readonly("height", &Camera::height, doc::kHeight)
        .def_property_readonly("running", &Camera::running, doc::kRunning)
        .def_property_readonly("recording", &Camera::recording, doc::kRecording)
        .def_property_readonly("connected", &Camera::connected, doc::kConnected)
        .def("start", &Camera::start, doc::kStart)
        .def("stop", &Camera::stop, doc::kStop)
        .def("record", &Camera::record, py::arg("path"), doc::kRecord)
        .def("stop_recording", &Camera::stopRecording, doc::kStopRecording)
        .def("close", &Camera::close, doc::kClose)
        .def(
            "tool", [](Camera& c, const std::string& name) { return toolOf(c.facade(), name); },
            py::arg("name"), doc::kTool)
        .def(
            "tools", [](Camera& c) { return toolNames(c.facade()); }, doc::kTools)
        .def("batches", &Camera::batches, py::kw_only(), py::arg("time_us") = py::none(),
             py::arg("count") = py::none(), py::arg("capacity") = 64,
             py::arg("timeout") = py::none(), doc::kBatches)
        .def(
            "__enter__", [](Camera& c) -> Camera& { return c; }, py::return_value_policy::reference)
        .def("__exit__", [](Camera& c, py::args) {
            c.close();
            return false;
        });

    py::class_<CameraManager>(m, "CameraManager", doc::kCameraManager)
        .def(py::init<>())
        .def("cameras", &CameraManager::cameras, doc::kCameras)
        .def("open", &CameraManager::open, py::arg("serial"), doc::kOpen)
        .def(
            "open_fusion",
            [](CameraManager& manager, const std::string& serial) {
                return wrapFusion(manager.openFusion(serial));
            },
            py::arg("serial"), doc::kOpenFusion);
}

}  // namespace orvane::python
