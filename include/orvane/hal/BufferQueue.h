#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {

using RawBuffer = std::shared_ptr<std::vector<uint8_t>>;

// The bounded queue of raw buffers between a device endpoint (producer) and
// its stream (consumer). When the consumer falls behind, push() drops the
// oldest buffer: drops are counted and warned about, never silent. close()
// wakes everyone for good (stream stopped or device gone).
class BufferQueue {
  public:
    BufferQueue(size_t capacity, uint32_t maxBufferBytes, std::string name);

    // Producer of a live device: never waits. Returns false when closed.
    bool push(RawBuffer buffer);
    // Producer that may wait for the consumer (a device paced by its reader):
    // waits up to `timeout` for room. Returns false when closed or still full.
    bool pushWait(RawBuffer& buffer, std::chrono::microseconds timeout);

    // Consumer: waits up to `timeout` for a buffer; true when one is ready.
    bool wait(std::chrono::microseconds timeout);
    // Consumer: the oldest queued buffer, or nullptr.
    RawBuffer pop();

    void close();
    // Opens a closed queue again, empty, for a new start of the stream.
    void reopen();
    bool closed() const;

    uint64_t dropped() const;
    uint64_t delivered() const;
    uint32_t maxBufferBytes() const { return maxBufferBytes_; }
    size_t capacity() const { return capacity_; }

  private:
    const size_t capacity_;
    const uint32_t maxBufferBytes_;
    const std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;  // a buffer arrived, or closed
    std::condition_variable room_;   // a buffer left, or closed
    std::deque<RawBuffer> buffers_;
    bool closed_ = false;
    uint64_t dropped_ = 0;
    uint64_t delivered_ = 0;
};

}  // namespace orvane
