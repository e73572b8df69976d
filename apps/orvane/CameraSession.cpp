// Opening cameras by serial, tools by name, --set and live counters.

#include "CameraSession.h"

#include <cstdlib>

#include "Output.h"
#include "orvane/DvsCameraPrivate.h"
#include "orvane/OrvaneBrisca.h"
#include "orvane/PropheseeEVK4.h"
#include "orvane/TandroCamera.h"

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

Json describeTool(CameraTool& tool, const ToolInfo& info) {
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
            if (tool.getParam(name, iv))
                p["value"] = iv;
        } else if (basic.type == ParameterType::Float && tool.getParamInfo(name, f)) {
            p.update({{"min", f.min}, {"max", f.max}, {"default", f.defaultValue}});
            if (tool.getParam(name, fv))
                p["value"] = fv;
        } else if (basic.type == ParameterType::Enum && tool.getParamInfo(name, e)) {
            p.update({{"values", e.values}, {"default", e.defaultValue}});
            if (tool.getParam(name, ev))
                p["value"] = ev;
        } else if (basic.type == ParameterType::Bool && tool.getParamInfo(name, b)) {
            p["default"] = b.defaultValue;
            if (tool.getParam(name, bv))
                p["value"] = bv;
        }
        parameters[name] = p;
    }
    return parameters;
}

void applySettings(CameraFacade& camera, const std::vector<std::string>& settings) {
    for (const std::string& setting : settings) {
        const size_t dot = setting.find('.');
        const size_t equals = setting.find('=');
        if (dot == std::string::npos || equals == std::string::npos || equals < dot) {
            throw UsageError("--set " + setting + ": write TOOL.PARAM=VALUE, e.g. roi.enable=true");
        }
        const std::string toolText = setting.substr(0, dot);
        const std::string name = setting.substr(dot + 1, equals - dot - 1);
        const std::string value = setting.substr(equals + 1);
        std::shared_ptr<CameraTool> tool;
        ToolInfo info;
        for (const ToolInfo& candidate : camera.getAllToolsInfo()) {
            if (toolName(candidate.toolType) == toolText) {
                tool = camera.getTool(candidate.toolType);
                info = candidate;
            }
        }
        if (!tool) {
            throw UsageError("--set " + setting + ": the camera has no tool '" + toolText +
                             "' ('orvane tools SERIAL' lists them)");
        }
        Json parameters = describeTool(*tool, info);
        if (!parameters.contains(name)) {
            throw UsageError("--set " + setting + ": " + toolText + " has no parameter '" + name +
                             "'");
        }
        const Json& p = parameters[name];
        const std::string type = p["type"];
        bool accepted = false;
        try {
            size_t used = 0;
            if (type == "int") {
                const int v = std::stoi(value, &used);
                accepted = used == value.size() && tool->setParam(name, v);
            } else if (type == "float") {
                const float v = std::stof(value, &used);
                accepted = used == value.size() && tool->setParam(name, v);
            } else if (type == "bool") {
                const bool yes = value == "true" || value == "on" || value == "1";
                const bool no = value == "false" || value == "off" || value == "0";
                accepted = (yes || no) && tool->setParam(name, yes);
            } else {
                accepted = tool->setParam(name, value);
            }
        } catch (const std::exception&) {
            accepted = false;
        }
        LibraryLog::takeLast();
        if (!accepted) {
            throw Failure("--set " + setting + ": refused; " + toolText + "." + name + " takes " +
                          type + " " + parameterRange(p));
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
