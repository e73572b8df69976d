#pragma once

#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "orvane/hal/CameraTool.h"

namespace orvane {

// A tool's parameter table: name, type, range and default of each parameter.
class CameraToolBasePrivate : public CameraTool {
  public:
    ~CameraToolBasePrivate() override;
    std::map<std::string, BasicParameterInfo> getAllParamInfo() override;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;

  protected:
    using Parameter =
        std::variant<EnumParameterInfo, BoolParameterInfo, FloatParameterInfo, IntParameterInfo>;

    void addEnum(std::string name, std::vector<std::string> values, std::string defaultValue,
                 std::string description);
    void addBool(std::string name, bool defaultValue, std::string description);
    void addFloat(std::string name, float min, float max, float defaultValue,
                  std::string description);
    void addInt(std::string name, int min, int max, int defaultValue, std::string description);

    // The parameter of that name, or nullptr (logged as unknown).
    const Parameter* parameter(const std::string& name);
    // Range checks that log why a value is refused.
    bool accepts(const IntParameterInfo& info, int value);
    bool accepts(const FloatParameterInfo& info, float value);
    bool accepts(const EnumParameterInfo& info, const std::string& value);

    const std::map<std::string, Parameter>& parameters() const { return parameters_; }

    // Serialises parameter changes and reads of a tool.
    std::recursive_mutex mutex_;

  private:
    template <typename Info>
    bool copyInfo(const std::string& name, Info& info);

    std::map<std::string, Parameter> parameters_;
};

}  // namespace orvane
