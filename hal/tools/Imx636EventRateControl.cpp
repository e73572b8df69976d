#include "orvane/hal/Imx636EventRateControl.h"

namespace orvane {

namespace {
// The sensor counts events against a target per reference period.
constexpr double kReferencePeriodUs = 200.0;
}  // namespace

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBool("enable", false, "cap the event rate");
    addInt("max_event_rate", 1000, 1000000000, 20000000,
           "largest event rate let through, events per second");

    onBool(
        "enable",
        [this](const bool& on) { return writeField("erc/erc_enable", "erc_en", on ? 1 : 0); },
        [this](bool& on) {
            uint32_t raw = 0;
            bool ok = readField("erc/erc_enable", "erc_en", raw);
            on = raw != 0;
            return ok;
        });
    onInt("max_event_rate", [this](const int& rate) {
        const auto perPeriod = static_cast<uint32_t>(double(rate) * kReferencePeriodUs / 1e6 + 0.5);
        return writeField("erc/reference_period", "erc_reference_period",
                          static_cast<uint32_t>(kReferencePeriodUs)) &&
               writeField("erc/td_target_event_rate", "target_event_rate", perPeriod);
    });
}

Imx636EventRateControl::~Imx636EventRateControl() = default;

const ToolInfo Imx636EventRateControl::getToolInfo() {
    return ToolInfo{TOOL_EVENT_RATE_CONTROL,
                    {"enable", "max_event_rate"},
                    "ERC of DVS cameras with IMX636 sensor"};
}

}  // namespace orvane
