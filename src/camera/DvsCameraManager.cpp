#include "orvane/DvsCameraManager.h"

#include "orvane/OrvaneBrisca.h"
#include "orvane/PropheseeEVK4.h"
#include "orvane/TandroCamera.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/UsbInterface.h"

#include "InitResult.h"

#include <type_traits>

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/camera/DvsCameraManager";

template <typename Camera, typename Base>
uint64_t scan(std::map<std::string, std::shared_ptr<Base>>& cameras) {
    std::vector<CameraDescription> found =
        std::is_base_of<FusionCamera, Camera>::value
            ? UsbInterface::findUsbFusionCamera(Camera::vendorId, Camera::productId)
            : UsbInterface::findUsbDvsCamera(Camera::vendorId, Camera::productId);
    for (const CameraDescription& description : found) {
        if (cameras.find(description.serial) == cameras.end()) {
            cameras.emplace(description.serial, std::make_shared<Camera>(description));
        }
    }
    return found.size();
}

}  // namespace

DvsCameraManager::DvsCameraManager() = default;

uint64_t DvsCameraManager::findCameras(CAMERA_TYPE type) {
    switch (type) {
        case CAMERA_EVK4:
            return scan<PropheseeEVK4>(dvsCameras_);
        case CAMERA_BRISCA:
            return scan<OrvaneBrisca>(dvsCameras_);
        case CAMERA_TANDRO:
            return scan<TandroCamera>(fusionCameras_);
    }
    return 0;
}

uint64_t DvsCameraManager::findCameras() {
    return findCameras(CAMERA_EVK4) + findCameras(CAMERA_BRISCA) + findCameras(CAMERA_TANDRO);
}

void DvsCameraManager::removeUnpluggedCameras() {
    for (auto it = dvsCameras_.begin(); it != dvsCameras_.end();) {
        it = it->second->isConnected() ? std::next(it) : dvsCameras_.erase(it);
    }
    for (auto it = fusionCameras_.begin(); it != fusionCameras_.end();) {
        it = it->second->isConnected() ? std::next(it) : fusionCameras_.erase(it);
    }
}

int DvsCameraManager::updateCameras() {
    removeUnpluggedCameras();
    return static_cast<int>(findCameras());
}

std::vector<CameraDescription> DvsCameraManager::getCameraDescs() {
    std::vector<CameraDescription> descriptions;
    removeUnpluggedCameras();
    findCameras();
    for (const auto& [serial, camera] : dvsCameras_) {
        descriptions.push_back(camera->getDvsDesc());
    }
    for (const auto& [serial, camera] : fusionCameras_) {
        descriptions.push_back(camera->getDvsDesc());
    }
    return descriptions;
}

// Empty (logged) when the serial is unknown after a scan or its device is gone. A camera that is
// not connected (not opened yet, or its device has gone) is replaced by a new scan, so a device
// replugged under the same serial gets a new camera object.
template <typename Camera>
std::pair<std::shared_ptr<Camera>, bool> DvsCameraManager::bringUp(
    std::map<std::string, std::shared_ptr<Camera>>& cameras, const std::string& serial) {
    auto it = cameras.find(serial);
    if (it == cameras.end()) {
        // A program may open a serial it knows without listing the cameras first.
        removeUnpluggedCameras();
        findCameras();
        it = cameras.find(serial);
        if (it == cameras.end()) {
            const bool otherFamily = dvsCameras_.count(serial) + fusionCameras_.count(serial) > 0;
            ORVANE_LOG(LOG_ERROR, "Camera %s cannot be opened: %s", serial.c_str(),
                       otherFamily ? "it is a camera of the other family (event or fusion)"
                                   : "no such camera is attached");
            return {nullptr, false};
        }
    } else if (!it->second->isConnected()) {
        removeUnpluggedCameras();
        findCameras();
        it = cameras.find(serial);
        if (it == cameras.end()) {
            ORVANE_LOG(LOG_ERROR, "Camera %s cannot be opened: its device is gone", serial.c_str());
            return {nullptr, false};
        }
    }
    try {
        const int result = it->second->init();
        if (result == 0) {
            return {it->second, true};
        }
        ORVANE_LOG(LOG_ERROR, "Camera %s cannot be opened: %s", serial.c_str(),
                   result == kInitDeviceInUse ? kDeviceInUseReason : "its device did not answer");
    } catch (const std::exception& e) {
        // Typically a device unplugged during its bring-up.
        ORVANE_LOG(LOG_ERROR, "Camera %s cannot be opened: %s", serial.c_str(), e.what());
    }
    return {it->second, false};
}

std::shared_ptr<DvsCamera> DvsCameraManager::openCamera(std::string serial) {
    ORVANE_LOG(LOG_DEBUG, "Camera serial: %s", serial.c_str());
    auto [camera, up] = bringUp(dvsCameras_, serial);
    return up ? camera : nullptr;
}

// The camera comes back even when its bring-up failed: the application learns
// that from the camera (isConnected, start). A device that is gone gives none,
// as an unknown serial does.
std::shared_ptr<FusionCamera> DvsCameraManager::openFusionCamera(std::string serial) {
    ORVANE_LOG(LOG_DEBUG, "Fusion Camera serial: %s", serial.c_str());
    return bringUp(fusionCameras_, serial).first;
}

}  // namespace orvane
