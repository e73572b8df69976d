#pragma once

// Recording of a fusion camera's pictures into an H.264 MP4: the frame thread
// hands pictures over, a writer thread encodes them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane {

// 4K H.264 cannot be encoded at 30 pictures per second on a small machine, so,
// unlike a recorder that queues every picture (12 MB each) in a pool that
// never ends, the pictures waiting for the encoder are bounded: when the bound
// is reached the oldest waiting picture makes room, so the pictures kept stay
// spread over the whole recording. Drops are counted, the first is logged at
// once and the total at stop ("kept N of M pictures"). Buffers are allocated
// as needed, never more than the bound plus two.
//
// Each picture carries its real time relative to the first recorded picture,
// so the video plays at the speed of the scene, also when pictures were dropped;
// the first picture's sensor time is stored in the file (tag
// Mp4FileReader::kSensorTimeTag), so that the video's times map onto the
// events'. A target picture rate thins the pictures evenly before they queue,
// which a slow machine keeps up with better than with drops.
//
// Threads: an application thread calls start and stop; the frame thread calls
// append; the writer thread is owned here.
class FusionFrameRecorder {
  public:
    // `owner` names the camera in log lines; pictures are NV12 of this size.
    FusionFrameRecorder(std::string owner, uint32_t width, uint32_t height);
    ~FusionFrameRecorder();  // finishes a recording still on
    FusionFrameRecorder(const FusionFrameRecorder&) = delete;
    FusionFrameRecorder& operator=(const FusionFrameRecorder&) = delete;

    // Launches the writer, which opens `path` with this encoder preset: 0, or -1
    // (information "Do not save again while saving.") while a recording is
    // starting or on. A file the writer cannot open is logged; nothing is
    // recorded. `picturesPerSecond` > 0 keeps at most that many pictures per
    // second of picture time (the others are left out and counted); 0 keeps all.
    int start(const std::string& path, const std::string& preset, double picturesPerSecond = 0);
    // Frame thread: queues a copy of the picture taken at `timestamp` (sensor
    // time, microseconds); nothing when not recording.
    void append(const uint8_t* nv12, uint64_t timestamp);
    // Encodes what still waits, finishes the file and ends the writer: 0, or
    // -1 (logged) when the file could not be opened, a picture could not be
    // encoded or the file could not be finished. 0 when not recording.
    int stop();

    // True from start until stop, unless the file could not be opened.
    bool isRecording() const;
    // Of the current or last recording.
    uint64_t picturesReceived() const;
    uint64_t picturesKept() const;
    // Left out for the target picture rate (not counted as dropped).
    uint64_t picturesThinned() const;

    // Pictures that may wait for the encoder: about half a second. stop()
    // encodes them all, so the bound also bounds how long stop takes.
    static constexpr size_t kMaxWaiting = 15;

  private:
    using Buffer = std::unique_ptr<std::vector<uint8_t>>;
    struct Picture {
        Buffer data;
        int64_t pts;
    };
    enum class State { Idle, Starting, Open, Failed };

    void writerLoop(std::string path, std::string preset);
    int64_t nextPts(uint64_t timestamp);  // caller holds mutex_
    bool due(int64_t pts);                // caller holds mutex_
    Buffer takeBuffer();                  // caller holds mutex_

    const std::string owner_;
    const uint32_t width_, height_;
    const size_t pictureBytes_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Idle;
    bool stopping_ = false;
    std::deque<Picture> waiting_;
    std::vector<Buffer> spare_;
    uint64_t received_ = 0, kept_ = 0, dropped_ = 0, thinned_ = 0, failed_ = 0;
    bool closeFailed_ = false;
    std::string emptyVideo_;  // a video that got no picture, removed: its path
    // The target rate's spacing (0: none) and when the next picture is due, in
    // presentation time.
    int64_t spacing_ = 0, due_ = 0;
    // Times: the first picture's sensor time, and the last picture's sensor
    // time, host arrival and presentation time.
    bool haveOffset_ = false;
    uint64_t offset_ = 0, lastTimestamp_ = 0;
    int64_t lastPts_ = -1;
    std::chrono::steady_clock::time_point lastArrival_;
    std::thread writer_;
};

}  // namespace orvane
