#include "orvane/CameraFacade.h"

#include <stdexcept>

#include "orvane/base/Logger.h"

namespace orvane {

CameraFacade::CameraFacade(CameraDescription description, const char* logModule)
    : description_(std::move(description)), logModule_(logModule) {}

CameraFacade::CameraFacade(const CameraFacade& other) = default;

CameraFacade::CameraFacade(CameraFacade&& other) noexcept
    : description_(std::move(other.description_)),
      tools_(std::move(other.tools_)),
      logModule_(other.logModule_) {
    other.tools_.clear();
}

CameraFacade& CameraFacade::operator=(const CameraFacade& other) {
    if (this != &other) {
        description_ = other.description_;
        tools_ = other.tools_;
    }
    return *this;
}

CameraFacade& CameraFacade::operator=(CameraFacade&& other) noexcept {
    if (this != &other) {
        description_ = std::move(other.description_);
        tools_ = std::move(other.tools_);
        other.tools_.clear();
    }
    return *this;
}

CameraFacade::~CameraFacade() = default;

const std::shared_ptr<CameraTool> CameraFacade::getTool(ToolType type) {
    auto it = tools_.find(type);
    if (it == tools_.end()) {
        Logger::Instance().log_(LOG_ERROR, logModule_, __LINE__, "Tool not found");
        return nullptr;
    }
    return it->second;
}

const ToolInfo CameraFacade::getToolInfo(ToolType type) {
    auto it = tools_.find(type);
    if (it == tools_.end()) {
        Logger::Instance().log_(LOG_ERROR, logModule_, __LINE__, "Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return it->second->getToolInfo();
}

const std::vector<ToolInfo> CameraFacade::getAllToolsInfo() {
    std::vector<ToolInfo> all;
    for (const auto& [type, tool] : tools_) {
        all.push_back(tool->getToolInfo());
    }
    return all;
}

}  // namespace orvane
