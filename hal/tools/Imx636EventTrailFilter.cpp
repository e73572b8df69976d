#include "orvane/hal/Imx636EventTrailFilter.h"

namespace orvane {

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBool("enable", false, "filter event trails");
    addInt("threshold", 1000, 100000, 10000,
           "events closer than this to the previous one at a pixel form a trail, microseconds");
    addEnum("type", {"trail", "stc_cut_trail", "stc_keep_trail"}, "trail",
            "keep the first event of a trail (trail), the second (stc_cut_trail), or the second "
            "and the rest (stc_keep_trail)");

    onBool("enable", [this](const bool& on) {
        return writeField("stc/pipeline_control", "bypass", on ? 0 : 1) &&
               writeField("stc/pipeline_control", "enable", on ? 1 : 0);
    });
    onInt("threshold", [this](const int& us) {
        return writeField("stc/stc_param", "threshold", static_cast<uint32_t>(us)) &&
               writeField("stc/trail_param", "threshold", static_cast<uint32_t>(us));
    });
    onEnum("type", [this](const std::string& type) {
        return writeField("stc/stc_param", "enable", type == "trail" ? 0 : 1) &&
               writeField("stc/trail_param", "enable", type == "stc_keep_trail" ? 0 : 1);
    });
}

Imx636EventTrailFilter::~Imx636EventTrailFilter() = default;

const ToolInfo Imx636EventTrailFilter::getToolInfo() {
    return ToolInfo{TOOL_EVENT_TRAIL_FILTER,
                    {"enable", "threshold", "type"},
                    "Event Trail Filter of DVS cameras with IMX636 sensor"};
}

}  // namespace orvane
