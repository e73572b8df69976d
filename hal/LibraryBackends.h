// The device backends liborvane brings along, registered on the bus's first use.
#pragma once

namespace orvane {

class DeviceBus;

// Defined next to the backends it names, so that the transport knows only the
// backend interface.
void addLibraryBackends(DeviceBus& bus);

}  // namespace orvane
