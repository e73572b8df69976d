// The registry of device backends that discovery and interfaces go through.
#include "orvane/hal/DeviceBus.h"

#include "LibraryBackends.h"

namespace orvane {

DeviceBus::DeviceBus() = default;

DeviceBus& DeviceBus::instance() {
    static DeviceBus bus;
    static const bool registered = (addLibraryBackends(bus), true);
    (void)registered;
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
