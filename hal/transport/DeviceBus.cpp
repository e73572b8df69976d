#include "orvane/hal/DeviceBus.h"

#include "orvane/sim/SimulatedBus.h"

namespace orvane {

// The simulated bus is always there: every path runs without hardware.
DeviceBus::DeviceBus() {
    backends_.push_back(
        std::shared_ptr<DeviceBackend>(&sim::SimulatedBus::instance(), [](DeviceBackend*) {}));
}

DeviceBus& DeviceBus::instance() {
    static DeviceBus bus;
    return bus;
}

void DeviceBus::addBackend(std::shared_ptr<DeviceBackend> backend) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& known : backends_) {
        if (known == backend) {
            return;
        }
    }
    backends_.push_back(std::move(backend));
}

std::vector<CameraDescription> DeviceBus::enumerate(uint16_t vendorId, uint16_t productId) {
    std::vector<std::shared_ptr<DeviceBackend>> backends;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        backends = backends_;
    }
    std::vector<CameraDescription> found;
    for (const auto& backend : backends) {
        auto some = backend->enumerate(vendorId, productId);
        found.insert(found.end(), some.begin(), some.end());
    }
    return found;
}

std::shared_ptr<Device> DeviceBus::open(const CameraDescription& description) {
    std::vector<std::shared_ptr<DeviceBackend>> backends;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        backends = backends_;
    }
    for (const auto& backend : backends) {
        if (auto device = backend->open(description)) {
            return device;
        }
    }
    return nullptr;
}

}  // namespace orvane
