// The acquisition thread of a camera's event stream: pulls raw buffers and
// hands each to the camera until stopped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orvane/hal/BufferQueue.h"

namespace orvane {

// Threads: an application thread calls start and stop; the loop's own thread
// calls the steps.
class AcquisitionLoop {
  public:
    struct Steps {
        // The next raw buffer, or nothing after a bounded wait.
        std::function<std::optional<RawBuffer>()> next;
        // One buffer: record, convert, decode, whatever the camera does.
        std::function<void(std::vector<uint8_t>&)> process;
        // True once the device is gone for good: the loop then idles until stop.
        std::function<bool()> deviceGone;
    };

    explicit AcquisitionLoop(std::string owner);  // `owner` names the camera in logs
    ~AcquisitionLoop();                           // stops
    AcquisitionLoop(const AcquisitionLoop&) = delete;
    AcquisitionLoop& operator=(const AcquisitionLoop&) = delete;

    // Launches the thread; nothing when it runs already.
    void start(Steps steps);
    // Ends the loop after its current buffer and joins the thread.
    void stop();
    bool isRunning() const { return running_; }

  private:
    void run();

    const std::string owner_;
    Steps steps_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::mutex idleMutex_;  // a loop whose device is gone waits here for stop()
    std::condition_variable idle_;
};

}  // namespace orvane
