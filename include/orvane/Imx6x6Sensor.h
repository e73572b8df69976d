#pragma once

#include "orvane/Sensor.h"

namespace orvane {

// The IMX636 / IMX646 event sensor. init() brings it up with its output off
// (blocking for over 2.5 s), start() and stop() switch the output and the
// stream. All access goes through the sequence and field callbacks; the driver
// never reads a register.
class Imx6x6Sensor : public Sensor {
  public:
    Imx6x6Sensor();
    int init(std::shared_ptr<Interface> iface) override;
    int start() override;
    int stop() override;

    // The event stream's transfers: in flight, and bytes each.
    static constexpr uint32_t kTransfers = 2;
    static constexpr uint32_t kTransferBytes = 131072;

  private:
    void temperatureInit();
    void controlIphMirror(bool on);
    void controlLifo(bool enable, bool outputEnable, bool countEnable);
    // externalTimeBase: the time base follows the sync input (or drives it);
    // drivesSync: this sensor drives the sync output.
    void timeBaseConfig(bool externalTimeBase, bool drivesSync);
    // The driver's own waits go through the transport, as sequence delays do,
    // so that a device can log them.
    void wait(uint64_t microseconds);

    std::shared_ptr<Interface> iface_;
};

}  // namespace orvane
