// orvane demo: the everyday job on simulated cameras, no hardware needed.
// Lists the cameras, opens an EVK4, shows its tools, streams for two seconds,
// records one second to a .raw file and reads the recording back. Each step is
// one function below, called in order from main.
//
// ORVANE_SIM chooses the simulated cameras (see orvane/sim/SimulatedBus.h);
// without it the demo plugs an EVK4 and a Brisca itself.

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "FusionDemo.h"
#include "orvane/orvane.h"
#include "orvane/sim/sim.h"

using namespace orvane;
using Clock = std::chrono::steady_clock;

namespace {

// 1234567 -> "1,234,567": counts of events run into the millions.
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<size_t>(i), ",");
    }
    return digits;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What the callbacks have seen so far. The camera calls them from its own
// thread, hence the lock.
struct Tally {
    std::mutex mutex;
    uint64_t events = 0, on = 0, triggers = 0, lastTime = 0;

    uint64_t eventCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

void plugSimulatedCameras() {
    if (std::getenv("ORVANE_SIM") != nullptr) {
        return;
    }
    sim::DeviceConfig evk4;
    evk4.product = sim::Product::EVK4;
    evk4.serial = "SIM-EVK4-01";
    evk4.eventRate = 5e6;
    sim::SimulatedBus::instance().plug(evk4);
    sim::DeviceConfig brisca = evk4;
    brisca.product = sim::Product::Brisca;
    brisca.serial = "SIM-BRISCA-01";
    brisca.scene = sim::Scene::RotatingDot;
    sim::SimulatedBus::instance().plug(brisca);
}

// The serial of the first EVK4, or "" when there is none.
std::string listCameras(DvsCameraManager& manager) {
    std::vector<CameraDescription> cameras = manager.getCameraDescs();
    std::printf("1. cameras attached: %zu (serial, product, maker, USB vendor:product id)\n",
                cameras.size());
    std::string serial;
    for (const CameraDescription& d : cameras) {
        std::printf("   %-16s %-10s %-10s %04x:%04x  %s\n", d.serial.c_str(), d.productName.c_str(),
                    d.manufacturer.c_str(), d.vendorId, d.productId, d.location.c_str());
        if (serial.empty() && d.vendorId == PropheseeEVK4::vendorId &&
            d.productId == PropheseeEVK4::productId) {
            serial = d.serial;
        }
    }
    return serial;
}

std::shared_ptr<DvsCamera> openCamera(DvsCameraManager& manager, const std::string& serial) {
    std::printf("\n2. opening %s: the sensor's bias currents take about 2.5 s to settle...\n",
                serial.c_str());
    const auto started = Clock::now();
    std::shared_ptr<DvsCamera> camera = manager.openCamera(serial);
    if (camera) {
        std::printf("   open after %.1f s: a %ux%u pixel event sensor\n", secondsSince(started),
                    camera->getWidth(), camera->getHeight());
    }
    return camera;
}

// The accepted values of a parameter: range or choices, and the default.
std::string accepted(CameraTool& tool, const std::string& name, ParameterType type) {
    char text[160] = "";
    IntParameterInfo i;
    FloatParameterInfo f;
    EnumParameterInfo e;
    BoolParameterInfo b;
    if (type == ParameterType::Int && tool.getParamInfo(name, i)) {
        std::snprintf(text, sizeof text, "integer %s..%s, default %s",
                      grouped(static_cast<uint64_t>(i.min)).c_str(),
                      grouped(static_cast<uint64_t>(i.max)).c_str(),
                      grouped(static_cast<uint64_t>(i.defaultValue)).c_str());
    } else if (type == ParameterType::Float && tool.getParamInfo(name, f)) {
        std::snprintf(text, sizeof text, "number %g..%g, default %g", f.min, f.max, f.defaultValue);
    } else if (type == ParameterType::Enum && tool.getParamInfo(name, e)) {
        std::string values;
        for (const auto& v : e.values) {
            values += (values.empty() ? "" : " | ") + v;
        }
        return "one of " + values + ", default " + e.defaultValue;
    } else if (type == ParameterType::Bool && tool.getParamInfo(name, b)) {
        return std::string("on/off, default ") + (b.defaultValue ? "on" : "off");
    }
    return text;
}

void showTools(DvsCamera& camera, const std::string& serial) {
    std::printf(
        "\n3. tools of %s: what each parameter does (with its unit), then the values "
        "it takes\n",
        serial.c_str());
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        std::printf("   %s\n", info.description.c_str());
        std::shared_ptr<CameraTool> tool = camera.getTool(info.toolType);
        const auto parameters = tool->getAllParamInfo();
        for (const std::string& name : info.paramNames) {
            const BasicParameterInfo& basic = parameters.at(name);
            std::printf("      %-15s %s\n", name.c_str(), basic.description.c_str());
            std::printf("      %-15s %s\n", "", accepted(*tool, name, basic.type).c_str());
        }
    }
}

