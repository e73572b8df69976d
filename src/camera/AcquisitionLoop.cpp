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
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        deviceStopped_ = false;
    }
    running_ = true;
    thread_ = std::thread(&AcquisitionLoop::run, this);
}

template <typename Step>
bool AcquisitionLoop::contain(Step&& step) {
    try {
        step();
        return false;
    } catch (...) {
        const char* what = "a value that is no std::exception";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        if (failures_++ == failuresAtStart_) {
            ORVANE_LOG(LOG_ERROR,
                       "Camera %s: the acquisition loop caught %s; it goes on with the "
                       "next buffer (later failures are only counted)",
                       owner_.c_str(), what);
        }
        return true;
    }
}

void AcquisitionLoop::run() {
    loopThread_ = std::this_thread::get_id();
    failuresAtStart_ = failures_;
    while (running_) {
        if (contain([this] { iterate(); })) {
            std::unique_lock<std::mutex> lock(idleMutex_);
            idle_.wait_for(lock, kBackOff, [this] { return !running_; });
        }
    }
    processLeft();
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

// The buffers that reached the host before the device stopped go the way of
// every other, through the callbacks that are still registered: a recording
// then holds exactly what the callbacks were given. They run here, on the
// loop's thread, so that a callback still cannot stop the camera from inside.
void AcquisitionLoop::processLeft() {
    {
        std::unique_lock<std::mutex> lock(idleMutex_);
        idle_.wait(lock, [this] { return deviceStopped_; });
    }
    if (!steps_.left) {
        return;
    }
    uint64_t processed = 0;
    while (true) {
        std::optional<RawBuffer> buffer;
        if (contain([&] { buffer = steps_.left(); }) || !buffer) {
            break;
        }
        if (*buffer) {
            contain([&] { steps_.process(**buffer); });
            ++processed;
        }
    }
    if (processed > 0) {
        ORVANE_LOG(LOG_DEBUG,
                   "Camera %s: %llu buffers received before the device stopped were "
                   "processed at stop",
                   owner_.c_str(), static_cast<unsigned long long>(processed));
    }
}

bool AcquisitionLoop::stop(const std::function<void()>& stopDevice) {
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
    // The loop waits for the device to stop, whatever stopping it does.
    struct Release {
        AcquisitionLoop& loop;
        ~Release() {
            {
                std::lock_guard<std::mutex> lock(loop.idleMutex_);
                loop.deviceStopped_ = true;
            }
            loop.idle_.notify_all();
            if (loop.thread_.joinable()) {
                loop.thread_.join();
            }
            loop.loopThread_ = std::thread::id();
        }
    } release{*this};
    if (stopDevice) {
        stopDevice();
    }
    return true;
}

void AcquisitionLoop::reportDrops(const EventStream& stream) const {
    if (const uint64_t dropped = stream.droppedBuffers()) {
        ORVANE_LOG(LOG_WARNING,
                   "Camera %s: %llu raw buffers were dropped so far because the callbacks fell "
                   "behind the device",
                   owner_.c_str(), static_cast<unsigned long long>(dropped));
    }
}

}  // namespace orvane
