#pragma once

#include <memory>

#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

// Removes bursts behind moving edges: "trail" keeps the first event of a burst,
// "stc_cut_trail" the second, "stc_keep_trail" the second and the rest; events
// within `threshold` microseconds of the previous one at a pixel form a burst.
class Imx636EventTrailFilter : public CameraToolRegisterWithCallback {
  public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ~Imx636EventTrailFilter() override;
    const ToolInfo getToolInfo() override;
};

}  // namespace orvane
