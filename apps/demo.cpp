// orvane demo: the everyday job on simulated cameras, no hardware needed.
// Lists the cameras, opens an EVK4, shows its tools, streams for two seconds,
// records one second to a .raw file and reads the recording back.
//
// ORVANE_SIM chooses the simulated cameras (see orvane/sim/SimulatedBus.h);
// without it the demo plugs an EVK4 and a Brisca itself.

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "FusionDemo.h"
#include "orvane/orvane.h"
#include "orvane/sim/sim.h"

using namespace orvane;
using Clock = std::chrono::steady_clock;

namespace {

const char* typeName(ParameterType type) {
    switch (type) {
        case ParameterType::Enum:
            return "enum";
        case ParameterType::Bool:
            return "bool";
        case ParameterType::Float:
            return "float";
        case ParameterType::Int:
            return "int";
    }
    return "?";
}

void showTools(DvsCamera& camera) {
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        std::printf("  %s\n", info.description.c_str());
        std::shared_ptr<CameraTool> tool = camera.getTool(info.toolType);
        for (const std::string& name : info.paramNames) {
            IntParameterInfo i;
            FloatParameterInfo f;
            EnumParameterInfo e;
            BoolParameterInfo b;
            auto kind = tool->getAllParamInfo()[name].type;
            std::string range;
            if (kind == ParameterType::Int && tool->getParamInfo(name, i)) {
                range = std::to_string(i.min) + ".." + std::to_string(i.max) + ", default " +
                        std::to_string(i.defaultValue);
            } else if (kind == ParameterType::Float && tool->getParamInfo(name, f)) {
                char text[64];
                std::snprintf(text, sizeof text, "%g..%g, default %g", f.min, f.max,
                              f.defaultValue);
                range = text;
            } else if (kind == ParameterType::Enum && tool->getParamInfo(name, e)) {
                for (const auto& v : e.values) {
                    range += (range.empty() ? "" : "|") + v;
                }
                range += ", default " + e.defaultValue;
            } else if (kind == ParameterType::Bool && tool->getParamInfo(name, b)) {
                range = std::string("default ") + (b.defaultValue ? "on" : "off");
            }
            std::printf("      %-16s %-5s %s\n", name.c_str(), typeName(kind), range.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string recordingPath = argc > 1 ? argv[1] : "orvane-demo.raw";
    Logger::Instance().setLevel(LOG_WARNING);
    std::printf("orvane demo: simulated cameras, no hardware needed\n\n");

    if (std::getenv("ORVANE_SIM") == nullptr) {
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

    // 1. Discovery.
    DvsCameraManager manager;
    std::vector<CameraDescription> cameras = manager.getCameraDescs();
    std::printf("1. cameras attached: %zu\n", cameras.size());
    std::string serial;
    for (const CameraDescription& d : cameras) {
        std::printf("   %-16s %-10s %-10s %04x:%04x  %s\n", d.serial.c_str(), d.productName.c_str(),
                    d.manufacturer.c_str(), d.vendorId, d.productId, d.location.c_str());
        if (serial.empty() && d.vendorId == PropheseeEVK4::vendorId &&
            d.productId == PropheseeEVK4::productId) {
            serial = d.serial;
        }
    }
    if (serial.empty()) {
        std::fprintf(stderr, "no EVK4 attached (ORVANE_SIM=\"%s\")\n", std::getenv("ORVANE_SIM"));
        return 1;
    }

    // 2. Bring-up: the sensor takes about 2.5 s to settle.
    std::printf("\n2. opening %s (sensor bring-up takes about 2.5 s)...\n", serial.c_str());
    auto started = Clock::now();
    std::shared_ptr<DvsCamera> camera = manager.openCamera(serial);
    if (!camera) {
        std::fprintf(stderr, "could not open %s\n", serial.c_str());
        return 1;
    }
    std::printf("   open after %.1f s: %ux%u pixels\n",
                std::chrono::duration<double>(Clock::now() - started).count(), camera->getWidth(),
                camera->getHeight());

    // 3. Tools.
    std::printf("\n3. tools of %s:\n", serial.c_str());
    showTools(*camera);

    // 4. Streaming: a callback counts what the acquisition thread decodes.
    std::mutex mutex;
    uint64_t events = 0, on = 0, triggers = 0, lastTime = 0;
    camera->addEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        std::lock_guard<std::mutex> lock(mutex);
        events += static_cast<uint64_t>(end - begin);
        for (const Event2D* e = begin; e < end; ++e) {
            on += e->polarity;
        }
        if (begin < end) {
            lastTime = end[-1].timestamp;
        }
    });
    camera->addTriggerInCallback([&](EventTriggerIn) {
        std::lock_guard<std::mutex> lock(mutex);
        ++triggers;
    });
    camera->getTool(TOOL_TRIGGER_IN)->setParam("enable", true);
    std::printf("\n4. streaming for 2 s (trigger input enabled):\n");
    camera->start();
    uint64_t previous = 0;
    for (int i = 1; i <= 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // pacing the display
        std::lock_guard<std::mutex> lock(mutex);
        std::printf("   t=%4.2f s  %6.2f Mev/s  (%" PRIu64 " events, %" PRIu64
                    " triggers, sensor time %" PRIu64 " us)\n",
                    i * 0.25, (events - previous) / 0.25 / 1e6, events, triggers, lastTime);
        previous = events;
    }

    // 5. Recording one second while streaming.
    std::printf("\n5. recording 1 s to %s\n", recordingPath.c_str());
    uint64_t before;
    {
        std::lock_guard<std::mutex> lock(mutex);
        before = events;
    }
    camera->startRecording(recordingPath);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    camera->stopRecording();
    uint64_t during;
    {
        std::lock_guard<std::mutex> lock(mutex);
        during = events - before;
    }
    camera->stop();
    std::printf("   the camera decoded about %" PRIu64 " events meanwhile (%" PRIu64
                " ON / %" PRIu64 " OFF since the start)\n",
                during, on, events - on);

    // 6. Reading the recording back.
    std::printf("\n6. reading %s back:\n", recordingPath.c_str());
    std::unique_ptr<DvsFileReader> reader = DvsFileReader::createFileReader(recordingPath);
    if (!reader || !reader->loadFile()) {
        std::fprintf(stderr, "could not read the recording back\n");
        return 1;
    }
    uint64_t count = 0, first = 0, last = 0;
    reader->getMaxEvents(count);
    reader->getStartTimeStamp(first);
    reader->getEndTimeStamp(last);
    std::printf("   %" PRIu64 " events from %" PRIu64 " us to %" PRIu64 " us (%.2f s), %ux%u\n",
                count, first, last, (last - first) / 1e6, reader->getWidth(), reader->getHeight());
    auto firstEvents = reader->getNEvents(3);
    for (const Event2D& e : *firstEvents) {
        std::printf("   event x=%u y=%u %s at %" PRIu64 " us\n", e.x, e.y,
                    e.polarity ? "ON " : "OFF", e.timestamp);
    }
    std::printf("\ndone: the recording holds every buffer received while it was on.\n");
    return runFusionDemo(manager, recordingPath.substr(0, recordingPath.rfind('.')) + "-fusion");
}
