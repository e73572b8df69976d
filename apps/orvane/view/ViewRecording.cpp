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
    clock_ = std::make_unique<PlaybackClock>(start_, end_);
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
            {"timeline", {{"bar_us", span / kTimelineBars}, {"unit", "events"}, {"counts", bars}}}};
}

std::optional<ViewPicture> ViewRecording::picture(uint64_t windowUs) {
    if (!clock_->advance()) {
        return std::nullopt;
    }
    const uint64_t position = clock_->position();
    const uint64_t from = position > start_ + windowUs ? position - windowUs : start_;
    const uint64_t length = std::max<uint64_t>(position - from, 1);
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
    clock_->joined();
}

Json ViewRecording::status() {
    Json status = clock_->status();
    status["shown_events"] = shownEvents_;
    return status;
}

Json ViewRecording::control(const Json& request) {
    return clock_->control(request, "a recording");
}

}  // namespace orvane::cli
