#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Exposure, white balance, shutter and black level of the IMX415 frame sensor.
// Its registers are written with control frames.
class Imx415ApsCtrl : public CameraToolRegisterWithCallback {
  public:
    explicit Imx415ApsCtrl(std::shared_ptr<RegisterController> controller);
    ~Imx415ApsCtrl() override;
    const ToolInfo getToolInfo() override;

  private:
    bool writeField(const std::string& reg, const std::string& field, uint32_t value);
    bool readField(const std::string& reg, const std::string& field, int& value);
};

}  // namespace orvane
