#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "orvane/hal/CameraToolRegister.h"

namespace orvane {

// A register tool whose parameters are carried out by callbacks: a setter that
// writes the registers of a validated value (returning false on a device
// failure) and an optional getter that reads them back. Without a getter a
// parameter reads as the last value set (its default at first).
class CameraToolRegisterWithCallback : public CameraToolRegister {
  public:
    using CameraToolRegister::CameraToolRegister;
    ~CameraToolRegisterWithCallback() override;

    using CameraTool::setParam;
    bool getParam(std::string name, std::string& value) override;
    bool getParam(std::string name, bool& value) override;
    bool getParam(std::string name, float& value) override;
    bool getParam(std::string name, int& value) override;
    bool setParam(std::string name, const std::string& value) override;
    bool setParam(std::string name, const char* value) override;
    bool setParam(std::string name, const bool& value) override;
    bool setParam(std::string name, const float& value) override;
    bool setParam(std::string name, const int& value) override;

  protected:
    template <typename T>
    struct Handler {
        std::function<bool(const T&)> set;
        std::function<bool(T&)> get;  // may be empty
        T current{};
    };

    void onEnum(const std::string& name, std::function<bool(const std::string&)> set,
                std::function<bool(std::string&)> get = nullptr);
    void onBool(const std::string& name, std::function<bool(const bool&)> set,
                std::function<bool(bool&)> get = nullptr);
    void onFloat(const std::string& name, std::function<bool(const float&)> set,
                 std::function<bool(float&)> get = nullptr);
    void onInt(const std::string& name, std::function<bool(const int&)> set,
               std::function<bool(int&)> get = nullptr);

    // The value a parameter holds now (for setters that combine parameters).
    template <typename T>
    T current(const std::string& name) {
        return std::get<Handler<T>>(handlers_.at(name)).current;
    }

  private:
    template <typename T, typename Info>
    bool set(const std::string& name, const T& value, const char* typeName);
    template <typename T>
    bool get(const std::string& name, T& value, const char* typeName);

    std::map<std::string,
             std::variant<Handler<std::string>, Handler<bool>, Handler<float>, Handler<int>>>
        handlers_;
};

}  // namespace orvane
