// The device backends liborvane registers: the simulator, always there, so that
// every path runs without hardware.
#include "LibraryBackends.h"

#include "orvane/hal/DeviceBus.h"
#include "orvane/sim/SimulatedBus.h"

namespace orvane {

void addLibraryBackends(DeviceBus& bus) {
    // The simulated bus lives as long as the program; the bus only borrows it.
    bus.addBackend(
        std::shared_ptr<DeviceBackend>(&sim::SimulatedBus::instance(), [](DeviceBackend*) {}));
}

}  // namespace orvane
