// The playback position of a recording or a video.

#include "PlaybackClock.h"

#include <algorithm>

namespace orvane::cli {

PlaybackClock::PlaybackClock(uint64_t start, uint64_t end)
    : start_(start), end_(end), position_(start), lastTick_(std::chrono::steady_clock::now()) {}

bool PlaybackClock::advance() {
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
    const bool moved = moved_;
    moved_ = false;
    return moved;
}

void PlaybackClock::joined() {
    if (!everJoined_) {
        everJoined_ = true;
        paused_ = false;
        lastTick_ = std::chrono::steady_clock::now();
    }
}

Json PlaybackClock::control(const Json& request, const std::string& what) {
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
        throw UsageError(op + ": not a request " + what + " takes (seek, speed, pause, play)");
    }
    return status();
}

Json PlaybackClock::status() const {
    return {{"position_us", position_}, {"speed", speed_}, {"paused", paused_}};
}

}  // namespace orvane::cli
