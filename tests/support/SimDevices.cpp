#include "SimDevices.h"

#include <atomic>
#include <stdexcept>

namespace orvane::test {

namespace {
sim::DeviceConfig configOf(sim::Product product, const std::string& serial, bool sleepDelays) {
    sim::DeviceConfig config;
    config.product = product;
    config.serial = serial;
    config.sleepDelays = sleepDelays;
    return config;
}
}  // namespace

PluggedDevice::PluggedDevice(sim::Product product, const std::string& serial, bool sleepDelays)
    : PluggedDevice(configOf(product, serial, sleepDelays)) {}

PluggedDevice::PluggedDevice(const sim::DeviceConfig& config) : serial_(config.serial) {
    sim::SimulatedBus::instance().plug(config);
    device_ = sim::SimulatedBus::instance().device(serial_);
    interface_ = UsbInterface::createUsbInterface(device_->description());
    if (!interface_) {
        throw std::runtime_error("no interface to the simulated device " + serial_);
    }
}

PluggedDevice::~PluggedDevice() {
    sim::SimulatedBus::instance().unplug(serial_);
}

std::string uniqueSerial(const std::string& stem) {
    static std::atomic<int> next{0};
    return stem + "-" + std::to_string(next++);
}

}  // namespace orvane::test

#include "orvane/hal/RegisterTables.h"

namespace orvane::test {

void bindEventSensor(Sensor& sensor, const std::shared_ptr<RegisterController>& controller) {
    sensor.setApplyRegisterOperationSequenceCallback(
        [controller](const std::vector<RegisterOperation>& s) {
            controller->ApplyRegisterOperationSequence(s);
        });
    sensor.setWriteRegisterFieldCallback(
        [controller](const std::string& r, const std::string& f, uint32_t v) {
            controller->writeRegisterField(r, f, v);
        });
}

EventSensorRig::EventSensorRig(const sim::DeviceConfig& config)
    : plugged(config),
      controller(std::make_shared<RegisterController>(plugged.interface(), imx636RegisterTable,
                                                      kImx636RegisterTableRows, "PSEE/IMX636/")) {
    bindEventSensor(sensor, controller);
    if (sensor.init(plugged.interface()) != 0) {
        throw std::runtime_error("sensor bring-up failed");
    }
}

RawBuffer EventSensorRig::next(int waits) {
    for (int i = 0; i < waits; ++i) {
        if (stream().waitNextBuffer() > 0) {
            if (auto buffer = stream().getLatestBuffer()) {
                return *buffer;
            }
        }
    }
    return nullptr;
}

}  // namespace orvane::test
