#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "orvane/hal/CameraDescription.h"
#include "orvane/hal/Device.h"
#include "orvane/hal/Interface.h"

namespace orvane {

// The transport to a USB camera, through whichever backend holds the device.
class UsbInterface : public Interface {
  public:
    // One description per attached event camera (or fusion camera) with these
    // identifiers.
    static std::vector<CameraDescription> findUsbDvsCamera(uint16_t vendorId, uint16_t productId);
    static std::vector<CameraDescription> findUsbFusionCamera(uint16_t vendorId,
                                                              uint16_t productId);
    // An interface to the described device, or nullptr when it is not attached.
    static std::shared_ptr<UsbInterface> createUsbInterface(const CameraDescription& description);
    static std::shared_ptr<UsbInterface> createUsbFusionInterface(
        const CameraDescription& description);

    explicit UsbInterface(std::shared_ptr<Device> device);
    // Releases the device when open() claimed it.
    ~UsbInterface() override;
    UsbInterface(const UsbInterface&) = delete;
    UsbInterface& operator=(const UsbInterface&) = delete;

    bool isConnected() override;
    // Claims the device: -1 when it is gone or another interface holds it
    // (another camera object, in this process or, with real USB, another program).
    int open(uint64_t& handle) override;
    std::vector<uint32_t> readRegister(std::vector<uint32_t>& words, uint32_t address,
                                       uint32_t count) override;
    void writeRegister(uint32_t address, uint32_t value) override;
    void delayMicroseconds(uint64_t microseconds) override;
    void transferFrame(CtrlFrame& frame) override;

    const std::shared_ptr<Device>& device() const { return device_; }

  private:
    std::shared_ptr<Device> device_;
    bool claimed_ = false;  // open() runs once, at the camera's bring-up
};

}  // namespace orvane
