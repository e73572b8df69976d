// Camera tools from Python: parameters by name, typed by the tool's own
// parameter table, refused with the library's reasons.

#include "Tool.h"

#include <pybind11/stl.h>

#include "Docs.h"
#include "LogErrors.h"
#include "orvane/hal/CameraTool.h"

namespace orvane::python {

namespace {

// Python's names of the tools, indexed by ToolType.
const char* const kToolNames[] = {
    "biases", "trigger_in", "sync", "anti_flicker", "event_trail_filter", "event_rate_control",
    "roi",    "aps_ctrl"};

ToolType toolType(const std::string& name) {
    for (int type = TOOL_BIASES; type <= TOOL_APS_CTRL; ++type) {
        if (name == kToolNames[type]) {
            return static_cast<ToolType>(type);
        }
    }
    throw py::value_error("no tool named '" + name +
                          "' (biases, trigger_in, sync, anti_flicker, event_trail_filter, "
                          "event_rate_control, roi, aps_ctrl)");
}

class Tool {
  public:
    Tool(std::shared_ptr<CameraTool> tool, std::string name)
        : tool_(std::move(tool)), name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    std::vector<std::string> params() { return tool_->getToolInfo().paramNames; }
    std::string description() { return tool_->getToolInfo().description; }

    py::dict info(const std::string& param) {
        py::dict out;
        out["name"] = param;
        switch (typeOf(param)) {
            case ParameterType::Bool: {
                BoolParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "bool", info.defaultValue);
                break;
            }
            case ParameterType::Int: {
                IntParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "int", info.defaultValue);
                out["min"] = info.min;
                out["max"] = info.max;
                break;
            }
            case ParameterType::Float: {
                FloatParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "float", info.defaultValue);
                out["min"] = info.min;
                out["max"] = info.max;
                break;
            }
            case ParameterType::Enum: {
                EnumParameterInfo info;
                tool_->getParamInfo(param, info);
                describe(out, info, "enum", info.defaultValue);
                out["values"] = info.values;
                break;
            }
        }
        return out;
    }

    py::object get(const std::string& param) {
        LogErrors errors;
        switch (typeOf(param)) {
            case ParameterType::Bool:
                return read<bool>(param, errors);
            case ParameterType::Int:
                return read<int>(param, errors);
            case ParameterType::Float:
                return read<float>(param, errors);
            case ParameterType::Enum:
                return read<std::string>(param, errors);
        }
        return py::none();
    }

    void set(const std::string& param, const py::object& value) {
        LogErrors errors;
        bool done = false;
        try {
            switch (typeOf(param)) {
                case ParameterType::Bool:
                    done = write(param, value.cast<bool>());
                    break;
                case ParameterType::Int:
                    done = write(param, value.cast<int>());
                    break;
                case ParameterType::Float:
                    done = write(param, value.cast<float>());
                    break;
                case ParameterType::Enum:
                    done = write(param, value.cast<std::string>());
                    break;
            }
        } catch (const py::cast_error&) {
            throw py::type_error(name_ + "." + param + " does not take " +
                                 std::string(py::str(py::type::of(value).attr("__name__"))));
        }
        if (!done) {
            throw py::value_error(errors.message(name_ + "." + param + " refused the value"));
        }
    }

  private:
    ParameterType typeOf(const std::string& param) {
        const auto all = tool_->getAllParamInfo();
        const auto found = all.find(param);
        if (found == all.end()) {
            std::string names;
            for (const auto& entry : all) {
                names += (names.empty() ? "" : ", ") + entry.first;
            }
            throw py::value_error(name_ + " has no parameter '" + param + "' (" + names + ")");
        }
        return found->second.type;
    }

    template <class T>
    static void describe(py::dict& out, const BasicParameterInfo& info, const char* type,
                         const T& defaultValue) {
        out["type"] = type;
        out["description"] = info.description;
        out["default"] = defaultValue;
    }

    template <class T>
    py::object read(const std::string& param, const LogErrors& errors) {
        T value{};
        if (!tool_->getParam(param, value)) {
            throw py::value_error(errors.message("cannot read " + name_ + "." + param));
        }
        return py::cast(value);
    }

    template <class T>
    bool write(const std::string& param, const T& value) {
        py::gil_scoped_release nogil;
        return tool_->setParam(param, value);
    }

    std::shared_ptr<CameraTool> tool_;
    std::string name_;
};

}  // namespace

py::object toolOf(CameraFacade& camera, const std::string& name) {
    LogErrors errors;
    auto tool = camera.getTool(toolType(name));
    if (!tool) {
        throw std::runtime_error(errors.message("Tool not found") + ": " + name);
    }
    return py::cast(Tool(std::move(tool), name));
}

std::vector<std::string> toolNames(CameraFacade& camera) {
    std::vector<std::string> names;
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        names.push_back(kToolNames[info.toolType]);
    }
    return names;
}

void bindTool(py::module_& m) {
    py::class_<Tool>(m, "Tool", doc::kToolClass)
        .def_property_readonly("name", &Tool::name, doc::kToolName)
        .def_property_readonly("params", &Tool::params, doc::kParams)
        .def_property_readonly("description", &Tool::description, doc::kDescription)
        .def("info", &Tool::info, py::arg("param"), doc::kInfo)
        .def("get", &Tool::get, py::arg("param"), doc::kGet)
        .def("set", &Tool::set, py::arg("param"), py::arg("value"), doc::kSet);
}

}  // namespace orvane::python
