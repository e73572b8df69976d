#pragma once

// Cameras for the commands: finding and opening one by serial, its tools by
// name, --set, and live counters fed by the camera's callbacks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "Output.h"

#include "orvane/DvsCamera.h"
#include "orvane/DvsCameraManager.h"

namespace orvane::cli {

// "event" for the event cameras (EVK4, Brisca), "fusion" for the others.
std::string familyOf(const CameraDescription& description);

// Tool names on the command line: "biases", "trigger_in", "roi", ...
std::string toolName(ToolType type);

// Finds the camera of `serial` and brings it up. Throws Failure when it is not
// attached or cannot be opened, and for fusion cameras, which this build
// cannot stream yet.
std::shared_ptr<DvsCamera> openEventCamera(DvsCameraManager& manager, const std::string& serial);

// A tool's parameters as JSON: name -> {type, description, value, default, and
// min/max or values}.
Json describeTool(CameraTool& tool, const ToolInfo& info);

// What a parameter of describeTool accepts: "0..255", "trail|stc_cut_trail".
std::string parameterRange(const Json& parameter);

// Applies TOOL.PARAM=VALUE settings in order. Throws UsageError for a malformed
// setting or an unknown tool or parameter, Failure when the camera refuses a
// value (the message gives the accepted range).
void applySettings(DvsCamera& camera, const std::vector<std::string>& settings);

// What the camera's callbacks have delivered, readable from any thread.
class LiveCounters {
  public:
    explicit LiveCounters(DvsCamera& camera);
    ~LiveCounters();
    LiveCounters(const LiveCounters&) = delete;
    LiveCounters& operator=(const LiveCounters&) = delete;

    std::atomic<uint64_t> events{0}, on{0}, triggers{0};

  private:
    DvsCamera& camera_;
    uint32_t eventsId_, triggersId_;
};

// Buffers the host dropped because decoding fell behind; 0 when the camera
// does not count them.
uint64_t droppedBuffers(DvsCamera& camera);

}  // namespace orvane::cli
