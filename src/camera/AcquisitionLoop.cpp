// The acquisition thread of an event stream.
#include "camera/AcquisitionLoop.h"

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/AcquisitionLoop";
}  // namespace

AcquisitionLoop::AcquisitionLoop(std::string owner) : owner_(std::move(owner)) {}

AcquisitionLoop::~AcquisitionLoop() {
    stop();
}

void AcquisitionLoop::start(Steps steps) {
    if (running_) {
        return;
    }
    steps_ = std::move(steps);
    running_ = true;
    thread_ = std::thread(&AcquisitionLoop::run, this);
}

void AcquisitionLoop::run() {
    while (running_) {
        std::optional<RawBuffer> buffer = steps_.next();
        if (buffer && *buffer) {
            steps_.process(**buffer);
        } else if (steps_.deviceGone()) {
            // Nothing more will come: wait for stop() instead of spinning.
            ORVANE_LOG(LOG_ERROR, "Camera %s was unplugged while streaming", owner_.c_str());
            std::unique_lock<std::mutex> lock(idleMutex_);
            idle_.wait(lock, [this] { return !running_; });
            return;
        }
    }
}

void AcquisitionLoop::stop() {
    {
        std::lock_guard<std::mutex> lock(idleMutex_);
        running_ = false;
    }
    idle_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace orvane
