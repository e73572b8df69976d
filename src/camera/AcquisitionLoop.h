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
        // After stop, once the device has stopped: a buffer it delivered that is
        // still queued, without waiting; nothing when none is left (the queue no
        // longer grows then). May be empty: the loop then leaves them.
        std::function<std::optional<RawBuffer>()> left = nullptr;
    };

    explicit AcquisitionLoop(std::string owner);  // `owner` names the camera in logs
    ~AcquisitionLoop();                           // stops
    AcquisitionLoop(const AcquisitionLoop&) = delete;
    AcquisitionLoop& operator=(const AcquisitionLoop&) = delete;

    // Launches the thread; nothing when it runs already.
    void start(Steps steps);
    // Ends the loop after its current buffer, calls `stopDevice` (on this
    // thread, also when the loop is not running), then lets the loop process
    // the buffers the device delivered before it stopped (the left step) and
    // joins it. So every buffer received reaches the process step, on the loop's
    // thread, and none leaks into the next run. On the loop's own thread (from a
    // callback) it cannot join: false, and nothing changes.
    bool stop(const std::function<void()>& stopDevice = nullptr);
    // Warns, with the owner, when `stream` dropped buffers so far.
    void reportDrops(const EventStream& stream) const;
    bool isRunning() const { return running_; }
    bool onLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }
    // Iterations whose steps threw, since construction.
    uint64_t failures() const { return failures_; }

  private:
    void run();
    void iterate();
    void processLeft();
    // Runs `step`; an exception is counted and the first of a run logged. True
    // when it threw.
    template <typename Step>
    bool contain(Step&& step);

    const std::string owner_;
    std::mutex lifecycleMutex_;
    Steps steps_;
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_{};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> failures_{0};
    uint64_t failuresAtStart_ = 0;  // loop thread
    std::mutex idleMutex_;          // the loop idles here (device gone, or backing off a failure)
    std::condition_variable idle_;
    bool deviceStopped_ = false;  // under idleMutex_: the left step may run
};

}  // namespace orvane
