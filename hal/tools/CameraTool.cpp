#include "orvane/hal/CameraTool.h"

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/tools/CameraTool";
}

CameraTool::~CameraTool() = default;

bool CameraTool::refuseType(const std::string& name, const char* type) {
    if (getAllParamInfo().count(name) == 0) {
        ORVANE_LOG(LOG_WARNING, "%s: no parameter \"%s\"", getToolInfo().description.c_str(),
                   name.c_str());
    } else {
        ORVANE_LOG(LOG_WARNING, "%s: parameter \"%s\" does not take %s value",
                   getToolInfo().description.c_str(), name.c_str(), type);
    }
    return false;
}

bool CameraTool::getParam(std::string name, std::string&) {
    return refuseType(name, "a text");
}
bool CameraTool::getParam(std::string name, bool&) {
    return refuseType(name, "a bool");
}
bool CameraTool::getParam(std::string name, float&) {
    return refuseType(name, "a float");
}
bool CameraTool::getParam(std::string name, int&) {
    return refuseType(name, "an int");
}

bool CameraTool::setParam(std::string name, const std::string&) {
    return refuseType(name, "a text");
}

bool CameraTool::setParam(std::string name, const char* value) {
    if (value == nullptr) {
        return refuseType(name, "a null text");
    }
    return setParam(std::move(name), std::string(value));
}

bool CameraTool::setParam(std::string name, const bool&) {
    return refuseType(name, "a bool");
}

bool CameraTool::setParam(std::string name, const double& value) {
    return setParam(std::move(name), static_cast<float>(value));
}

bool CameraTool::setParam(std::string name, const float&) {
    return refuseType(name, "a float");
}
bool CameraTool::setParam(std::string name, const int&) {
    return refuseType(name, "an int");
}

}  // namespace orvane
