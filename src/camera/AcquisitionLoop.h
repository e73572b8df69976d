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
#include "orvane/hal/EventStream.h"

namespace orvane {

// Threads: application threads call start and stop (serialised here); the
// loop's own thread calls the steps. An exception from a step is caught, counted
// and logged (the first of a run), and the loop goes on with the next buffer.
class AcquisitionLoop {
  public:
    struct Steps {
        // The next raw buffer, or nothing after a bounded wait.
        std::function<std::optional<RawBuffer>()> next;
        // One buffer: record, convert, decode, whatever the camera does.
        std::function<void(std::vector<uint8_t>&)> process;
        // True once the device is gone for good: the loop then idles until stop.
        std::function<bool()> deviceGone;
        // A buffer the device delivered that the loop did not take before stop:
        // not processed (the callbacks are done), only kept where the camera keeps
        // raw data; true when it was kept (a recording is on). May be empty.
        std::function<bool(std::vector<uint8_t>&)> keep = nullptr;
    };

    explicit AcquisitionLoop(std::string owner);  // `owner` names the camera in logs
    ~AcquisitionLoop();                           // stops
    AcquisitionLoop(const AcquisitionLoop&) = delete;
    AcquisitionLoop& operator=(const AcquisitionLoop&) = delete;

    // Launches the thread; nothing when it runs already.
    void start(Steps steps);
    // Ends the loop after its current buffer and joins the thread. On the loop's
    // own thread (from a callback) it cannot join: false, and nothing changes.
    bool stop();
    // After stop(), once the device has stopped delivering: every buffer still
    // queued in `stream` goes to the keep step, is counted as undecoded and
    // logged, with the buffers lost so far. None of them leaks into the next run.
    void keepUntaken(EventStream& stream);
    bool isRunning() const { return running_; }
    bool onLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }
    // Iterations whose steps threw, since construction.
    uint64_t failures() const { return failures_; }
    // Buffers received but left undecoded at stop, since construction.
    uint64_t undecodedBuffers() const { return undecoded_; }

  private:
    void run();
    void iterate();

    const std::string owner_;
    std::mutex lifecycleMutex_;
    Steps steps_;
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> failures_{0};
    std::atomic<uint64_t> undecoded_{0};
    std::mutex idleMutex_;  // the loop idles here (device gone, or backing off a failure)
    std::condition_variable idle_;
};

}  // namespace orvane
