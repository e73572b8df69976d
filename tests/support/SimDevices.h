#pragma once

// Simulated devices for tests: plugged on construction, unplugged on destruction.

#include <memory>
#include <string>

#include "orvane/hal/UsbInterface.h"
#include "orvane/sim/SimulatedBus.h"

namespace orvane::test {

class PluggedDevice {
  public:
    // Delays are logged, not slept, unless the config says otherwise.
    explicit PluggedDevice(sim::Product product, const std::string& serial,
                           bool sleepDelays = false);
    explicit PluggedDevice(const sim::DeviceConfig& config);
    ~PluggedDevice();
    PluggedDevice(const PluggedDevice&) = delete;
    PluggedDevice& operator=(const PluggedDevice&) = delete;

    sim::SimulatedDevice& device() { return *device_; }
    std::shared_ptr<UsbInterface> interface() const { return interface_; }
    const std::string& serial() const { return serial_; }

  private:
    std::string serial_;
    std::shared_ptr<sim::SimulatedDevice> device_;
    std::shared_ptr<UsbInterface> interface_;
};

// A unique serial for a test's device, so tests can share the process-wide bus.
std::string uniqueSerial(const std::string& stem);

}  // namespace orvane::test

#include "orvane/Imx6x6Sensor.h"
#include "orvane/hal/RegisterController.h"

namespace orvane::test {

// Binds a sensor's sequence and field callbacks to a controller, as an event
// camera does.
void bindEventSensor(Sensor& sensor, const std::shared_ptr<RegisterController>& controller);

// An event sensor brought up on a simulated device, its callbacks bound to a
// register controller as a camera binds them.
class EventSensorRig {
  public:
    explicit EventSensorRig(const sim::DeviceConfig& config);

    sim::SimulatedDevice& device() { return plugged.device(); }
    EventStream& stream() { return *sensor.eventStream(); }
    // The next buffer, or nullptr after `waits` empty waits (about 10 ms each).
    RawBuffer next(int waits = 200);

    PluggedDevice plugged;
    std::shared_ptr<RegisterController> controller;
    Imx6x6Sensor sensor;
};

}  // namespace orvane::test
