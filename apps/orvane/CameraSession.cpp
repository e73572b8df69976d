// Opening cameras by serial, tools by name, --set and live counters.

#include "CameraSession.h"

#include <algorithm>
#include <cstdlib>

#include "Output.h"
#include "orvane/DvsCameraPrivate.h"
#include "orvane/OrvaneBrisca.h"
#include "orvane/PropheseeEVK4.h"
#include "orvane/TandroCamera.h"
#include "orvane/hal/Imx415ApsCtrl.h"
#include "orvane/hal/Imx636AntiFlicker.h"
#include "orvane/hal/Imx636Biases.h"
#include "orvane/hal/Imx636EventRateControl.h"
#include "orvane/hal/Imx636EventTrailFilter.h"
#include "orvane/hal/Imx636ROI.h"
#include "orvane/hal/Imx636Sync.h"
#include "orvane/hal/Imx636TriggerIn.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/RegisterTables.h"

namespace orvane::cli {

namespace {

const std::vector<std::pair<ToolType, const char*>> kToolNames = {
    {TOOL_BIASES, "biases"},
    {TOOL_TRIGGER_IN, "trigger_in"},
    {TOOL_SYNC, "sync"},
    {TOOL_ANTI_FLICKER, "anti_flicker"},
    {TOOL_EVENT_TRAIL_FILTER, "event_trail_filter"},
    {TOOL_EVENT_RATE_CONTROL, "event_rate_control"},
    {TOOL_ROI, "roi"},
    {TOOL_APS_CTRL, "aps_ctrl"},
};

const char* typeName(ParameterType type) {
    switch (type) {
        case ParameterType::Enum:
            return "enum";
        case ParameterType::Bool:
            return "bool";
        case ParameterType::Float:
            return "float";
        case ParameterType::Int:
            return "int";
    }
    return "?";
}

}  // namespace

std::string parameterRange(const Json& parameter) {
    if (parameter.contains("values")) {
        std::string text;
        for (const auto& value : parameter["values"]) {
            text += (text.empty() ? "" : "|") + value.get<std::string>();
        }
        return text;
    }
    if (parameter.contains("min")) {
        return parameter["min"].dump() + ".." + parameter["max"].dump();
    }
    return "true|false";
}

std::string familyOf(const CameraDescription& d) {
    const bool evk4 =
        d.vendorId == PropheseeEVK4::vendorId && d.productId == PropheseeEVK4::productId;
    const bool brisca =
        d.vendorId == OrvaneBrisca::vendorId && d.productId == OrvaneBrisca::productId;
    return evk4 || brisca ? "event" : "fusion";
}

std::string toolName(ToolType type) {
    for (const auto& [t, name] : kToolNames) {
        if (t == type) {
            return name;
        }
    }
    return "tool_" + std::to_string(static_cast<int>(type));
}

CameraFacade& OpenedCamera::facade() const {
    if (fusion) {
        return *fusion;
    }
    return *events;
}

CameraDescription findCamera(DvsCameraManager& manager, const std::string& serial) {
    for (const CameraDescription& d : manager.getCameraDescs()) {
        if (d.serial == serial) {
            return d;
        }
    }
    throw failed(serial + ": no such camera attached ('orvane list' shows the cameras)");
}

OpenedCamera openCamera(DvsCameraManager& manager, const CameraDescription& description) {
    OpenedCamera camera;
    if (familyOf(description) == "event") {
        camera.events = manager.openCamera(description.serial);
    } else {
        camera.fusion = manager.openFusionCamera(description.serial);
    }
    if (!camera.events && !camera.fusion) {
        throw failed(description.serial + ": the camera cannot be opened");
    }
    return camera;
}

Json describeTool(CameraTool& tool, const ToolInfo& info, bool withValues) {
    Json parameters = Json::object();
    auto all = tool.getAllParamInfo();
    for (const std::string& name : info.paramNames) {
        const BasicParameterInfo& basic = all[name];
        Json p = {{"type", typeName(basic.type)}, {"description", basic.description}};
        IntParameterInfo i;
        FloatParameterInfo f;
        EnumParameterInfo e;
        BoolParameterInfo b;
        int iv = 0;
        float fv = 0;
        std::string ev;
        bool bv = false;
        if (basic.type == ParameterType::Int && tool.getParamInfo(name, i)) {
            p.update({{"min", i.min}, {"max", i.max}, {"default", i.defaultValue}});
            if (withValues && tool.getParam(name, iv))
                p["value"] = iv;
        } else if (basic.type == ParameterType::Float && tool.getParamInfo(name, f)) {
            p.update({{"min", f.min}, {"max", f.max}, {"default", f.defaultValue}});
            if (withValues && tool.getParam(name, fv))
                p["value"] = fv;
        } else if (basic.type == ParameterType::Enum && tool.getParamInfo(name, e)) {
            p.update({{"values", e.values}, {"default", e.defaultValue}});
            if (withValues && tool.getParam(name, ev))
                p["value"] = ev;
        } else if (basic.type == ParameterType::Bool && tool.getParamInfo(name, b)) {
            p["default"] = b.defaultValue;
            if (withValues && tool.getParam(name, bv))
                p["value"] = bv;
        }
        parameters[name] = p;
    }
    return parameters;
}

namespace {

// The tools of a family with their parameters, known without a camera: the
// tools are made over register maps with no device behind them and are only
// asked for their parameters.
Json toolCatalogue(const std::string& family) {
    auto events = std::make_shared<RegisterController>(nullptr, imx636RegisterTable,
                                                       kImx636RegisterTableRows, "PSEE/IMX636/");
    std::vector<std::shared_ptr<CameraTool>> tools = {
        std::make_shared<Imx636Biases>(events),
        std::make_shared<Imx636TriggerIn>(events),
        std::make_shared<Imx636AntiFlicker>(events),
        std::make_shared<Imx636EventRateControl>(events),
        std::make_shared<Imx636EventTrailFilter>(events),
        std::make_shared<Imx636ROI>(events)};
    if (family == "event") {
        tools.push_back(std::make_shared<Imx636Sync>(events));
    } else {
        tools.push_back(std::make_shared<Imx415ApsCtrl>(std::make_shared<RegisterController>(
            nullptr, imx415RegisterTable, kImx415RegisterTableRows, " ")));
    }
    Json catalogue = Json::object();
    for (const auto& tool : tools) {
        const ToolInfo info = tool->getToolInfo();
        catalogue[toolName(info.toolType)] = describeTool(*tool, info, false);
    }
    return catalogue;
}

bool parseBool(const std::string& value, bool& out) {
    if (value == "true" || value == "on" || value == "1") {
        out = true;
        return true;
    }
    if (value == "false" || value == "off" || value == "0") {
        out = false;
        return true;
    }
    return false;
}

// The value as the parameter's JSON type when it is one the parameter takes.
bool acceptedValue(const Json& p, const std::string& value, Json& out) {
    const std::string type = p["type"];
    try {
        size_t used = 0;
        if (type == "int") {
            const int v = std::stoi(value, &used);
            out = v;
            return used == value.size() && v >= p["min"].get<int>() && v <= p["max"].get<int>();
        }
        if (type == "float") {
            const float v = std::stof(value, &used);
            out = v;
            return used == value.size() && v >= p["min"].get<float>() && v <= p["max"].get<float>();
        }
    } catch (const std::exception&) {
        return false;
    }
    if (type == "bool") {
        bool v = false;
        if (!parseBool(value, v)) {
            return false;
        }
        out = v;
        return true;
    }
    out = value;
    const auto& values = p["values"];
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

std::vector<Setting> checkSettings(const std::vector<std::string>& settings,
                                   const std::string& family) {
    const Json catalogue = toolCatalogue(family);
    std::vector<Setting> checked;
    for (const std::string& text : settings) {
        const size_t dot = text.find('.');
        const size_t equals = text.find('=');
        if (dot == std::string::npos || equals == std::string::npos || equals < dot) {
            throw UsageError("--set " + text + ": write TOOL.PARAM=VALUE, e.g. roi.enable=true");
        }
        Setting setting{text, text.substr(0, dot), text.substr(dot + 1, equals - dot - 1), Json()};
        const std::string value = text.substr(equals + 1);
        if (!catalogue.contains(setting.tool)) {
            throw UsageError("--set " + text + ": the camera has no tool '" + setting.tool +
                             "' ('orvane tools SERIAL' lists them)");
        }
        const Json& parameters = catalogue[setting.tool];
        if (!parameters.contains(setting.name)) {
            throw UsageError("--set " + text + ": " + setting.tool + " has no parameter '" +
                             setting.name + "'");
        }
        const Json& p = parameters[setting.name];
        if (!acceptedValue(p, value, setting.value)) {
            throw UsageError("--set " + text + ": " + setting.tool + "." + setting.name +
                             " takes " + p["type"].get<std::string>() + " " + parameterRange(p));
        }
        checked.push_back(std::move(setting));
    }
    return checked;
}

void applySettings(CameraFacade& camera, const std::vector<Setting>& settings) {
    for (const Setting& setting : settings) {
        std::shared_ptr<CameraTool> tool;
        for (const ToolInfo& candidate : camera.getAllToolsInfo()) {
            if (toolName(candidate.toolType) == setting.tool) {
                tool = camera.getTool(candidate.toolType);
            }
        }
        if (!tool) {
            throw Failure("--set " + setting.text + ": the camera has no tool '" + setting.tool +
                          "'");
        }
        const Json& v = setting.value;
        // A window moved right or down keeps within the sensor: it narrows
        // rather than the move being refused for the full-size default.
        if (setting.tool == "roi" && (setting.name == "x" || setting.name == "y")) {
            const std::string size = setting.name == "x" ? "x_width" : "y_height";
            IntParameterInfo position;
            int current = 0;
            if (tool->getParamInfo(setting.name, position) && tool->getParam(size, current) &&
                v.get<int>() + current > position.max + 1) {
                tool->setParam(size, position.max + 1 - v.get<int>());
            }
        }
        bool accepted = false;
        if (v.is_boolean()) {
            accepted = tool->setParam(setting.name, v.get<bool>());
        } else if (v.is_number_integer()) {
            accepted = tool->setParam(setting.name, v.get<int>());
        } else if (v.is_number_float()) {
            accepted = tool->setParam(setting.name, v.get<float>());
        } else {
            accepted = tool->setParam(setting.name, v.get<std::string>());
        }
        const std::string reason = LibraryLog::takeLast();
        if (!accepted) {
            throw Failure("--set " + setting.text + ": refused by the camera" +
                          (reason.empty() ? "" : " (" + reason + ")"));
        }
    }
}

LiveCounters::LiveCounters(const OpenedCamera& camera) : camera_(camera) {
    if (camera.fusion) {
        subscribe(*camera.fusion);
        picturesId_ = camera.fusion->addApsFrameCallback([this](const ApsFrame&) { ++pictures; });
    } else {
        subscribe(*camera.events);
    }
}

LiveCounters::~LiveCounters() {
    if (camera_.fusion) {
        unsubscribe(*camera_.fusion);
        camera_.fusion->removeApsFrameCallback(picturesId_);
    } else {
        unsubscribe(*camera_.events);
    }
}

template <typename Camera>
void LiveCounters::subscribe(Camera& camera) {
    eventsId_ =
        camera.addEventsStreamHandleCallback([this](const Event2D* begin, const Event2D* end) {
            uint64_t onHere = 0;
            for (const Event2D* e = begin; e < end; ++e) {
                onHere += e->polarity != 0;
            }
            on += onHere;
            events += static_cast<uint64_t>(end - begin);
        });
    triggersId_ = camera.addTriggerInCallback([this](EventTriggerIn) { ++triggers; });
}

template <typename Camera>
void LiveCounters::unsubscribe(Camera& camera) {
    camera.removeEventsStreamHandleCallback(eventsId_);
    camera.removeTriggerInCallback(triggersId_);
}

uint64_t droppedBuffers(const OpenedCamera& camera) {
    if (auto* tandro = dynamic_cast<TandroCamera*>(camera.fusion.get())) {
        return tandro->droppedBuffers();
    }
    auto* implementation = dynamic_cast<DvsCameraPrivate*>(camera.events.get());
    return implementation ? implementation->droppedBuffers() : 0;
}

uint64_t picturesKept(const OpenedCamera& camera) {
    auto* tandro = dynamic_cast<TandroCamera*>(camera.fusion.get());
    return tandro ? tandro->recordedPicturesKept() : 0;
}

uint64_t picturesOffered(const OpenedCamera& camera) {
    auto* tandro = dynamic_cast<TandroCamera*>(camera.fusion.get());
    return tandro ? tandro->recordedPicturesReceived() : 0;
}

void setVideoOptions(const OpenedCamera& camera, const std::string& preset, double pictureRate) {
    auto* tandro = dynamic_cast<TandroCamera*>(camera.fusion.get());
    if (!tandro) {
        return;
    }
    if (!preset.empty()) {
        tandro->setVideoPreset(preset);
    }
    tandro->setVideoPictureRate(pictureRate);
}

}  // namespace orvane::cli
