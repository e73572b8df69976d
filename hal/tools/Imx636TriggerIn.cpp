#include "orvane/hal/Imx636TriggerIn.h"

namespace orvane {

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBool("enable", false, "pass the edges of trigger input 0 into the event stream");
    onBool(
        "enable",
        [this](const bool& on) { return writeField("edf/trigger_in", "ch0_enable", on ? 1 : 0); },
        [this](bool& on) {
            uint32_t raw = 0;
            bool ok = readField("edf/trigger_in", "ch0_enable", raw);
            on = raw != 0;
            return ok;
        });
}

Imx636TriggerIn::~Imx636TriggerIn() = default;

const ToolInfo Imx636TriggerIn::getToolInfo() {
    return ToolInfo{TOOL_TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"};
}

}  // namespace orvane
