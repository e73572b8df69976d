#pragma once

#include <string>
#include <vector>

namespace orvane {

enum class ParameterType { Enum, Bool, Float, Int };

// A tool parameter: its type and what it does. The typed infos add the values
// a parameter accepts and its default.
struct BasicParameterInfo {
    ParameterType type = ParameterType::Int;
    std::string name;
    std::string description;
};

struct EnumParameterInfo : BasicParameterInfo {
    std::vector<std::string> values;
    std::string defaultValue;
};

struct BoolParameterInfo : BasicParameterInfo {
    bool defaultValue = false;
};

struct FloatParameterInfo : BasicParameterInfo {
    float min = 0, max = 0, defaultValue = 0;
};

struct IntParameterInfo : BasicParameterInfo {
    int min = 0, max = 0, defaultValue = 0;
};

}  // namespace orvane
