#include "orvane/hal/Imx636Sync.h"

namespace orvane {

// Standalone keeps the setting the sensor is brought up with; master and slave
// switch the time base to the sync pad, driving it or following it.
Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addEnum("mode", {"standalone", "master", "slave"}, "standalone",
            "time base: own (standalone), own and shared (master), or another camera's (slave)");
    onEnum(
        "mode",
        [this](const std::string& mode) {
            const bool external = mode != "standalone";
            const bool drives = mode != "slave";
            return writeField("ro/time_base_ctrl", "time_base_mode", external) &&
                   writeField("ro/time_base_ctrl", "external_mode", drives) &&
                   writeField("ro/time_base_ctrl", "external_mode_enable", external) &&
                   (!external || writeField("dig_pad2_ctrl", "pad_sync", drives ? 0xC : 0xF));
        },
        [this](std::string& mode) {
            uint32_t external = 0, drives = 0;
            if (!readField("ro/time_base_ctrl", "external_mode_enable", external) ||
                !readField("ro/time_base_ctrl", "external_mode", drives)) {
                return false;
            }
            mode = !external ? "standalone" : drives ? "master" : "slave";
            return true;
        });
}

Imx636Sync::~Imx636Sync() = default;

const ToolInfo Imx636Sync::getToolInfo() {
    return ToolInfo{TOOL_SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors"};
}

}  // namespace orvane
