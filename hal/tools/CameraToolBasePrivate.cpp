#include "orvane/hal/CameraToolBasePrivate.h"

#include <algorithm>
#include <cmath>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/tools/CameraToolBasePrivate";

template <typename Info>
Info named(std::string name, ParameterType type, std::string description) {
    Info info;
    info.type = type;
    info.name = std::move(name);
    info.description = std::move(description);
    return info;
}
}  // namespace

CameraToolBasePrivate::~CameraToolBasePrivate() = default;

void CameraToolBasePrivate::addEnum(std::string name, std::vector<std::string> values,
                                    std::string defaultValue, std::string description) {
    auto info = named<EnumParameterInfo>(name, ParameterType::Enum, std::move(description));
    info.values = std::move(values);
    info.defaultValue = std::move(defaultValue);
    parameters_[name] = info;
}

void CameraToolBasePrivate::addBool(std::string name, bool defaultValue, std::string description) {
    auto info = named<BoolParameterInfo>(name, ParameterType::Bool, std::move(description));
    info.defaultValue = defaultValue;
    parameters_[name] = info;
}

void CameraToolBasePrivate::addFloat(std::string name, float min, float max, float defaultValue,
                                     std::string description) {
    auto info = named<FloatParameterInfo>(name, ParameterType::Float, std::move(description));
    info.min = min;
    info.max = max;
    info.defaultValue = defaultValue;
    parameters_[name] = info;
}

void CameraToolBasePrivate::addInt(std::string name, int min, int max, int defaultValue,
                                   std::string description) {
    auto info = named<IntParameterInfo>(name, ParameterType::Int, std::move(description));
    info.min = min;
    info.max = max;
    info.defaultValue = defaultValue;
    parameters_[name] = info;
}

std::map<std::string, BasicParameterInfo> CameraToolBasePrivate::getAllParamInfo() {
    std::map<std::string, BasicParameterInfo> all;
    for (const auto& entry : parameters_) {
        std::visit(
            [&](const auto& info) {
                all[entry.first] = static_cast<const BasicParameterInfo&>(info);
            },
            entry.second);
    }
    return all;
}

template <typename Info>
bool CameraToolBasePrivate::copyInfo(const std::string& name, Info& info) {
    const Parameter* parameter = this->parameter(name);
    if (parameter == nullptr) {
        return false;
    }
    if (const Info* typed = std::get_if<Info>(parameter)) {
        info = *typed;
        return true;
    }
    return refuseType(name, "this kind of");
}

bool CameraToolBasePrivate::getParamInfo(std::string name, EnumParameterInfo& info) {
    return copyInfo(name, info);
}
bool CameraToolBasePrivate::getParamInfo(std::string name, BoolParameterInfo& info) {
    return copyInfo(name, info);
}
bool CameraToolBasePrivate::getParamInfo(std::string name, FloatParameterInfo& info) {
    return copyInfo(name, info);
}
bool CameraToolBasePrivate::getParamInfo(std::string name, IntParameterInfo& info) {
    return copyInfo(name, info);
}

const CameraToolBasePrivate::Parameter* CameraToolBasePrivate::parameter(const std::string& name) {
    auto it = parameters_.find(name);
    if (it == parameters_.end()) {
        ORVANE_LOG(LOG_WARNING, "%s: no parameter \"%s\"", getToolInfo().description.c_str(),
                   name.c_str());
        return nullptr;
    }
    return &it->second;
}

bool CameraToolBasePrivate::accepts(const IntParameterInfo& info, int value) {
    if (value < info.min || value > info.max) {
        ORVANE_LOG(LOG_WARNING, "%s: %s = %d refused, it must lie in [%d, %d]",
                   getToolInfo().description.c_str(), info.name.c_str(), value, info.min, info.max);
        return false;
    }
    return true;
}

bool CameraToolBasePrivate::accepts(const FloatParameterInfo& info, float value) {
    if (!std::isfinite(value) || value < info.min || value > info.max) {
        ORVANE_LOG(LOG_WARNING, "%s: %s = %g refused, it must lie in [%g, %g]",
                   getToolInfo().description.c_str(), info.name.c_str(), double(value),
                   double(info.min), double(info.max));
        return false;
    }
    return true;
}

bool CameraToolBasePrivate::accepts(const EnumParameterInfo& info, const std::string& value) {
    if (std::find(info.values.begin(), info.values.end(), value) == info.values.end()) {
        std::string choices;
        for (const auto& v : info.values) {
            choices += (choices.empty() ? "" : ", ") + v;
        }
        ORVANE_LOG(LOG_WARNING, "%s: %s = \"%s\" refused, it must be one of: %s",
                   getToolInfo().description.c_str(), info.name.c_str(), value.c_str(),
                   choices.c_str());
        return false;
    }
    return true;
}

}  // namespace orvane
