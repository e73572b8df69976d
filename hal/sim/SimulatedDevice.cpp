// The simulated camera as the transport sees it: register access, control
// requests, endpoints and unplugging. The producers are in
// SimulatedDeviceLoops.cpp, the sensor's filters in SensorModel.cpp.
#include "orvane/sim/SimulatedDevice.h"

#include <stdexcept>

#include "SensorModel.h"
#include "orvane/base/FileCheck.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/sim/SceneGenerator.h"
#include "orvane/sim/SimulatedBus.h"

namespace orvane::sim {

namespace {

// Start commands of the fusion camera's two streams.
constexpr uint32_t kStartEventsProperty = 0x40010010;
constexpr uint32_t kStartFramesProperty = 0x40010200;

const char* productName(Product product) {
    switch (product) {
        case Product::EVK4:
            return "EVK4";
        case Product::Brisca:
            return "Brisca";
        case Product::Tandro:
            return "Tandro";
    }
    return "?";
}

}  // namespace

CameraDescription SimulatedDevice::describe(const DeviceConfig& config) {
    CameraDescription d;
    d.serial = config.serial;
    d.vendorId = SimulatedBus::vendorId(config.product);
    d.productId = SimulatedBus::productId(config.product);
    d.interfaceType = INTERFACE_USB;
    d.manufacturer = config.product == Product::EVK4 ? "Prophesee" : "Orvane";
    d.productName = productName(config.product);
    d.location = "sim";
    return d;
}

SimulatedDevice::SimulatedDevice(DeviceConfig config)
    : config_(std::move(config)),
      description_(describe(config_)),
      registers_(config_.product == Product::Tandro),
      clock_(config_.pacing == Pacing::RealTime) {
    if (config_.scene == Scene::Replay) {
        // Looked at without opening it for good: a FIFO would block the plug.
        if (const FileCheck file = checkRegularFile(config_.replayFile); !file) {
            throw std::invalid_argument("SimulatedDevice: cannot read replay file \"" +
                                        config_.replayFile + "\": " + file.problem);
        }
    } else {
        SceneGenerator check(config_.scene, config_.eventRate, config_.seed);  // validates the rate
    }
}

SimulatedDevice::~SimulatedDevice() {
    disconnect();
}

void SimulatedDevice::checkConnected() const {
    if (!connected_) {
        throw std::runtime_error("device " + description_.serial + " is unplugged");
    }
}

bool SimulatedDevice::outputOn() const {
    return SensorControls::instance().outputOn(registers_);
}

uint64_t SimulatedDevice::sensorTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.now();
}

void SimulatedDevice::writeLocked(uint32_t address, uint32_t value) {
    registers_.write(address, value);
    clock_.run(outputOn());
}

uint32_t SimulatedDevice::readRegister(uint32_t address) {
    checkConnected();
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.read(address);
}

void SimulatedDevice::writeRegister(uint32_t address, uint32_t value) {
    checkConnected();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writeLocked(address, value);
    }
    changed_.notify_all();
}

// A real sensor needs these waits to settle; the simulator keeps them unless
// told to only log them, which keeps tests fast.
void SimulatedDevice::delay(uint64_t microseconds) {
    checkConnected();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registers_.log({RegisterAccess::Delay, 0, 0, microseconds});
    }
    if (config_.sleepDelays) {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
}

void SimulatedDevice::control(CtrlFrame& frame) {
    checkConnected();
    const uint32_t property = frame.get_property();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registers_.log(
            {RegisterAccess::ControlFrame, property, frame.words() > 0 ? frame.word(0) : 0, 0});
        if (property == RegisterController::kWriteRegisterProperty && frame.words() == 2) {
            writeLocked(frame.word(0), frame.word(1));
        } else if (property != kStartEventsProperty && property != kStartFramesProperty) {
            throw std::runtime_error("device " + description_.serial +
                                     " refuses control property " + std::to_string(property));
        }
    }
    changed_.notify_all();
    CtrlFrame answer(property);
    answer.push_back32(0);  // status: done
    answer.updateSize();
    frame.answer().assign(answer.frame(), answer.frame() + answer.frame_size());
}

void SimulatedDevice::startEndpoint(uint8_t endpoint, uint32_t, uint32_t bufferBytes,
                                    std::shared_ptr<BufferQueue> queue) {
    checkConnected();
    if (endpoint == ENDPOINT_FRAMES && config_.product != Product::Tandro) {
        throw std::invalid_argument("device " + description_.serial + " has no frame endpoint");
    }
    if (endpoint != ENDPOINT_EVENTS && endpoint != ENDPOINT_FRAMES) {
        throw std::invalid_argument("device " + description_.serial + " has no endpoint " +
                                    std::to_string(endpoint));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // One consumer per endpoint, as on a real device: a second claim is an error
    // rather than a silent take-over (which left the first consumer waiting for
    // ever), and an endpoint still stopping is not restarted under its thread.
    if (endpoints_.count(endpoint) != 0) {
        throw std::runtime_error("device " + description_.serial + ": endpoint " +
                                 std::to_string(endpoint) + " is already in use");
    }
    Endpoint& e = endpoints_[endpoint];
    e.queue = queue;
    e.bufferBytes = bufferBytes;
    e.stopping = false;
    if (endpoint == ENDPOINT_FRAMES) {
        e.thread = std::thread(&SimulatedDevice::frameLoop, this, bufferBytes, queue);
    } else if (config_.scene == Scene::Replay) {
        e.thread = std::thread(&SimulatedDevice::replayLoop, this, bufferBytes, queue);
    } else {
        e.thread = std::thread(&SimulatedDevice::eventLoop, this, bufferBytes, queue);
    }
}

void SimulatedDevice::stopEndpoint(uint8_t endpoint) {
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = endpoints_.find(endpoint);
        if (it == endpoints_.end() || it->second.stopping) {
            return;  // not running, or another stop is ending it
        }
        it->second.stopping = true;
        finishing = std::move(it->second.thread);
    }
    changed_.notify_all();
    if (finishing.joinable()) {
        finishing.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_.erase(endpoint);
}

bool SimulatedDevice::stopping(uint8_t endpoint) const {
    auto it = endpoints_.find(endpoint);
    return !connected_ || it == endpoints_.end() || it->second.stopping;
}

bool SimulatedDevice::waitForEventsSent(uint64_t events, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return sentChanged_.wait_for(lock, timeout, [&] {
        return eventsSent_ >= events || !connected_;
    }) && eventsSent_ >= events;
}

std::vector<RegisterAccess> SimulatedDevice::traffic() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.traffic();
}

void SimulatedDevice::clearTraffic() {
    std::lock_guard<std::mutex> lock(mutex_);
    registers_.clearTraffic();
}

uint32_t SimulatedDevice::peekRegister(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.value(address);
}

std::map<uint32_t, uint32_t> SimulatedDevice::registerFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.values();
}

void SimulatedDevice::stopAll() {
    std::vector<uint8_t> open;
    std::vector<std::shared_ptr<BufferQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [endpoint, e] : endpoints_) {
            open.push_back(endpoint);
            queues.push_back(e.queue);
        }
    }
    for (uint8_t endpoint : open) {
        stopEndpoint(endpoint);
    }
    // Streams waiting on these queues wake at once.
    for (auto& queue : queues) {
        queue->close();
    }
}

bool SimulatedDevice::claim() {
    bool free = false;
    return claimed_.compare_exchange_strong(free, true);
}

void SimulatedDevice::disconnect() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
    }
    changed_.notify_all();
    sentChanged_.notify_all();
    stopAll();
}

}  // namespace orvane::sim
