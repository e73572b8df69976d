#pragma once

// A video written by orvane (an export of events, or a fusion camera's frame
// sensor) played back in the viewer: its pictures at their times, at 1x,
// faster, slower or paused, with a seek bar.

#include <memory>
#include <optional>
#include <vector>

#include "DisplayPicture.h"
#include "PlaybackClock.h"
#include "ViewSource.h"
#include "orvane/ApsFileReader.h"

namespace orvane::cli {

class ViewVideo : public ViewSource {
  public:
    // Opens and indexes the video; throws Failure naming the file.
    explicit ViewVideo(const std::string& path);

    Json describe() override;
    std::optional<ViewPicture> picture(uint64_t windowUs) override;
    Json status() override;
    // As a recording: seek, speed, pause, play.
    Json control(const Json& request) override;
    void finish() override {}
    void viewerJoined() override { clock_->joined(); }

  private:
    std::string path_;
    std::unique_ptr<ApsFileReader> reader_;
    std::vector<uint64_t> times_;  // of the pictures, us
    std::optional<DisplayPicture> display_;
    av::FramePtr scaled_;
    std::unique_ptr<PlaybackClock> clock_;
    int shown_ = -1;  // the picture on the page
};

}  // namespace orvane::cli
