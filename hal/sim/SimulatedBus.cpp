#include "orvane/sim/SimulatedBus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "orvane/base/Logger.h"

namespace orvane::sim {

namespace {

constexpr const char* kLogModule = "hal/sim/SimulatedBus";

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t stop = text.find(separator, start);
        if (stop == std::string::npos) {
            stop = text.size();
        }
        parts.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return parts;
}

Product productOf(const std::string& name) {
    if (name == "evk4")
        return Product::EVK4;
    if (name == "brisca")
        return Product::Brisca;
    if (name == "tandro")
        return Product::Tandro;
    throw std::invalid_argument("unknown product \"" + name + "\" (evk4, brisca or tandro)");
}

Scene sceneOf(const std::string& name) {
    if (name == "bar")
        return Scene::MovingBar;
    if (name == "dot")
        return Scene::RotatingDot;
    if (name == "noise")
        return Scene::Noise;
    if (name == "replay")
        return Scene::Replay;
    throw std::invalid_argument("unknown scene \"" + name + "\" (bar, dot, noise or replay)");
}

double numberOf(const std::string& key, const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0)) {
        throw std::invalid_argument(key + "=\"" + text + "\" is not a non-negative number");
    }
    return value;
}

}  // namespace

SimulatedBus& SimulatedBus::instance() {
    static SimulatedBus bus;
    static const bool fromEnvironment = [] {
        const char* text = std::getenv("ORVANE_SIM");
        if (text != nullptr && *text != '\0') {
            try {
                for (const DeviceConfig& config : parse(text)) {
                    bus.plug(config);
                }
            } catch (const std::exception& e) {
                bus.reset();
                ORVANE_LOG(LOG_ERROR, "ORVANE_SIM=\"%s\" ignored, no device plugged: %s", text,
                           e.what());
            }
        }
        return true;
    }();
    (void)fromEnvironment;
    return bus;
}

uint16_t SimulatedBus::vendorId(Product product) {
    switch (product) {
        case Product::EVK4:
            return 0x04B4;
        case Product::Brisca:
            return 0x04B5;
        case Product::Tandro:
            return 0x2207;
    }
    return 0;
}

uint16_t SimulatedBus::productId(Product product) {
    switch (product) {
        case Product::EVK4:
            return 0x00F5;
        case Product::Brisca:
            return 0x0001;
        case Product::Tandro:
            return 0x0006;
    }
    return 0;
}

std::vector<DeviceConfig> SimulatedBus::parse(const std::string& text) {
    std::vector<DeviceConfig> configs;
    for (const std::string& entry : split(text, ';')) {
        if (entry.empty()) {
            continue;  // a trailing ';' is harmless
        }
        std::vector<std::string> items = split(entry, ',');
        size_t colon = items[0].find(':');
        if (colon == std::string::npos || colon + 1 >= items[0].size()) {
            throw std::invalid_argument("entry \"" + entry +
                                        "\" is not product:serial[,key=value...]");
        }
        DeviceConfig config;
        config.product = productOf(items[0].substr(0, colon));
        config.serial = items[0].substr(colon + 1);
        for (size_t i = 1; i < items.size(); ++i) {
            size_t equals = items[i].find('=');
            if (equals == std::string::npos) {
                throw std::invalid_argument("\"" + items[i] + "\" is not key=value");
            }
            std::string key = items[i].substr(0, equals);
            std::string value = items[i].substr(equals + 1);
            if (key == "rate") {
                config.eventRate = numberOf(key, value);
                if (config.eventRate > kPeakEventRate) {
                    // Beyond it the sensor's loop could never catch up with its clock.
                    char peak[32];
                    std::snprintf(peak, sizeof peak, "%g", kPeakEventRate);
                    throw std::invalid_argument("rate=\"" + value +
                                                "\" is beyond the simulated sensor's peak of " +
                                                peak + " events/s");
                }
            } else if (key == "scene") {
                config.scene = sceneOf(value);
            } else if (key == "seed") {
                config.seed = static_cast<uint64_t>(numberOf(key, value));
            } else if (key == "pacing") {
                if (value != "realtime" && value != "fast") {
                    throw std::invalid_argument("pacing=\"" + value + "\" is not realtime or fast");
                }
                config.pacing = value == "fast" ? Pacing::AsFastAsRead : Pacing::RealTime;
            } else if (key == "delays") {
                if (value != "sleep" && value != "log") {
                    throw std::invalid_argument("delays=\"" + value + "\" is not sleep or log");
                }
                config.sleepDelays = value == "sleep";
            } else if (key == "replay") {
                config.replayFile = value;
                config.scene = Scene::Replay;
            } else {
                throw std::invalid_argument("unknown key \"" + key + "\"");
            }
        }
        if (config.scene == Scene::Replay && config.replayFile.empty()) {
            throw std::invalid_argument("scene=replay needs replay=<file.raw>");
        }
        configs.push_back(config);
    }
    return configs;
}

void SimulatedBus::plug(const DeviceConfig& config) {
    if (config.serial.empty()) {
        throw std::invalid_argument("SimulatedBus: a device needs a serial");
    }
    auto device = std::make_shared<SimulatedDevice>(config);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& known : devices_) {
        if (known->description().serial == config.serial) {
            throw std::invalid_argument("SimulatedBus: serial " + config.serial +
                                        " is already plugged");
        }
    }
    devices_.push_back(std::move(device));
}

bool SimulatedBus::unplug(const std::string& serial) {
    std::shared_ptr<SimulatedDevice> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const auto& d) { return d->description().serial == serial; });
        if (it == devices_.end()) {
            return false;
        }
        gone = *it;
        devices_.erase(it);
    }
    gone->disconnect();
    return true;
}

std::shared_ptr<SimulatedDevice> SimulatedBus::device(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& d : devices_) {
        if (d->description().serial == serial) {
            return d;
        }
    }
    return nullptr;
}

void SimulatedBus::reset() {
    std::vector<std::shared_ptr<SimulatedDevice>> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(devices_);
    }
    for (const auto& d : gone) {
        d->disconnect();
    }
}

std::vector<CameraDescription> SimulatedBus::enumerate(uint16_t vendorId, uint16_t productId) {
    std::vector<CameraDescription> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& d : devices_) {
        if (d->description().vendorId == vendorId && d->description().productId == productId) {
            found.push_back(d->description());
        }
    }
    return found;
}

std::shared_ptr<Device> SimulatedBus::open(const CameraDescription& description) {
    auto d = device(description.serial);
    if (d && d->description().vendorId == description.vendorId &&
        d->description().productId == description.productId) {
        return d;
    }
    return nullptr;
}

}  // namespace orvane::sim
