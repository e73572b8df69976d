#pragma once

#include <string>

#include "orvane/DvsEventCamera.h"

namespace orvane {

class PropheseeEVK4 : public DvsEventCamera {
  public:
    using DvsEventCamera::DvsEventCamera;

    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B4;
    static constexpr uint16_t productId = 0x00F5;
    static std::string getManufacturer() { return "Prophesee"; }
    static std::string getProductName() { return "EVK4"; }
};

}  // namespace orvane
