#pragma once

// A live camera in the viewer: its events drawn over a window that slides with
// the camera's time, its event rate, drops and tools, and recording to a raw
// file in the directory the viewer may write to.

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>

#include "../CameraSession.h"
#include "EventImage.h"
#include "FusionPreview.h"
#include "ViewSource.h"

namespace orvane::cli {

class ViewCamera : public ViewSource {
  public:
    // Opens and starts the camera of `serial` (the first one found when empty);
    // throws Failure when there is none or it cannot be opened.
    ViewCamera(const std::string& serial, std::filesystem::path recordDir);
    ~ViewCamera() override;

    Json describe() override;
    std::optional<ViewPicture> picture(uint64_t windowUs) override;
    std::vector<ViewPicture> framePictures() override;
    Json status() override;
    // {"op":"set","tool":"roi","param":"x","value":100},
    // {"op":"record","on":true,"name":"take.raw"}, {"op":"record","on":false}.
    // A fusion camera records its video beside the events (take.mp4).
    Json control(const Json& request) override;
    void finish() override;

  private:
    Json tools();
    Json record(const Json& request);
    // 0, or -1 when a file could not be written in full.
    int stopRecording();

    DvsCameraManager manager_;
    CameraDescription description_;
    OpenedCamera camera_;
    std::filesystem::path recordDir_;
    std::unique_ptr<LiveEventImage> image_;
    std::unique_ptr<LiveCounters> counters_;
    std::unique_ptr<FusionPreview> preview_;  // fusion cameras only
    uint32_t imageCallback_ = 0;
    bool streaming_ = false;
    std::vector<std::string> recordingPaths_;  // empty when not recording
    // Event rate: the count at each status, the last few seconds of them.
    uint64_t lastCount_ = 0;
    std::chrono::steady_clock::time_point lastStatus_;
    std::deque<double> rates_;
    uint64_t lastPictureEnd_ = 0;
};

}  // namespace orvane::cli
