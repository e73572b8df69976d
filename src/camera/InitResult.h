// What a camera's bring-up (init) returns besides 0 and -1, so that the
// manager can tell the user why a camera did not open.
#pragma once

namespace orvane {

// The device is attached but claimed by another camera object: another
// DvsCameraManager in this process or, on real USB, another program.
constexpr int kInitDeviceInUse = -2;

constexpr const char* kDeviceInUseReason = "it is in use by another program or manager";

}  // namespace orvane
