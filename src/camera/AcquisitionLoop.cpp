// The acquisition thread of an event stream.
#include "camera/AcquisitionLoop.h"

#include <chrono>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/AcquisitionLoop";
// After a failed fetch the loop waits this long (or for stop) before the next
// one, so that a transport that fails at once cannot make it spin.
constexpr std::chrono::milliseconds kBackOff{10};
}  // namespace

AcquisitionLoop::AcquisitionLoop(std::string owner) : owner_(std::move(owner)) {}

AcquisitionLoop::~AcquisitionLoop() {
    stop();
}

void AcquisitionLoop::start(Steps steps) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_) {
        return;
    }
    steps_ = std::move(steps);
    running_ = true;
    thread_ = std::thread(&AcquisitionLoop::run, this);
}

void AcquisitionLoop::run() {
    loopThread_ = std::this_thread::get_id();
    const uint64_t failuresBefore = failures_;
    while (running_) {
        try {
            iterate();
        } catch (...) {
            const char* what = "a value that is no std::exception";
            try {
                throw;
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            if (failures_++ == failuresBefore) {
                ORVANE_LOG(LOG_ERROR,
                           "Camera %s: the acquisition loop caught %s; it goes on with the "
                           "next buffer (later failures are only counted)",
                           owner_.c_str(), what);
            }
            std::unique_lock<std::mutex> lock(idleMutex_);
            idle_.wait_for(lock, kBackOff, [this] { return !running_; });
        }
    }
}

void AcquisitionLoop::iterate() {
    std::optional<RawBuffer> buffer = steps_.next();
    if (buffer && *buffer) {
        steps_.process(**buffer);
    } else if (steps_.deviceGone()) {
        // Nothing more will come: wait for stop() instead of spinning.
        ORVANE_LOG(LOG_ERROR, "Camera %s was unplugged while streaming", owner_.c_str());
        std::unique_lock<std::mutex> lock(idleMutex_);
        idle_.wait(lock, [this] { return !running_; });
    }
}

bool AcquisitionLoop::stop() {
    if (onLoopThread()) {
        return false;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        running_ = false;
    }
    idle_.notify_all();
    // From here the loop takes no further buffer; the callback it may be in
    // still runs to its end.
    ORVANE_LOG(LOG_DEBUG, "Camera %s: the acquisition loop stops", owner_.c_str());
    if (thread_.joinable()) {
        thread_.join();
    }
    loopThread_ = std::thread::id();
    return true;
}

// The callbacks are done when this runs, so these buffers are not decoded; a
// recording still gets them, so that it holds what the device delivered.
void AcquisitionLoop::keepUntaken(EventStream& stream) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    uint64_t taken = 0;
    bool kept = false;
    while (std::optional<RawBuffer> buffer = stream.getLatestBuffer()) {
        if (*buffer) {
            kept = (steps_.keep && steps_.keep(**buffer)) || kept;
            ++taken;
        }
    }
    if (taken > 0) {
        undecoded_ += taken;
        ORVANE_LOG(LOG_WARNING, "Camera %s: %llu buffers received before stop() were not decoded%s",
                   owner_.c_str(), static_cast<unsigned long long>(taken),
                   kept ? " (the recording has them)" : "");
    }
    if (const uint64_t lost = stream.droppedBuffers() + undecoded_) {
        ORVANE_LOG(LOG_WARNING,
                   "Camera %s: %llu raw buffers were dropped or left undecoded so far because "
                   "the callbacks fell behind the device",
                   owner_.c_str(), static_cast<unsigned long long>(lost));
    }
}

}  // namespace orvane
