#pragma once

// The simulated cameras and scenes, for programs and tests without hardware.

#include "orvane/sim/SceneGenerator.h"
