#pragma once

#include "orvane/DvsCameraPrivate.h"

namespace orvane {

// A USB event camera with an IMX636-family sensor, 1280 x 720.
class DvsEventCamera : public DvsCameraPrivate {
  public:
    explicit DvsEventCamera(CameraDescription description);

    bool isConnected() override;
    uint16_t getWidth() override { return kWidth; }
    uint16_t getHeight() override { return kHeight; }

    static constexpr uint16_t kWidth = 1280, kHeight = 720;

  private:
    // Brings the device up once (blocking for over 2.5 s): transport, register
    // controller, decoder, sensor and tools. 0, or -1 without a transport.
    int init() override;
    RawEventStreamFormat getRawEventStreamFormat() override;
    // True when the sensor answers with the IMX636 family's identity.
    bool checkSensor();
};

}  // namespace orvane
