#pragma once

#include <cstdint>
#include <string>

#include "orvane/Enums.h"

namespace orvane {

// What discovery knows of one attached device.
struct CameraDescription {
    std::string serial;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    INTERFACE_TYPE interfaceType = INTERFACE_USB;
    std::string manufacturer;
    std::string productName;
    std::string location;  // where the device is attached, e.g. "usb 1-2" or "sim"
};

}  // namespace orvane
