// The public face of fusion cameras: description and tools.

#include "orvane/FusionCamera.h"

namespace orvane {

FusionCamera::FusionCamera(CameraDescription description)
    : CameraFacade(std::move(description), "src/camera/FusionCamera") {}

FusionCamera::~FusionCamera() = default;

}  // namespace orvane
