#include "orvane/hal/Imx636AntiFlicker.h"

#include <cmath>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/tools/Imx636AntiFlicker";
// The filter counts flicker periods in steps of 128 us.
constexpr double kPeriodUnitUs = 128.0;

uint32_t periodOf(int hertz) {
    return static_cast<uint32_t>(std::lround(1e6 / hertz / kPeriodUnitUs));
}
}  // namespace

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBool("enable", false, "filter flicker");
    addEnum("filter_mode", {"band_stop", "band_pass"}, "band_stop",
            "drop the flickering events (band_stop) or keep only them (band_pass)");
    addInt("low_frequency", 50, 520, 50, "lowest flicker frequency filtered, Hz");
    addInt("high_frequency", 50, 520, 520, "highest flicker frequency filtered, Hz");
    addFloat("duty_cycle", 0.0f, 100.0f, 50.0f,
             "share of a flicker period the light is on, percent");

    onBool("enable", [this](const bool& on) {
        return writeField("afk/pipeline_control", "bypass", on ? 0 : 1) &&
               writeField("afk/pipeline_control", "enable", on ? 1 : 0);
    });
    onEnum("filter_mode", [this](const std::string& mode) {
        return writeField("afk/param", "invert", mode == "band_pass" ? 1 : 0);
    });
    // The longest period belongs to the lowest frequency.
    onInt("low_frequency", [this](const int& hertz) {
        if (hertz > current<int>("high_frequency")) {
            ORVANE_LOG(LOG_WARNING, "%s: low_frequency %d Hz refused, above high_frequency %d Hz",
                       getToolInfo().description.c_str(), hertz, current<int>("high_frequency"));
            return false;
        }
        return writeField("afk/filter_period", "max_cutoff_period", periodOf(hertz));
    });
    onInt("high_frequency", [this](const int& hertz) {
        if (hertz < current<int>("low_frequency")) {
            ORVANE_LOG(LOG_WARNING, "%s: high_frequency %d Hz refused, below low_frequency %d Hz",
                       getToolInfo().description.c_str(), hertz, current<int>("low_frequency"));
            return false;
        }
        return writeField("afk/filter_period", "min_cutoff_period", periodOf(hertz));
    });
    onFloat("duty_cycle", [this](const float& percent) {
        return writeField("afk/filter_period", "inverted_duty_cycle",
                          static_cast<uint32_t>(std::lround((100.0 - percent) * 15.0 / 100.0)));
    });
}

Imx636AntiFlicker::~Imx636AntiFlicker() = default;

const ToolInfo Imx636AntiFlicker::getToolInfo() {
    ToolInfo info{TOOL_ANTI_FLICKER, {}, "Anti flicker of DVS cameras with IMX636 sensor."};
    for (const auto& [name, parameter] : parameters()) {
        info.paramNames.push_back(name);
    }
    return info;
}

}  // namespace orvane
