#pragma once

// A fusion camera's frame-sensor pictures for the viewer, each with the fusion
// image of its exposure. The frame callback scales the newest picture to the
// display size; the server's thread encodes it for the page. A picture
// arriving while the last one still waits is not shown.
//
// Fusion images are taken as their pulse closes them, on the event thread: the
// camera keeps only a few for their pictures, and a frame thread that lags
// (a loaded machine, a browser beside a 4K sensor) would find them gone. The
// last two seconds of them wait here, packed, for their pictures.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "DisplayPicture.h"
#include "EventImage.h"
#include "orvane/FusionCamera.h"

namespace orvane::cli {

class FusionPreview {
  public:
    // Registers its frame and trigger callbacks; throws Failure when pictures
    // of the camera's size cannot be shown.
    FusionPreview(FusionCamera& camera, int maxWidth, int maxHeight);
    ~FusionPreview();
    FusionPreview(const FusionPreview&) = delete;
    FusionPreview& operator=(const FusionPreview&) = delete;

    int width() const { return display_.width(); }
    int height() const { return display_.height(); }
    // Server thread: the newest picture and its fusion image, once each.
    std::vector<ViewPicture> take();
    uint64_t received() const { return received_.load(std::memory_order_relaxed); }

  private:
    void onFrame(const ApsFrame& frame);
    void onPulse(const EventTriggerIn& pulse);

    FusionCamera& camera_;
    const uint16_t eventWidth_, eventHeight_;
    const uint32_t frameBytes_;
    DisplayPicture display_;
    uint32_t frameCallback_ = 0, triggerCallback_ = 0;
    std::atomic<uint64_t> received_{0};

    // A picture as the frame thread fills it and as it waits for the server.
    struct Shown {
        av::FramePtr picture;
        uint64_t time = 0;
    };
    Shown filling_, encoding_;
    uint64_t lastShown_ = 0;   // frame thread
    std::mutex pictureMutex_;  // guards waiting_ and fresh_
    Shown waiting_;
    bool fresh_ = false;

    struct FusionImage {
        uint64_t time;
        std::vector<uint8_t> packed;
        EventPictureCounts counts;
        uint64_t events;
    };
    std::mutex imagesMutex_;
    std::deque<FusionImage> images_;  // oldest first
};

}  // namespace orvane::cli
