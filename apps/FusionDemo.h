#pragma once

// The fusion camera part of the demo.

#include <string>

#include "orvane/DvsCameraManager.h"

// Finds a fusion camera (plugging a simulated one when ORVANE_SIM is unset),
// streams events and pictures for two seconds, records two seconds of both to
// <base>.raw and <base>.mp4 and reads them back. 0, or 1 on failure.
int runFusionDemo(orvane::DvsCameraManager& manager, const std::string& base);
