// Raw recording of a camera's event stream: staging buffers filled on the
// acquisition thread, a writer thread that appends them to the file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvane/ObjectPool.h"

namespace orvane {

// Threads: an application thread calls start and stop; the acquisition thread
// calls append; the writer thread, owned here, writes the file. The bytes are
// written exactly as appended, device buffers never split.
class RawRecorder {
  public:
    // `owner` names the camera in log lines. A staging buffer goes to the writer
    // once it holds more than `handOverBytes`; `poolBuffers` of that size are
    // allocated when a recording starts.
    RawRecorder(std::string owner, uint64_t handOverBytes, size_t poolBuffers);
    ~RawRecorder();  // finishes a recording still on
    RawRecorder(const RawRecorder&) = delete;
    RawRecorder& operator=(const RawRecorder&) = delete;

    // Opens `path` (truncating), writes `header` and starts the writer: 0, or -1
    // (with an info log) when already recording. Throws std::runtime_error
    // "Unable to open <path> for writing" when the file cannot be opened.
    int start(const std::string& path, const std::string& header);
    // Acquisition thread: copies the buffer into the staging buffer; nothing
    // when not recording.
    void append(const std::vector<uint8_t>& buffer);
    // Writes what is staged, ends the writer and closes the file: 0.
    int stop();

    bool isRecording() const { return recording_; }
    // Writes that failed in the current or last recording (logged once each).
    uint64_t writeFailures() const { return writeFailures_; }
    // Writes bytes straight to the file (the header, before the writer runs).
    void write(const uint8_t* data, uint64_t size);

  private:
    void writerLoop();

    const std::string owner_;
    const uint64_t handOverBytes_;
    const size_t poolBuffers_;

    // stateMutex_ serialises append with start/stop (pool and staging buffer).
    std::mutex stateMutex_;
    std::unique_ptr<ObjectPool<std::vector<uint8_t>, 1>> pool_;
    std::shared_ptr<std::vector<uint8_t>> staging_;
    std::deque<std::shared_ptr<std::vector<uint8_t>>> queue_;
    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::ofstream file_;
    std::string path_;
    std::atomic<bool> recording_{false};
    std::thread writer_;
    std::atomic<uint64_t> writeFailures_{0};
};

}  // namespace orvane
