#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/hal/DeviceBus.h"
#include "orvane/sim/DeviceConfig.h"
#include "orvane/sim/SimulatedDevice.h"

namespace orvane::sim {

// The simulated devices a program has plugged in. It is a backend of the
// device bus, so discovery and interfaces find these cameras as they would
// find USB ones. ORVANE_SIM plugs devices when the bus is first used:
//   ORVANE_SIM="evk4:SIM-EVK4-01;tandro:SIM-TD-01,rate=5e6,scene=noise"
// entries `product:serial[,key=value...]`, keys rate, scene (bar, dot, noise,
// replay), seed, pacing (realtime|fast), delays (sleep|log), replay (a path).
class SimulatedBus : public DeviceBackend {
  public:
    static SimulatedBus& instance();

    // Throws std::invalid_argument for an empty or already plugged serial.
    void plug(const DeviceConfig& config);
    bool unplug(const std::string& serial);
    std::shared_ptr<SimulatedDevice> device(const std::string& serial);
    void reset();  // unplug everything

    std::vector<CameraDescription> enumerate(uint16_t vendorId, uint16_t productId) override;
    std::shared_ptr<Device> open(const CameraDescription& description) override;

    // Parses an ORVANE_SIM value; throws std::invalid_argument naming the fault.
    static std::vector<DeviceConfig> parse(const std::string& text);

    static uint16_t vendorId(Product product);
    static uint16_t productId(Product product);

  private:
    SimulatedBus() = default;
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimulatedDevice>> devices_;  // in plug order
};

}  // namespace orvane::sim
