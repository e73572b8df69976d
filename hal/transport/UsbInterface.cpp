#include "orvane/hal/UsbInterface.h"

#include <stdexcept>

#include "orvane/hal/DeviceBus.h"

namespace orvane {

namespace {

Device& present(const std::shared_ptr<Device>& device) {
    if (!device || !device->isConnected()) {
        throw std::runtime_error("UsbInterface: the device is not connected");
    }
    return *device;
}

}  // namespace

std::vector<CameraDescription> UsbInterface::findUsbDvsCamera(uint16_t vendorId,
                                                              uint16_t productId) {
    return DeviceBus::instance().enumerate(vendorId, productId);
}

std::vector<CameraDescription> UsbInterface::findUsbFusionCamera(uint16_t vendorId,
                                                                 uint16_t productId) {
    return DeviceBus::instance().enumerate(vendorId, productId);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbInterface(
    const CameraDescription& description) {
    auto device = DeviceBus::instance().open(description);
    return device ? std::make_shared<UsbInterface>(std::move(device)) : nullptr;
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbFusionInterface(
    const CameraDescription& description) {
    return createUsbInterface(description);
}

UsbInterface::UsbInterface(std::shared_ptr<Device> device) : device_(std::move(device)) {}

UsbInterface::~UsbInterface() {
    if (claimed_) {
        device_->release();
    }
}

bool UsbInterface::isConnected() {
    return device_ && device_->isConnected();
}

// The handle is a token of the claimed device; a real backend would return its
// bus address here.
int UsbInterface::open(uint64_t& handle) {
    if (!isConnected()) {
        return -1;
    }
    if (!claimed_ && !device_->claim()) {
        return -1;
    }
    claimed_ = true;
    handle = reinterpret_cast<uintptr_t>(device_.get());
    return 0;
}

// Registers are 32-bit words at addresses 4 apart.
std::vector<uint32_t> UsbInterface::readRegister(std::vector<uint32_t>& words, uint32_t address,
                                                 uint32_t count) {
    Device& device = present(device_);
    words.clear();
    for (uint32_t i = 0; i < count; ++i) {
        words.push_back(device.readRegister(address + 4 * i));
    }
    return words;
}

void UsbInterface::writeRegister(uint32_t address, uint32_t value) {
    present(device_).writeRegister(address, value);
}

void UsbInterface::delayMicroseconds(uint64_t microseconds) {
    present(device_).delay(microseconds);
}

void UsbInterface::transferFrame(CtrlFrame& frame) {
    present(device_).control(frame);
}

}  // namespace orvane
