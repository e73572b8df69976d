#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegister.h"

namespace orvane {

// The six pixel biases of the IMX636, each the current setting (idac_ctl, 0..255)
// of its bias register.
class Imx636Biases : public CameraToolRegister {
  public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
    ~Imx636Biases() override;
    const ToolInfo getToolInfo() override;

    using CameraTool::getParam;
    using CameraTool::setParam;
    bool getParam(std::string name, int& value) override;
    bool setParam(std::string name, const int& value) override;
};

}  // namespace orvane
