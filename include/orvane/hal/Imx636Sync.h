#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Synchronisation of several cameras' time bases: "mode" is standalone (own
// time base), master (own time base, drives the sync output) or slave (time base
// follows the sync input).
class Imx636Sync : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
    ~Imx636Sync() override;
    const ToolInfo getToolInfo() override;
};

}  // namespace orvane
