#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvane/DvsCamera.h"
#include "orvane/Enums.h"
#include "orvane/hal/CameraDescription.h"

namespace orvane {

class FusionCamera;

// Entry point: finds the attached cameras and opens them by serial number.
// One camera object per serial, kept until its device is found unplugged;
// copies of the manager share the camera objects. Not thread-safe: one
// application thread, or the caller serialises.
class DvsCameraManager {
  public:
    DvsCameraManager();

    // Forgets unplugged cameras, scans every family; the number of devices seen.
    int updateCameras();
    // Scans as updateCameras does, then describes every known camera: event
    // cameras first, each family in serial order.
    std::vector<CameraDescription> getCameraDescs();
    // The camera of that serial, brought up on first use (blocking for over
    // 2.5 s); a serial no scan has seen yet makes one. nullptr (with an error
    // log line saying why) when unknown or when bring-up fails.
    // A device is held by one camera object at a time: while another manager's
    // camera (or another program) holds it, opening fails with an error log
    // line that says so, until that camera is destroyed.
    std::shared_ptr<DvsCamera> openCamera(std::string serial);
    // As openCamera, but the camera comes back even when its bring-up failed.
    std::shared_ptr<FusionCamera> openFusionCamera(std::string serial);

  private:
    uint64_t findCameras(CAMERA_TYPE type);
    uint64_t findCameras();
    void removeUnpluggedCameras();
    // Both families' open: the camera of `serial` after its bring-up, and
    // whether that succeeded.
    template <typename Camera>
    std::pair<std::shared_ptr<Camera>, bool> bringUp(
        std::map<std::string, std::shared_ptr<Camera>>& cameras, const std::string& serial);

    std::map<std::string, std::shared_ptr<DvsCamera>> dvsCameras_;
    std::map<std::string, std::shared_ptr<FusionCamera>> fusionCameras_;
};

}  // namespace orvane
