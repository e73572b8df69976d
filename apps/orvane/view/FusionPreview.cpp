// Frame-sensor pictures and fusion images of a fusion camera, for the viewer.

#include "FusionPreview.h"

#include <utility>

namespace orvane::cli {

namespace {

constexpr uint64_t kShownEveryUs = 66000;  // 15 pictures a second
constexpr size_t kImagesKept = 64;         // two seconds of pulses at 30 a second

}  // namespace

FusionPreview::FusionPreview(FusionCamera& camera, int maxWidth, int maxHeight)
    : camera_(camera),
      eventWidth_(camera.getWidth(STREAM_DVS)),
      eventHeight_(camera.getHeight(STREAM_DVS)),
      frameBytes_(uint32_t{camera.getWidth(STREAM_APS)} * camera.getHeight(STREAM_APS) * 3),
      display_(camera.getWidth(STREAM_APS), camera.getHeight(STREAM_APS), maxWidth, maxHeight) {
    filling_.picture = display_.newPicture();
    waiting_.picture = display_.newPicture();
    encoding_.picture = display_.newPicture();
    triggerCallback_ =
        camera_.addTriggerInCallback([this](EventTriggerIn pulse) { onPulse(pulse); });
    frameCallback_ = camera_.addApsFrameCallback([this](const ApsFrame& frame) { onFrame(frame); });
}

FusionPreview::~FusionPreview() {
    camera_.removeApsFrameCallback(frameCallback_);
    camera_.removeTriggerInCallback(triggerCallback_);
}

void FusionPreview::onPulse(const EventTriggerIn& pulse) {
    std::shared_ptr<std::vector<uint16_t>> image;
    if (pulse.polarity == 0 || !camera_.getFusionEvents(image, pulse.timestamp) || !image) {
        return;
    }
    FusionImage packed{pulse.timestamp, {}, {}, 0};
    packed.packed =
        packFusionImage(*image, eventWidth_, eventHeight_, packed.counts, packed.events);
    image.reset();  // back to the camera's pool at once
    std::lock_guard<std::mutex> lock(imagesMutex_);
    images_.push_back(std::move(packed));
    if (images_.size() > kImagesKept) {
        images_.pop_front();
    }
}

void FusionPreview::onFrame(const ApsFrame& frame) {
    received_.fetch_add(1, std::memory_order_relaxed);
    // A few pictures a second are shown, and one the page has not taken yet
    // is not replaced: the frame thread should not lag for the viewer.
    if (frame.timestamp < lastShown_ + kShownEveryUs && frame.timestamp >= lastShown_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pictureMutex_);
        if (fresh_) {
            return;
        }
    }
    // A picture of another size than the camera said cannot be scaled.
    if (frame.data == nullptr || frame.dataSize != frameBytes_) {
        return;
    }
    lastShown_ = frame.timestamp;
    display_.scale(frame.data, *filling_.picture);
    filling_.time = frame.timestamp;
    std::lock_guard<std::mutex> lock(pictureMutex_);
    std::swap(filling_, waiting_);
    fresh_ = true;
}

std::vector<ViewPicture> FusionPreview::take() {
    {
        std::lock_guard<std::mutex> lock(pictureMutex_);
        if (!fresh_) {
            return {};
        }
        std::swap(waiting_, encoding_);
        fresh_ = false;
    }
    std::vector<ViewPicture> pictures;
    std::string jpeg = display_.message(*encoding_.picture, encoding_.time);
    if (!jpeg.empty()) {
        pictures.push_back({std::move(jpeg)});
    }
    std::lock_guard<std::mutex> lock(imagesMutex_);
    for (const FusionImage& image : images_) {
        if (image.time == encoding_.time) {
            pictures.push_back(eventPicture(image.packed, eventWidth_, eventHeight_, image.time, 0,
                                            image.counts, image.events, 'F'));
        }
    }
    return pictures;
}

}  // namespace orvane::cli
