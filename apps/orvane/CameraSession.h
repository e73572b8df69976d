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
#include "orvane/FusionCamera.h"

namespace orvane::cli {

// "event" for the event cameras (EVK4, Brisca), "fusion" for the others.
std::string familyOf(const CameraDescription& description);

// Tool names on the command line: "biases", "trigger_in", "roi", ...
std::string toolName(ToolType type);

// An opened camera of either family; exactly one of the two is set.
struct OpenedCamera {
    std::shared_ptr<DvsCamera> events;
    std::shared_ptr<FusionCamera> fusion;

    CameraFacade& facade() const;
};

// The description of the attached camera of `serial`; throws Failure when none is.
CameraDescription findCamera(DvsCameraManager& manager, const std::string& serial);

// Brings the camera up. Throws Failure when it cannot be opened.
OpenedCamera openCamera(DvsCameraManager& manager, const CameraDescription& description);

// A tool's parameters as JSON: name -> {type, description, default, min/max or
// values, and with `withValues` the value the camera reads back}.
Json describeTool(CameraTool& tool, const ToolInfo& info, bool withValues = true);

// What a parameter of describeTool accepts: "0..255", "trail|stc_cut_trail".
std::string parameterRange(const Json& parameter);

// A TOOL.PARAM=VALUE setting, checked: the value has the parameter's type.
struct Setting {
    std::string text, tool, name;
    Json value;
};

// Checks TOOL.PARAM=VALUE settings against the tools of a camera family
// ("event" or "fusion") before any camera is opened: throws UsageError for a
// malformed setting, an unknown tool or parameter, or a value out of range
// (the message gives the accepted range).
std::vector<Setting> checkSettings(const std::vector<std::string>& settings,
                                   const std::string& family);

// Applies checked settings in order; throws Failure when the camera refuses one.
void applySettings(CameraFacade& camera, const std::vector<Setting>& settings);

// What the camera's callbacks have delivered, readable from any thread
// (pictures only from a fusion camera streaming frames).
class LiveCounters {
  public:
    explicit LiveCounters(const OpenedCamera& camera);
    ~LiveCounters();
    LiveCounters(const LiveCounters&) = delete;
    LiveCounters& operator=(const LiveCounters&) = delete;

    std::atomic<uint64_t> events{0}, on{0}, triggers{0}, pictures{0};

  private:
    template <typename Camera>
    void subscribe(Camera& camera);
    template <typename Camera>
    void unsubscribe(Camera& camera);

    const OpenedCamera& camera_;
    uint32_t eventsId_ = 0, triggersId_ = 0, picturesId_ = 0;
};

// Buffers the host dropped because decoding fell behind, or left undecoded at
// stop; 0 when the camera does not count them.
uint64_t droppedBuffers(const OpenedCamera& camera);

// Pictures the current or last video recording kept (encoded); 0 for event cameras.
uint64_t picturesKept(const OpenedCamera& camera);
// Pictures that reached the current or last video recording, kept or not.
uint64_t picturesOffered(const OpenedCamera& camera);

// The encoder preset (empty: the camera's default) and the target picture rate
// (0: every picture) of a fusion camera's next video recording.
void setVideoOptions(const OpenedCamera& camera, const std::string& preset, double pictureRate);

}  // namespace orvane::cli
