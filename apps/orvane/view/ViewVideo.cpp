// Playback of a video in the viewer.

#include "ViewVideo.h"

#include <algorithm>
#include <stdexcept>

#include "../VideoFile.h"
#include "orvane/Mp4FileReader.h"

namespace orvane::cli {

namespace {

// The video is the page's main picture: shown at up to this size.
constexpr int kMaxWidth = 1280, kMaxHeight = 720;
constexpr size_t kTimelineBars = 1000;

}  // namespace

ViewVideo::ViewVideo(const std::string& path) : path_(path), reader_(openVideo(path)) {
    times_ = pictureTimes(*reader_, path);
    if (times_.empty()) {
        throw Failure(path + ": holds no pictures");
    }
    // Pictures are in file order; a seek needs them in time order.
    if (!std::is_sorted(times_.begin(), times_.end())) {
        throw Failure(path + ": its pictures' times are not in order");
    }
    display_.emplace(reader_->getWidth(), reader_->getHeight(), kMaxWidth, kMaxHeight);
    scaled_ = display_->newPicture();
    clock_ = std::make_unique<PlaybackClock>(times_.front(), times_.back());
}

Json ViewVideo::describe() {
    const uint64_t start = times_.front(), end = times_.back();
    const double barUs = std::max<double>(end - start, 1) / kTimelineBars;
    std::vector<uint64_t> bars(kTimelineBars, 0);
    for (uint64_t t : times_) {
        ++bars[std::min(kTimelineBars - 1, static_cast<size_t>((t - start) / barUs))];
    }
    Json hello = {{"kind", "video"},
                  {"name", path_},
                  {"width", display_->width()},
                  {"height", display_->height()},
                  {"video_width", reader_->getWidth()},
                  {"video_height", reader_->getHeight()},
                  {"pictures", times_.size()},
                  {"start_us", start},
                  {"end_us", end},
                  {"timeline", {{"bar_us", barUs}, {"unit", "pictures"}, {"counts", bars}}}};
    uint64_t offset = 0;
    if (auto* mp4 = dynamic_cast<Mp4FileReader*>(reader_.get());
        mp4 && mp4->getSensorTimeOffset(offset)) {
        hello["sensor_offset_us"] = offset;
    }
    return hello;
}

std::optional<ViewPicture> ViewVideo::picture(uint64_t) {
    if (!clock_->advance()) {
        return std::nullopt;
    }
    // The picture on show at the position: the last one at or before it.
    const auto after = std::upper_bound(times_.begin(), times_.end(), clock_->position());
    const int index = static_cast<int>(std::max<std::ptrdiff_t>(after - times_.begin() - 1, 0));
    if (index == shown_) {
        return std::nullopt;
    }
    ApsFrame frame;
    bool read = false;
    try {
        // Playing reads on; a seek decodes from the nearest key picture.
        read =
            index == shown_ + 1 ? reader_->getNextFrame(frame) : reader_->getNFrame(index, frame);
    } catch (const std::out_of_range&) {
        read = false;
    }
    if (!read || frame.data == nullptr ||
        frame.dataSize != uint32_t{reader_->getWidth()} * reader_->getHeight() * 3) {
        shown_ = -1;  // the next picture is read by its number
        return std::nullopt;
    }
    shown_ = index;
    display_->scale(frame.data, *scaled_);
    return ViewPicture{display_->message(*scaled_, times_[index])};
}

Json ViewVideo::status() {
    Json status = clock_->status();
    status["picture"] = shown_;
    return status;
}

Json ViewVideo::control(const Json& request) {
    return clock_->control(request, "a video");
}

}  // namespace orvane::cli
