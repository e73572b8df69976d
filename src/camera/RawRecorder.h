// Raw recording of a camera's event stream: staging buffers filled on the
// acquisition thread, a writer thread that appends them to the file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvane/hal/Decoder.h"

namespace orvane {

// Threads: application threads call start and stop (serialised here); the
// acquisition thread calls append; the writer thread, owned here, writes the
// file. The bytes are written as appended, device buffers never split.
//
// A recording begins with the decoder-state words (see setStateWords), so that
// a file started mid-stream decodes on its own. When the disk cannot keep up,
// the backlog stays bounded: a staging buffer that finds `poolBuffers` buffers
// still waiting is dropped (counted, logged), and the next data are preceded by
// the state words again, so the file decodes on across the gap.
//
// All buffers are allocated when a recording starts and then only change
// hands, so appending allocates nothing in the steady state.
class RawRecorder {
  public:
    // The acquisition decoder as the recorder sees it: `words(fileTime)` are the
    // words that bring a decoder reading the file, whose time is `fileTime` (0 at
    // the start of a file), to the acquisition decoder's state; `time()` is the
    // acquisition decoder's time.
    struct DecoderState {
        std::function<std::vector<uint8_t>(uint64_t fileTime)> words;
        std::function<uint64_t()> time;
    };
    // The DecoderState of an EVT 3.0 decoder, which must outlive the recorder's use.
    static DecoderState evt3(Decoder& decoder);

    // `owner` names the camera in log lines. A staging buffer goes to the writer
    // before an append would take it past `handOverBytes`; `poolBuffers` (plus
    // the staging buffer and the one being written) of that size are allocated
    // when a recording starts, and bound the backlog.
    RawRecorder(std::string owner, uint64_t handOverBytes, size_t poolBuffers);
    ~RawRecorder();  // finishes a recording still on
    RawRecorder(const RawRecorder&) = delete;
    RawRecorder& operator=(const RawRecorder&) = delete;

    // Asked on the appending thread, before the appended buffer is decoded.
    // Set before the first start.
    void setDecoderState(DecoderState state) { decoderState_ = std::move(state); }

    // Opens `path` (truncating), writes `header` and starts the writer: 0. -1
    // (with an info log) when already recording, and (with an error log) when
    // the header cannot be written. Throws std::runtime_error "Unable to open
    // <path> for writing" when the file cannot be opened.
    int start(const std::string& path, const std::string& header);
    // Acquisition thread: copies the buffer into the staging buffer; nothing
    // when not recording.
    void append(const std::vector<uint8_t>& buffer);
    // Writes what is staged, ends the writer and closes the file: 0, or -1 when
    // a write or the close failed (logged).
    int stop();

    bool isRecording() const { return recording_; }
    // Writes that failed in the current or last recording (logged once each).
    uint64_t writeFailures() const { return writeFailures_; }
    // Bytes dropped because the disk fell behind, since construction.
    uint64_t droppedBytes() const { return droppedBytes_; }
    // Bytes lost because writes failed (a disk full for a while), since construction.
    uint64_t lostBytes() const { return lostBytes_; }
    // Writes bytes straight to the file (the header, before the writer runs),
    // whole or not at all: a write that fails is undone. False when it failed.
    bool write(const uint8_t* data, uint64_t size) {
        size_t kept = 0;
        return write(nullptr, 0, data, size, {}, 0, kept);
    }
    // Test hook: how many of the `size` bytes of the next write reach the file
    // before the write fails (`size`: it does not fail). Set before start.
    void setWriteFault(std::function<uint64_t(uint64_t size)> fault) { fault_ = std::move(fault); }

  private:
    // Where a device buffer ends inside a staging buffer, and the decoder's time there.
    struct Cut {
        uint64_t offset;
        uint64_t time;
    };
    // Decoder-state words, the wrap pairs first (`pairBytes` of them).
    struct StateWords {
        std::vector<uint8_t> words;
        uint64_t pairBytes = 0;
    };
    // As write(data, size) of `words` followed by `data`, except that a failed
    // write keeps the longest prefix that reached the file and ends at one of
    // `cuts` (offsets from `data` plus `cutBase`, ascending): `kept` is the
    // number of those cuts it holds.
    bool write(const uint8_t* words, uint64_t wordBytes, const uint8_t* data, uint64_t size,
               const std::vector<Cut>& cuts, uint64_t cutBase, size_t& kept);
    // The words that bring a decoder reading the file to where the appending
    // decoder stands; with the gap marker when they follow lost data.
    StateWords stateWordsNow(bool afterGap) const;
    void writerLoop();
    void writeQueued(const std::vector<uint8_t>& buffer);
    void dropStaging();
    void handOverStaging();
    void clearStaging();
    // Under queueMutex_.
    std::vector<uint8_t>* popQueued();

    const std::string owner_;
    const uint64_t handOverBytes_;
    const size_t poolBuffers_;
    DecoderState decoderState_;
    std::mutex lifecycleMutex_;

    // stateMutex_ serialises append with start/stop (buffers and staging buffer).
    std::mutex stateMutex_;
    std::vector<std::vector<uint8_t>> buffers_;  // made by start, freed by stop
    std::vector<uint8_t>* staging_ = nullptr;
    bool needStateWords_ = false;  // under stateMutex_
    bool afterGap_ = false;        // under stateMutex_: they follow lost data
    bool dropLogged_ = false;      // under stateMutex_
    // Under queueMutex_: buffers free for staging, and the ring of buffers
    // waiting for the writer (both sized at start, never grown).
    std::vector<std::vector<uint8_t>*> free_;
    std::vector<std::vector<uint8_t>*> queue_;
    size_t queueHead_ = 0, queueSize_ = 0;
    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::ofstream file_;
    std::string path_;
    std::atomic<bool> recording_{false};
    std::thread writer_;
    std::atomic<uint64_t> writeFailures_{0};
    std::atomic<uint64_t> droppedBytes_{0};
    std::atomic<uint64_t> lostBytes_{0};
    std::function<uint64_t(uint64_t)> fault_;
    // After a failed write the file ends on the last whole device buffer, whose
    // end time the writer keeps; the next buffer follows behind its resume words.
    uint64_t fileBytes_ = 0;                // writer (or start/stop): whole data written
    std::vector<uint64_t> endTimes_;        // per buffer: decoder time at its end
    std::vector<uint8_t> withStateWords_;   // per buffer: it begins with state words
    std::vector<uint64_t> statePairBytes_;  // per buffer: bytes of wrap pairs it begins with
    std::vector<StateWords> resume_;        // per buffer: words to follow a gap with
    // Per buffer: its device buffers' ends, so that a failed write costs the
    // device buffers from the failure on, not the whole buffer. Reserved at
    // start and never grown: past kCutsPerBuffer the loss is coarser.
    std::vector<std::vector<Cut>> cuts_;
    bool inGap_ = false;                 // writer: the last write failed
    std::atomic<uint64_t> goodTime_{0};  // decoder time at the end of the file's data
    size_t indexOf(const std::vector<uint8_t>* buffer) const {
        return static_cast<size_t>(buffer - buffers_.data());
    }
};

}  // namespace orvane
