#pragma once

#include <cstdint>
#include <string>

#include "orvane/sim/SceneGenerator.h"

namespace orvane::sim {

enum class Product { EVK4, Brisca, Tandro };
enum class Pacing { RealTime, AsFastAsRead };

// A simulated camera to plug into the simulated bus.
struct DeviceConfig {
    Product product = Product::EVK4;
    std::string serial;
    Scene scene = Scene::MovingBar;
    double eventRate = 1e6;  // events per second of sensor time
    uint64_t seed = 1;
    Pacing pacing = Pacing::RealTime;
    bool sleepDelays = true;  // false: sequence delays are logged, not slept
    std::string replayFile;   // Scene::Replay: a .raw whose payload is streamed
};

struct RegisterAccess {  // one entry of a device's traffic log
    enum Kind { Write, Read, Delay, ControlFrame } kind;
    uint32_t address;  // ControlFrame: the property word
    uint32_t value;    // Write: written; Read: returned
    uint64_t delayUs;  // Delay only
};

}  // namespace orvane::sim
