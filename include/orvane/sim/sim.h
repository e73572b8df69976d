#pragma once

// The simulated cameras and scenes, for programs and tests without hardware.

#include "orvane/sim/DeviceConfig.h"
#include "orvane/sim/SceneGenerator.h"
#include "orvane/sim/SimulatedBus.h"
#include "orvane/sim/SimulatedDevice.h"
