// Pairing each picture of a fusion camera with the pulse that closed it.

#include "FusionPictureTimes.h"

#include <algorithm>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/TandroCamera";
}

FusionPictureTimes::FusionPictureTimes(std::string owner) : owner_(std::move(owner)) {}

// Times restart with each run, so nothing of the last run's rhythm holds.
void FusionPictureTimes::begin(bool pulses, bool pictures) {
    std::lock_guard<std::mutex> lock(mutex_);
    pulsesExpected_ = pulses;
    pictures_ = pictures;
    ending_ = false;
    delivered_ = 0;
    pulses_.clear();
    havePulse_ = false;
    pulsesSeen_ = 0;
    picturesSeen_ = 0;
    std::fill(std::begin(intervals_), std::end(intervals_), 0);
    haveLast_ = false;
    withoutLogged_ = false;
}

void FusionPictureTimes::end() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = pulsesExpected_;
        pulsesExpected_ = false;
        pictures_ = false;
    }
    pulseArrived_.notify_all();
}

void FusionPictureTimes::edge(uint64_t timestamp, bool closing) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closing) {
            latest_.start = timestamp;
            return;
        }
        if (havePulse_ && timestamp > latest_.frame) {
            intervals_[nextInterval_] = timestamp - latest_.frame;
            nextInterval_ = (nextInterval_ + 1) % kIntervalsKept;
        }
        havePulse_ = true;
        latest_.frame = timestamp;
        latest_.number = pulsesSeen_++;
        if (pulses_.size() >= kPulsesKept) {
            pulses_.pop_front();
        }
        pulses_.push_back(latest_);
    }
    pulseArrived_.notify_all();
}

FusionPictureTimes::Times FusionPictureTimes::without(uint64_t expected) {
    haveLast_ = expected != 0;
    last_ = expected;
    ++without_;
    if (!withoutLogged_) {
        withoutLogged_ = true;
        ORVANE_LOG(LOG_WARNING,
                   "Camera %s: a picture's trigger pulse did not arrive in time; the picture "
                   "carries the time its pulse was expected at (%llu us) and has no fusion image "
                   "(later ones are counted)",
                   owner_.c_str(), static_cast<unsigned long long>(expected));
    }
    return {latest_.start, expected, false, expected != 0};
}

FusionPictureTimes::Times FusionPictureTimes::next(uint64_t missed) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + kMaxWait;
    const uint64_t number = picturesSeen_ + missed;  // this picture's, in the run
    picturesSeen_ = number + 1;
    uint64_t period = 0;
    for (uint64_t interval : intervals_) {
        if (interval != 0 && (period == 0 || interval < period)) {
            period = interval;
        }
    }
    for (;;) {
        if (!haveLast_ || period == 0) {
            // No rhythm yet: the pulse of the same number as the picture.
            while (!pulses_.empty() && pulses_.front().number < number) {
                pulses_.pop_front();
            }
            if (!pulses_.empty()) {
                if (pulses_.front().number > number) {
                    // Its pulse left the queue before the picture came.
                    return without(0);
                }
                const Pulse pulse = pulses_.front();
                pulses_.pop_front();
                haveLast_ = true;
                last_ = pulse.frame;
                delivered_ = last_;
                return {pulse.start, pulse.frame, true, true};
            }
        } else {
            const uint64_t expected = last_ + (missed + 1) * period;
            const uint64_t tolerance = period / 2;
            // Pulses of pictures already given, or lost by the host.
            while (!pulses_.empty() && pulses_.front().frame + tolerance < expected) {
                pulses_.pop_front();
            }
            if (!pulses_.empty()) {
                if (pulses_.front().frame > expected + tolerance) {
                    return without(expected);  // its pulse was lost; the next is there
                }
                const Pulse pulse = pulses_.front();
                pulses_.pop_front();
                last_ = pulse.frame;
                delivered_ = last_;
                return {pulse.start, pulse.frame, true, true};
            }
        }
        // Stopping, or no event stream: no pulse is coming. A picture of a run
        // with a rhythm gets the time its pulse is expected at, never the time
        // of an earlier picture. One the stop cut off from its pulse is counted
        // (not logged: the run ends).
        if (!pulsesExpected_) {
            without_ += ending_;
            if (haveLast_ && period != 0) {
                last_ += (missed + 1) * period;
                return {latest_.start, last_, false, true};
            }
            return {latest_.start, latest_.frame, false, false};
        }
        if (pulseArrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            const uint64_t expected = haveLast_ && period != 0 ? last_ + (missed + 1) * period : 0;
            // One more look: the pulse may have come with the deadline.
            if (!pulses_.empty() || !pulsesExpected_) {
                continue;
            }
            return without(expected);
        }
    }
}

uint64_t FusionPictureTimes::delivered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_ ? delivered_ : UINT64_MAX;
}

uint64_t FusionPictureTimes::picturesWithoutPulse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return without_;
}

}  // namespace orvane
