#pragma once

#include <string>

#include "orvane/DvsEventCamera.h"

namespace orvane {

class OrvaneBrisca : public DvsEventCamera {
  public:
    using DvsEventCamera::DvsEventCamera;

    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B5;
    static constexpr uint16_t productId = 0x0001;
    static std::string getManufacturer() { return "Orvane"; }
    static std::string getProductName() { return "Brisca"; }
};

}  // namespace orvane
