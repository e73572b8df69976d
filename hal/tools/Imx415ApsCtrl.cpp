#include "orvane/hal/Imx415ApsCtrl.h"

namespace orvane {

Imx415ApsCtrl::Imx415ApsCtrl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    auto defaultOf = [this](const char* reg, const char* field) {
        return static_cast<int>(controller_->resolve(reg)[field].get_default_value());
    };
    addBool("auto_exposure", defaultOf("aps_exposure", "aps_auto_exposure_en") != 0,
            "let the sensor choose the exposure");
    addBool("auto_white_balance", defaultOf("aps_white_balance", "aps_auto_white_balance_en") != 0,
            "let the sensor balance the colours");
    addInt("shutter_time", 1, (1 << 20) - 1, defaultOf("aps_shutter", "aps_shutter_sweep_time"),
           "shutter sweep time when auto exposure is off, lines");
    addInt("black_level", 0, (1 << 10) - 1, defaultOf("aps_blk_level", "aps_blk_level_offset"),
           "offset added to every pixel");

    auto boolean = [this](const char* reg, const char* field) {
        return std::make_pair(std::function<bool(const bool&)>(
                                  [=](const bool& on) { return writeField(reg, field, on); }),
                              std::function<bool(bool&)>([=](bool& on) {
                                  int raw = 0;
                                  bool ok = readField(reg, field, raw);
                                  on = raw != 0;
                                  return ok;
                              }));
    };
    auto integer = [this](const char* reg, const char* field) {
        return std::make_pair(
            std::function<bool(const int&)>(
                [=](const int& v) { return writeField(reg, field, static_cast<uint32_t>(v)); }),
            std::function<bool(int&)>([=](int& v) { return readField(reg, field, v); }));
    };
    auto [setAe, getAe] = boolean("aps_exposure", "aps_auto_exposure_en");
    onBool("auto_exposure", setAe, getAe);
    auto [setAwb, getAwb] = boolean("aps_white_balance", "aps_auto_white_balance_en");
    onBool("auto_white_balance", setAwb, getAwb);
    auto [setShutter, getShutter] = integer("aps_shutter", "aps_shutter_sweep_time");
    onInt("shutter_time", setShutter, getShutter);
    auto [setBlack, getBlack] = integer("aps_blk_level", "aps_blk_level_offset");
    onInt("black_level", setBlack, getBlack);
}

Imx415ApsCtrl::~Imx415ApsCtrl() = default;

// The frame sensor takes whole registers by control frame: read, change the
// field, send the register back.
bool Imx415ApsCtrl::writeField(const std::string& reg, const std::string& field, uint32_t value) {
    try {
        const Register::Field& f = controller_->resolve(reg)[field];
        const uint32_t current = controller_->readRegister(reg);
        const uint32_t next = (current & ~f.get_mask()) | ((value << f.get_start()) & f.get_mask());
        return controller_->writeRegisterWithControlTransfer(reg, next) == 0;
    } catch (const std::exception& e) {
        return failed(e);
    }
}

bool Imx415ApsCtrl::readField(const std::string& reg, const std::string& field, int& value) {
    uint32_t raw = 0;
    bool ok = CameraToolRegister::readField(reg, field, raw);
    value = static_cast<int>(raw);
    return ok;
}

const ToolInfo Imx415ApsCtrl::getToolInfo() {
    ToolInfo info{TOOL_APS_CTRL, {}, "Ctrl of APS cameras with IMX415 sonsors"};
    for (const auto& [name, parameter] : parameters()) {
        info.paramNames.push_back(name);
    }
    return info;
}

}  // namespace orvane
