#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// The external trigger input: "enable" passes its edges into the event stream.
class Imx636TriggerIn : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
    ~Imx636TriggerIn() override;
    const ToolInfo getToolInfo() override;
};

}  // namespace orvane
