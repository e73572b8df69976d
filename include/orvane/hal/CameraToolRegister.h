#pragma once

#include <memory>
#include <string>

#include "orvane/hal/CameraToolBasePrivate.h"
#include "orvane/hal/RegisterController.h"

namespace orvane {

// A tool whose parameters live in sensor registers.
class CameraToolRegister : public CameraToolBasePrivate {
  public:
    explicit CameraToolRegister(std::shared_ptr<RegisterController> controller);
    ~CameraToolRegister() override;

  protected:
    // Device access that turns any failure into a log line and false.
    bool writeField(const std::string& reg, const std::string& field, uint32_t value);
    bool readField(const std::string& reg, const std::string& field, uint32_t& value);
    bool failed(const std::exception& e);

    std::shared_ptr<RegisterController> controller_;
};

}  // namespace orvane