void countEvents(DvsCamera& camera, Tally& tally) {
    camera.addEventsStreamHandleCallback([&tally](const Event2D* begin, const Event2D* end) {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.events += static_cast<uint64_t>(end - begin);
        for (const Event2D* e = begin; e < end; ++e) {
            tally.on += e->polarity;
        }
        if (begin < end) {
            tally.lastTime = end[-1].timestamp;
        }
    });
    camera.addTriggerInCallback([&tally](EventTriggerIn) {
        std::lock_guard<std::mutex> lock(tally.mutex);
        ++tally.triggers;
    });
}

void stream(DvsCamera& camera, Tally& tally) {
    std::printf(
        "\n4. streaming for 2 s. An event is one pixel whose brightness changed: x, y,\n"
        "   polarity (ON brighter, OFF darker) and a timestamp in microseconds of the\n"
        "   sensor's clock. The trigger input is enabled; the simulator drives it with\n"
        "   a 100 Hz square wave, so 200 edges a second arrive as trigger events.\n");
    camera.getTool(TOOL_TRIGGER_IN)->setParam("enable", true);
    camera.start();
    uint64_t previous = 0;
    for (int i = 1; i <= 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // pacing the display
        std::lock_guard<std::mutex> lock(tally.mutex);
        std::printf("   after %4.2f s: %5.2f million events/s, %11s events, %4" PRIu64
                    " trigger edges, sensor clock at %.3f s\n",
                    i * 0.25, (tally.events - previous) / 0.25 / 1e6, grouped(tally.events).c_str(),
                    tally.triggers, tally.lastTime / 1e6);
        previous = tally.events;
    }
}

// The number of events the callback counted while recording.
uint64_t record(DvsCamera& camera, Tally& tally, const std::string& path) {
    std::printf("\n5. recording 1 s of the stream to %s\n", path.c_str());
    camera.startRecording(path);
    const uint64_t before = tally.eventCount();
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t during = tally.eventCount() - before;
    const double seconds = secondsSince(started);
    camera.stopRecording();
    camera.stop();
    std::lock_guard<std::mutex> lock(tally.mutex);
    std::printf(
        "   the callback counted %s events in the %.2f s between startRecording and\n"
        "   stopRecording\n",
        grouped(during).c_str(), seconds);
    std::printf("   stopped: %s events since the start, %s ON and %s OFF\n",
                grouped(tally.events).c_str(), grouped(tally.on).c_str(),
                grouped(tally.events - tally.on).c_str());
    return during;
}

bool readBack(const std::string& path, uint64_t counted) {
    std::printf("\n6. reading %s back\n", path.c_str());
    std::unique_ptr<DvsFileReader> reader = DvsFileReader::createFileReader(path);
    if (!reader || !reader->loadFile()) {
        std::fprintf(stderr, "could not read the recording back\n");
        return false;
    }
    uint64_t count = 0, first = 0, last = 0;
    reader->getMaxEvents(count);
    reader->getStartTimeStamp(first);
    reader->getEndTimeStamp(last);
    std::printf("   %s events, %ux%u pixels, timestamps %.3f s to %.3f s\n", grouped(count).c_str(),
                reader->getWidth(), reader->getHeight(), first / 1e6, last / 1e6);
    if (count == counted) {
        std::printf("   exactly the events the callback counted while recording\n");
    } else {
        const uint64_t gap = count > counted ? count - counted : counted - count;
        std::printf(
            "   %s %s than the callback counted while recording: the file holds whole\n"
            "   USB buffers, and the first and last need not fall between the calls\n",
            grouped(gap).c_str(), count > counted ? "more" : "fewer");
    }
    std::printf("   the first events in the file:\n");
    for (const Event2D& e : *reader->getNEvents(3)) {
        std::printf("   x=%-4u y=%-3u %s at %" PRIu64 " us\n", e.x, e.y, e.polarity ? "ON " : "OFF",
                    e.timestamp);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line also through a pipe (make demo | tee), so each step shows as it ends.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string recordingPath = argc > 1 ? argv[1] : "orvane-demo.raw";
    Logger::Instance().setLevel(LOG_WARNING);
    std::printf("orvane demo: simulated cameras, no hardware needed\n\n");
    plugSimulatedCameras();

    DvsCameraManager manager;
    const std::string serial = listCameras(manager);
    if (serial.empty()) {
        const char* sim = std::getenv("ORVANE_SIM");
        std::fprintf(stderr, "no EVK4 attached (ORVANE_SIM=\"%s\")\n", sim ? sim : "");
        return 1;
    }
    std::shared_ptr<DvsCamera> camera = openCamera(manager, serial);
    if (!camera) {
        std::fprintf(stderr, "could not open %s\n", serial.c_str());
        return 1;
    }
    showTools(*camera, serial);

    Tally tally;
    countEvents(*camera, tally);
    stream(*camera, tally);
    const uint64_t recorded = record(*camera, tally, recordingPath);
    if (!readBack(recordingPath, recorded)) {
        return 1;
    }
    const int fusion =
        runFusionDemo(manager, recordingPath.substr(0, recordingPath.rfind('.')) + "-fusion");
    if (fusion == 0) {
        std::printf("\ndone.\n");
    }
    return fusion;
}
