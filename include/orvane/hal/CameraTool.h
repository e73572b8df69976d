#pragma once

#include <map>
#include <string>

#include "orvane/hal/ParameterInfo.h"
#include "orvane/hal/ToolInfo.h"

namespace orvane {

// A configurable function of a camera (biases, ROI, ...), with typed, named
// parameters. getParam and setParam return false, log why and change nothing
// when the name is unknown, the type is not the parameter's, or the value is
// out of range. Thread-safe.
class CameraTool {
  public:
    virtual ~CameraTool();
    virtual const ToolInfo getToolInfo() = 0;
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo() = 0;

    virtual bool getParamInfo(std::string name, EnumParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, BoolParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, FloatParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, IntParameterInfo& info) = 0;

    virtual bool getParam(std::string name, std::string& value);
    virtual bool getParam(std::string name, bool& value);
    virtual bool getParam(std::string name, float& value);
    virtual bool getParam(std::string name, int& value);

    virtual bool setParam(std::string name, const std::string& value);
    // Same as the string overload.
    virtual bool setParam(std::string name, const char* value);
    virtual bool setParam(std::string name, const bool& value);
    // Same as the float overload.
    virtual bool setParam(std::string name, const double& value);
    virtual bool setParam(std::string name, const float& value);
    virtual bool setParam(std::string name, const int& value);

  protected:
    // Logs that `name` takes no value of `type` and returns false.
    bool refuseType(const std::string& name, const char* type);
};

}  // namespace orvane
