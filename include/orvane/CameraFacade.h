#pragma once

#include <map>
#include <memory>
#include <vector>

#include "orvane/Enums.h"
#include "orvane/hal/CameraDescription.h"
#include "orvane/hal/CameraTool.h"

namespace orvane {

// What every camera facade holds: the description of its device and its tools
// by type, with their lookups. Copies share the tool objects.
class CameraFacade {
  public:
    CameraDescription getDvsDesc() const { return description_; }
    // The tool of that type, or nullptr (logged as an error).
    const std::shared_ptr<CameraTool> getTool(ToolType type);
    // Throws std::runtime_error "Tool not found" for a type the camera lacks.
    const ToolInfo getToolInfo(ToolType type);
    // One entry per tool, in ascending type order.
    const std::vector<ToolInfo> getAllToolsInfo();

  protected:
    CameraFacade(CameraDescription description, const char* logModule);
    CameraFacade(const CameraFacade& other);
    CameraFacade(CameraFacade&& other) noexcept;
    CameraFacade& operator=(const CameraFacade& other);
    CameraFacade& operator=(CameraFacade&& other) noexcept;
    ~CameraFacade();

    CameraDescription description_;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools_;

  private:
    const char* logModule_;
};

}  // namespace orvane
