#include "orvane/hal/CameraToolRegisterWithCallback.h"

namespace orvane {

CameraToolRegisterWithCallback::~CameraToolRegisterWithCallback() = default;

void CameraToolRegisterWithCallback::onEnum(const std::string& name,
                                            std::function<bool(const std::string&)> set,
                                            std::function<bool(std::string&)> get) {
    EnumParameterInfo info;
    getParamInfo(name, info);
    handlers_[name] = Handler<std::string>{std::move(set), std::move(get), info.defaultValue};
}

void CameraToolRegisterWithCallback::onBool(const std::string& name,
                                            std::function<bool(const bool&)> set,
                                            std::function<bool(bool&)> get) {
    BoolParameterInfo info;
    getParamInfo(name, info);
    handlers_[name] = Handler<bool>{std::move(set), std::move(get), info.defaultValue};
}

void CameraToolRegisterWithCallback::onFloat(const std::string& name,
                                             std::function<bool(const float&)> set,
                                             std::function<bool(float&)> get) {
    FloatParameterInfo info;
    getParamInfo(name, info);
    handlers_[name] = Handler<float>{std::move(set), std::move(get), info.defaultValue};
}

void CameraToolRegisterWithCallback::onInt(const std::string& name,
                                           std::function<bool(const int&)> set,
                                           std::function<bool(int&)> get) {
    IntParameterInfo info;
    getParamInfo(name, info);
    handlers_[name] = Handler<int>{std::move(set), std::move(get), info.defaultValue};
}

template <typename T, typename Info>
bool CameraToolRegisterWithCallback::set(const std::string& name, const T& value,
                                         const char* typeName) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Parameter* parameter = this->parameter(name);
    if (parameter == nullptr) {
        return false;
    }
    const Info* info = std::get_if<Info>(parameter);
    auto handler = handlers_.find(name);
    if (info == nullptr || handler == handlers_.end()) {
        return refuseType(name, typeName);
    }
    if constexpr (!std::is_same_v<T, bool>) {
        if (!accepts(*info, value)) {
            return false;
        }
    }
    auto& typed = std::get<Handler<T>>(handler->second);
    try {
        if (!typed.set(value)) {
            return false;
        }
    } catch (const std::exception& e) {
        return failed(e);
    }
    typed.current = value;
    return true;
}

template <typename T>
bool CameraToolRegisterWithCallback::get(const std::string& name, T& value, const char* typeName) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto handler = handlers_.find(name);
    if (handler == handlers_.end()) {
        return parameter(name) != nullptr && refuseType(name, typeName);
    }
    auto* typed = std::get_if<Handler<T>>(&handler->second);
    if (typed == nullptr) {
        return refuseType(name, typeName);
    }
    if (!typed->get) {
        value = typed->current;
        return true;
    }
    try {
        return typed->get(value);
    } catch (const std::exception& e) {
        return failed(e);
    }
}

bool CameraToolRegisterWithCallback::getParam(std::string name, std::string& value) {
    return get(name, value, "a text");
}
bool CameraToolRegisterWithCallback::getParam(std::string name, bool& value) {
    return get(name, value, "a bool");
}
bool CameraToolRegisterWithCallback::getParam(std::string name, float& value) {
    return get(name, value, "a float");
}
bool CameraToolRegisterWithCallback::getParam(std::string name, int& value) {
    return get(name, value, "an int");
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const std::string& value) {
    return set<std::string, EnumParameterInfo>(name, value, "a text");
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const char* value) {
    return CameraTool::setParam(std::move(name), value);
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const bool& value) {
    return set<bool, BoolParameterInfo>(name, value, "a bool");
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const float& value) {
    return set<float, FloatParameterInfo>(name, value, "a float");
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const int& value) {
    return set<int, IntParameterInfo>(name, value, "an int");
}

}  // namespace orvane
