// The simulated camera's register file: values by address, reset from the
// sensor register tables, and the log of every access in the order it came.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "orvane/sim/DeviceConfig.h"

namespace orvane::sim {

// Not thread-safe: the device that owns it guards it with its own lock.
class RegisterFile {
  public:
    // A bit field, resolved by name once so that reading it costs no lookup.
    struct Field {
        uint32_t address = 0;
        uint8_t start = 0;
        uint8_t length = 0;
    };

    // The event sensor's registers at reset, and the frame sensor's too when
    // the camera has one.
    explicit RegisterFile(bool withFrameSensor);

    // Both sensors' tables are searched, whichever the camera has. Throws
    // std::logic_error for a name the tables lack: the simulator is wrong then.
    static uint32_t address(const std::string& reg);
    static Field field(const std::string& reg, const std::string& field);

    // Unset registers read 0.
    uint32_t value(uint32_t address) const;
    uint32_t value(const Field& field) const;
    const std::map<uint32_t, uint32_t>& values() const { return values_; }

    // Accesses from the host, logged.
    uint32_t read(uint32_t address);
    void write(uint32_t address, uint32_t value);
    void log(const RegisterAccess& access) { traffic_.push_back(access); }

    const std::vector<RegisterAccess>& traffic() const { return traffic_; }
    void clearTraffic() { traffic_.clear(); }

  private:
    std::map<uint32_t, uint32_t> values_;  // written or reset values
    std::vector<RegisterAccess> traffic_;
};

}  // namespace orvane::sim
