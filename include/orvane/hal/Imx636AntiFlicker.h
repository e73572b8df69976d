#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Drops (band_stop) or keeps only (band_pass) events of lights flickering
// between low_frequency and high_frequency Hz.
class Imx636AntiFlicker : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
    ~Imx636AntiFlicker() override;
    const ToolInfo getToolInfo() override;
};

}  // namespace orvane
