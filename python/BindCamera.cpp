// Cameras from Python: CameraManager, Camera (a context manager that stops
// streaming and recording on exit), its tools, and batches of live events.
// Long calls (bring-up, start, stop, recording) and waits run without the GIL.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <mutex>
#include <optional>

#include "BatchQueue.h"
#include "Bindings.h"
#include "Docs.h"
#include "EventArrays.h"
#include "LogErrors.h"
#include "orvane/DvsCameraManager.h"
#include "orvane/DvsCameraPrivate.h"

namespace orvane::python {

namespace {

// Python's names of the tools, indexed by ToolType.
const char* const kToolNames[] = {
    "biases", "trigger_in", "sync", "anti_flicker", "event_trail_filter", "event_rate_control",
    "roi",    "aps_ctrl"};

ToolType toolType(const std::string& name) {
    for (int type = TOOL_BIASES; type <= TOOL_APS_CTRL; ++type) {
        if (name == kToolNames[type]) {
            return static_cast<ToolType>(type);
        }
    }
    throw py::value_error("no tool named '" + name +
                          "' (biases, trigger_in, sync, anti_flicker, event_trail_filter, "
                          "event_rate_control, roi, aps_ctrl)");
}

class Tool {
  public:
    Tool(std::shared_ptr<CameraTool> tool, std::string name)
        : tool_(std::move(tool)), name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    std::vector<std::string> params() { return tool_->getToolInfo().paramNames; }
    std::string description() { return tool_->getToolInfo().description; }

    py::dict info(const std::string& param) {
        py::dict out;
        out["name"] = param;
        switch (typeOf(param)) {
            case ParameterType::Bool: {
                BoolParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "bool", info.defaultValue);
                break;
            }
            case ParameterType::Int: {
                IntParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "int", info.defaultValue);
                out["min"] = info.min;
                out["max"] = info.max;
                break;
            }
            case ParameterType::Float: {
                FloatParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "float", info.defaultValue);
                out["min"] = info.min;
                out["max"] = info.max;
                break;
            }
            case ParameterType::Enum: {
                EnumParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "enum", info.defaultValue);
                out["values"] = info.values;
                break;
            }
        }
        return out;
    }

    py::object get(const std::string& param) {
        LogErrors errors;
        switch (typeOf(param)) {
            case ParameterType::Bool:
                return read<bool>(param, errors);
            case ParameterType::Int:
                return read<int>(param, errors);
            case ParameterType::Float:
                return read<float>(param, errors);
            case ParameterType::Enum:
                return read<std::string>(param, errors);
        }
        return py::none();
    }

    void set(const std::string& param, const py::object& value) {
        LogErrors errors;
        bool done = false;
        try {
            switch (typeOf(param)) {
                case ParameterType::Bool:
                    done = write(param, value.cast<bool>());
                    break;
                case ParameterType::Int:
                    done = write(param, value.cast<int>());
                    break;
                case ParameterType::Float:
                    done = write(param, value.cast<float>());
                    break;
                case ParameterType::Enum:
                    done = write(param, value.cast<std::string>());
                    break;
            }
        } catch (const py::cast_error&) {
            throw py::type_error(name_ + "." + param + " does not take " +
                                 std::string(py::str(py::type::of(value).attr("__name__"))));
        }
        if (!done) {
            throw py::value_error(errors.message(name_ + "." + param + " refused the value"));
        }
    }

  private:
    ParameterType typeOf(const std::string& param) {
        const auto all = tool_->getAllParamInfo();
        const auto found = all.find(param);
        if (found == all.end()) {
            std::string names;
            for (const auto& entry : all) {
                names += (names.empty() ? "" : ", ") + entry.first;
            }
            throw py::value_error(name_ + " has no parameter '" + param + "' (" + names + ")");
        }
        return found->second.type;
    }

    template <class T>
    static void describe(py::dict& out, const BasicParameterInfo& info, const char* type,
                         const T& defaultValue) {
        out["type"] = type;
        out["description"] = info.description;
        out["default"] = defaultValue;
    }

    template <class T>
    py::object read(const std::string& param, const LogErrors& errors) {
        T value{};
        if (!tool_->getParam(param, value)) {
            throw py::value_error(errors.message("cannot read " + name_ + "." + param));
        }
        return py::cast(value);
    }

    template <class T>
    bool write(const std::string& param, const T& value) {
        py::gil_scoped_release nogil;
        return tool_->setParam(param, value);
    }

    std::shared_ptr<CameraTool> tool_;
    std::string name_;
};

// Live events in batches; ends once the camera stops or is unplugged.
class BatchIterator {
  public:
    BatchIterator(std::shared_ptr<DvsCamera> camera, BatchQueue::Mode mode, uint64_t size,
                  size_t capacity, std::optional<double> timeout)
        : camera_(std::move(camera)),
          queue_(std::make_shared<BatchQueue>(mode, size, capacity)),
          timeout_(timeout) {
        eventsId_ = camera_->addEventsStreamHandleCallback(
            [queue = queue_](const Event2D* begin, const Event2D* end) { queue->add(begin, end); });
        triggersId_ = camera_->addTriggerInCallback(
            [queue = queue_](EventTriggerIn trigger) { queue->addTrigger(trigger); });
    }
    ~BatchIterator() { finish(); }
    BatchIterator(const BatchIterator&) = delete;
    BatchIterator& operator=(const BatchIterator&) = delete;

