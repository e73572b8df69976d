#pragma once

#include <vector>

#include "orvane/hal/RegisterOperation.h"

namespace orvane {

// The fixed register programs of the IMX636-family sensor, built at load time
// and never changed. Addresses are the sensor's; some lie outside its table.
extern const std::vector<RegisterOperation> imx636StopSequence;     // output off
extern const std::vector<RegisterOperation> imx636PreInitSequence;  // clocks and supplies
extern const std::vector<RegisterOperation> imx636InitSequence;     // bring-up, > 2.5 s of waits
extern const std::vector<RegisterOperation> imx636StartSequence;    // output on

}  // namespace orvane
