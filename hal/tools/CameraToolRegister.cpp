#include "orvane/hal/CameraToolRegister.h"

#include <stdexcept>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/tools/CameraToolRegister";
}

CameraToolRegister::CameraToolRegister(std::shared_ptr<RegisterController> controller)
    : controller_(std::move(controller)) {
    if (!controller_) {
        throw std::invalid_argument("camera tool: no register controller");
    }
}

CameraToolRegister::~CameraToolRegister() = default;

bool CameraToolRegister::failed(const std::exception& e) {
    ORVANE_LOG(LOG_ERROR, "%s: %s", getToolInfo().description.c_str(), e.what());
    return false;
}

bool CameraToolRegister::writeField(const std::string& reg, const std::string& field,
                                    uint32_t value) {
    try {
        controller_->writeRegisterField(reg, field, value);
        return true;
    } catch (const std::exception& e) {
        return failed(e);
    }
}

bool CameraToolRegister::readField(const std::string& reg, const std::string& field,
                                   uint32_t& value) {
    try {
        value = controller_->readRegisterField(reg, field);
        return true;
    } catch (const std::exception& e) {
        return failed(e);
    }
}

}  // namespace orvane
