#include "orvane/DvsCamera.h"

namespace orvane {

DvsCamera::DvsCamera(CameraDescription description)
    : CameraFacade(std::move(description), "src/camera/DvsCamera") {}

DvsCamera::~DvsCamera() = default;

}  // namespace orvane
