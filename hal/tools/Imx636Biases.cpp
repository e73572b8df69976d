#include "orvane/hal/Imx636Biases.h"

namespace orvane {

namespace {
const char* const kBiases[] = {"bias_fo",   "bias_hpf",      "bias_diff_on",
                               "bias_diff", "bias_diff_off", "bias_refr"};
const char* const kDescriptions[] = {
    "source follower: low-pass cut-off of the photoreceptor",
    "high-pass filter: suppresses slow brightness changes",
    "ON threshold: contrast needed for an ON event",
    "reference level of the comparators",
    "OFF threshold: contrast needed for an OFF event",
    "refractory period after each event",
};
}  // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller)) {
    for (size_t i = 0; i < 6; ++i) {
        const auto& field = controller_->resolve(std::string("bias/") + kBiases[i])["idac_ctl"];
        addInt(kBiases[i], 0, 255, static_cast<int>(field.get_default_value()), kDescriptions[i]);
    }
}

Imx636Biases::~Imx636Biases() = default;

const ToolInfo Imx636Biases::getToolInfo() {
    return ToolInfo{
        TOOL_BIASES,
        {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
        "Biases of DVS cameras with IMX636 sensor"};
}

bool Imx636Biases::getParam(std::string name, int& value) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Parameter* parameter = this->parameter(name);
    if (parameter == nullptr) {
        return false;
    }
    uint32_t raw = 0;
    if (!readField("bias/" + name, "idac_ctl", raw)) {
        return false;
    }
    value = static_cast<int>(raw);
    return true;
}

bool Imx636Biases::setParam(std::string name, const int& value) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Parameter* parameter = this->parameter(name);
    if (parameter == nullptr || !accepts(std::get<IntParameterInfo>(*parameter), value)) {
        return false;
    }
    return writeField("bias/" + name, "idac_ctl", static_cast<uint32_t>(value));
}

}  // namespace orvane
