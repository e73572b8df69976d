#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "orvane/hal/CameraDescription.h"
#include "orvane/hal/Device.h"

namespace orvane {

// A source of devices: the simulator, and later a libusb backend.
class DeviceBackend {
  public:
    virtual ~DeviceBackend() = default;
    // The attached devices with these identifiers, in a stable order.
    virtual std::vector<CameraDescription> enumerate(uint16_t vendorId, uint16_t productId) = 0;
    // The device of that serial, or nullptr when it is not attached here.
    virtual std::shared_ptr<Device> open(const CameraDescription& description) = 0;
};

// The registry of backends that discovery and interfaces go through.
class DeviceBus {
  public:
    static DeviceBus& instance();

    void addBackend(std::shared_ptr<DeviceBackend> backend);
    std::vector<CameraDescription> enumerate(uint16_t vendorId, uint16_t productId);
    std::shared_ptr<Device> open(const CameraDescription& description);

  private:
    DeviceBus();
    std::mutex mutex_;
    std::vector<std::shared_ptr<DeviceBackend>> backends_;
};

}  // namespace orvane
