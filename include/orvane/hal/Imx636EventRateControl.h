#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Event rate control: when enabled, the sensor drops events beyond
// max_event_rate events per second.
class Imx636EventRateControl : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
    ~Imx636EventRateControl() override;
    const ToolInfo getToolInfo() override;
};

}  // namespace orvane
