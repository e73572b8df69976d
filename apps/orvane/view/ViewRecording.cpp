// Playback of a raw recording in the viewer.

#include "ViewRecording.h"

#include <algorithm>

#include "../RawScan.h"
#include "EventImage.h"

namespace orvane::cli {

namespace {

// Bars of the timeline: enough for a wide window, few enough to send at once.
constexpr size_t kTimelineBars = 1000;

}  // namespace

ViewRecording::ViewRecording(const std::string& path, bool quiet)
    : path_(path), reader_(openRecording(path, quiet)) {
    const TimeRange range = recordingRange(*reader_);
    start_ = range.from;
    end_ = range.to;
    position_ = start_;
    lastTick_ = std::chrono::steady_clock::now();
}

Json ViewRecording::describe() {
    // Events per bar from the bookmarks' running counts, spread evenly
    // between bookmarks.
    std::vector<std::pair<uint64_t, uint64_t>> marks;  // time, events before it
    for (const auto& [time, bookmark] : reader_->getBookmarks()) {
        marks.emplace_back(time, bookmark.eventIndex);
    }
    uint64_t total = 0;
    reader_->getMaxEvents(total);
    marks.emplace_back(end_, total);
    auto eventsBefore = [&](uint64_t t) -> double {
        auto after = std::lower_bound(marks.begin(), marks.end(), std::make_pair(t, uint64_t{0}));
        if (after == marks.begin()) {
            return 0;
        }
        if (after == marks.end()) {
            return static_cast<double>(total);
        }
        const auto before = after - 1;
        const double share = after->first > before->first
                                 ? double(t - before->first) / double(after->first - before->first)
                                 : 0.0;
        return before->second + share * double(after->second - before->second);
    };
    const double span = static_cast<double>(std::max<uint64_t>(end_ - start_, 1));
    Json bars = Json::array();
    double previous = 0;
    for (size_t i = 1; i <= kTimelineBars; ++i) {
        const double here = eventsBefore(start_ + static_cast<uint64_t>(span * i / kTimelineBars));
        bars.push_back(static_cast<uint64_t>(std::max(0.0, here - previous) + 0.5));
        previous = here;
    }
    return {{"kind", "recording"},
            {"name", path_},
            {"width", reader_->getWidth()},
            {"height", reader_->getHeight()},
            {"start_us", start_},
            {"end_us", end_},
            {"events", total},
            {"timeline", {{"bar_us", span / kTimelineBars}, {"events", bars}}}};
}

std::optional<ViewPicture> ViewRecording::picture(uint64_t windowUs) {
    const auto now = std::chrono::steady_clock::now();
    const double elapsedUs = std::chrono::duration<double, std::micro>(now - lastTick_).count();
    lastTick_ = now;
    if (!paused_) {
        position_ += static_cast<uint64_t>(elapsedUs * speed_);
        if (position_ >= end_) {
            position_ = end_;
            paused_ = true;  // the end: the last picture stays
        }
        moved_ = true;
    }
    if (!moved_) {
        return std::nullopt;
    }
    moved_ = false;
    const uint64_t from = position_ > start_ + windowUs ? position_ - windowUs : start_;
    const uint64_t length = std::max<uint64_t>(position_ - from, 1);
    const auto events = reader_->getNTimeEventsGivenStartTimeStamp(from, length);
    static const std::vector<Event2D> none;
    const std::vector<Event2D>& shown = events ? *events : none;
    EventPictureCounts counts;
    const auto packed = packEvents(shown, reader_->getWidth(), reader_->getHeight(), counts);
    shownEvents_ = shown.size();
    return eventPicture(packed, reader_->getWidth(), reader_->getHeight(), from + length, length,
                        counts, shown.size());
}

void ViewRecording::viewerJoined() {
    if (!everJoined_) {
        everJoined_ = true;
        paused_ = false;
        lastTick_ = std::chrono::steady_clock::now();
    }
}

Json ViewRecording::status() {
    return {{"position_us", position_},
            {"speed", speed_},
            {"paused", paused_},
            {"shown_events", shownEvents_}};
}

Json ViewRecording::control(const Json& request) {
    const std::string op = request["op"];
    if (op == "seek") {
        const Json& t = request.value("t", Json());
        if (!t.is_number() || t.get<double>() < 0) {
            throw UsageError("seek: \"t\" takes a time in microseconds");
        }
        position_ = std::clamp<uint64_t>(t.get<uint64_t>(), start_, end_);
        moved_ = true;
    } else if (op == "speed") {
        const Json& x = request.value("x", Json());
        if (!x.is_number() || x.get<double>() < 0.01 || x.get<double>() > 1000) {
            throw UsageError("speed: \"x\" takes 0.01 to 1000");
        }
        speed_ = x.get<double>();
    } else if (op == "pause") {
        paused_ = true;
    } else if (op == "play") {
        if (position_ >= end_) {
            position_ = start_;
        }
        paused_ = false;
    } else {
        throw UsageError(op + ": not a request a recording takes (seek, speed, pause, play)");
    }
    return status();
}

}  // namespace orvane::cli
