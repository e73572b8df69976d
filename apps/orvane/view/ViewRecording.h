#pragma once

// A raw recording played back in the viewer: at 1x, faster, slower or paused,
// with seeks anywhere through the index, and the event rate over the whole
// file for the timeline.

#include <memory>

#include "PlaybackClock.h"
#include "ViewSource.h"
#include "orvane/RawFileReader.h"

namespace orvane::cli {

class ViewRecording : public ViewSource {
  public:
    // Opens and indexes the recording; throws Failure naming the file.
    ViewRecording(const std::string& path, bool quiet);

    Json describe() override;
    std::optional<ViewPicture> picture(uint64_t windowUs) override;
    Json status() override;
    // {"op":"seek","t":us}, {"op":"speed","x":0.1..100}, {"op":"pause"},
    // {"op":"play"}.
    Json control(const Json& request) override;
    void finish() override {}
    // The first page starts the playback: nobody would see its first seconds.
    void viewerJoined() override;

  private:
    std::string path_;
    std::unique_ptr<RawFileReader> reader_;
    uint64_t start_ = 0, end_ = 0;
    std::unique_ptr<PlaybackClock> clock_;
    uint64_t shownEvents_ = 0;
};

}  // namespace orvane::cli
