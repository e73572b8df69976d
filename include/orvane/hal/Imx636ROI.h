#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Region of interest: a window (x, y, x_width, y_height) whose events are kept
// (mode "roi") or dropped (mode "roni") while enabled. The window must lie on
// the sensor: set the size before moving it to the far edge.
class Imx636ROI : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
    ~Imx636ROI() override;
    const ToolInfo getToolInfo() override;

    static constexpr int kWidth = 1280, kHeight = 720;

  private:
    bool writeWindow(int x, int y, int width, int height);
};

}  // namespace orvane
