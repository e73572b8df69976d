#pragma once

#include "orvane/Sensor.h"

namespace orvane {

// The IMX415 frame sensor of the fusion camera: one data path for whole NV12
// pictures, switched on and off through `aps_ctrl`.
class Imx415Sensor : public Sensor {
  public:
    Imx415Sensor();
    int init(std::shared_ptr<Interface> iface) override;
    int start() override;
    int stop() override;

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

  private:
    uint32_t width_ = 3840;
    uint32_t height_ = 2160;
};

}  // namespace orvane