    py::array next() {
        using namespace std::chrono;
        const auto start = steady_clock::now();
        std::vector<Event2D> batch;
        while (!finished_) {
            bool got, live;
            {
                py::gil_scoped_release nogil;
                // Whether it runs is asked first: an empty queue after that
                // means nothing more can come.
                live = isLive();
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
            } else if (timeout_ &&
                       duration<double>(steady_clock::now() - start).count() > *timeout_) {
                PyErr_SetString(PyExc_TimeoutError, "batches(): no batch within the timeout");
                throw py::error_already_set();
            }
        }
        throw py::stop_iteration();
    }

    py::array triggers() { return triggerArray(queue_->takeTriggers()); }
    uint64_t dropped() const { return queue_->dropped(); }

  private:
    // Short enough for Ctrl-C to feel immediate, long enough to cost nothing.
    static constexpr std::chrono::milliseconds kWait{50};

    bool isLive() {
        auto* running = dynamic_cast<DvsCameraPrivate*>(camera_.get());
        return camera_->isConnected() && (running == nullptr || running->isRunning());
    }

    void finish() {
        if (!finished_) {
            finished_ = true;
            camera_->removeEventsStreamHandleCallback(eventsId_);
            camera_->removeTriggerInCallback(triggersId_);
        }
    }

    std::shared_ptr<DvsCamera> camera_;
    std::shared_ptr<BatchQueue> queue_;
    std::optional<double> timeout_;
    uint32_t eventsId_ = 0, triggersId_ = 0;
    bool finished_ = false;
};

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

    void start() {
        check(call([&] { return camera_->start(); }), "start");
    }
    void stop() {
        call([&] { return camera_->stop(); });
    }
    void record(const std::string& path) {
        check(call([&] { return camera_->startRecording(path); }), "record");
    }
    void stopRecording() {
        call([&] { return camera_->stopRecording(); });
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

    Tool tool(const std::string& name) {
        LogErrors errors;
        auto tool = camera_->getTool(toolType(name));
        if (!tool) {
            throw std::runtime_error(errors.message("Tool not found") + ": " + name);
        }
        return Tool(std::move(tool), name);
    }

    std::vector<std::string> tools() {
        std::vector<std::string> names;
        for (const ToolInfo& info : camera_->getAllToolsInfo()) {
            names.push_back(kToolNames[info.toolType]);
        }
        return names;
    }

    std::unique_ptr<BatchIterator> batches(std::optional<uint64_t> timeUs,
                                           std::optional<uint64_t> count, size_t capacity,
                                           std::optional<double> timeout) {
        if (timeUs && count) {
            throw py::value_error("batches(): give time_us or count, not both");
        }
        const uint64_t size = count ? *count : timeUs.value_or(10'000);
        if (size == 0) {
            throw py::value_error("batches(): the batch size must be at least 1");
        }
        return std::make_unique<BatchIterator>(
            camera_, count ? BatchQueue::Mode::Count : BatchQueue::Mode::Time, size, capacity,
            timeout);
    }

  private:
    // Runs a camera call without the GIL; the lines it logs explain a failure.
    template <class F>
    int call(F&& f) {
        LogErrors errors;
        int result;
        {
            py::gil_scoped_release nogil;
            result = f();
        }
        lastError_ = errors.message("");
        return result;
    }
    void check(int result, const char* what) {
        if (result != 0) {
            throw std::runtime_error(std::string(what) + " failed" +
                                     (lastError_.empty() ? "" : ": " + lastError_));
        }
    }

    std::shared_ptr<DvsCamera> camera_;
    DvsCameraPrivate* private_;
    std::string lastError_;
};

class CameraManager {
  public:
    std::vector<CameraDescription> cameras() {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mutex_);
        return manager_.getCameraDescs();
    }

    Camera open(const std::string& serial) {
        LogErrors errors;
        std::shared_ptr<DvsCamera> camera;
        std::optional<CameraDescription> known;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mutex_);
            for (const CameraDescription& description : manager_.getCameraDescs()) {
                if (description.serial == serial) {
                    known = description;
                }
            }
            camera = manager_.openCamera(serial);
        }
        if (!known) {
            throw py::value_error("no camera with serial '" + serial + "'");
        }
        if (!camera && known->vendorId == kFusionVendorId) {
            throw py::value_error("camera '" + serial + "' is a fusion camera (" +
                                  known->productName + "), which this module cannot open yet");
        }
        if (!camera) {
            throw std::runtime_error(errors.message("camera '" + serial + "' did not come up"));
        }
        return Camera(std::move(camera));
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

    py::class_<Tool>(m, "Tool", doc::kToolClass)
        .def_property_readonly("name", &Tool::name, doc::kToolName)
        .def_property_readonly("params", &Tool::params, doc::kParams)
        .def_property_readonly("description", &Tool::description, doc::kDescription)
        .def("info", &Tool::info, py::arg("param"), doc::kInfo)
        .def("get", &Tool::get, py::arg("param"), doc::kGet)
        .def("set", &Tool::set, py::arg("param"), py::arg("value"), doc::kSet);

    py::class_<BatchIterator>(m, "BatchIterator", doc::kBatchIterator)
        .def("__iter__", [](BatchIterator& b) -> BatchIterator& { return b; })
        .def("__next__", &BatchIterator::next)
        .def("triggers", &BatchIterator::triggers, doc::kTriggers)
        .def_property_readonly("dropped", &BatchIterator::dropped, doc::kDropped);

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
        .def("tool", &Camera::tool, py::arg("name"), doc::kTool)
        .def("tools", &Camera::tools, doc::kTools)
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
        .def("open", &CameraManager::open, py::arg("serial"), doc::kOpen);
}

}  // namespace orvane::python
