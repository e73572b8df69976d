#pragma once

// The fusion image of a fusion camera: per-pixel, per-polarity counts of the
// events between two frame pulses, closed by each pulse under its time into a
// queue of the newest images, from which applications fetch them by time.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/ObjectPool.h"

namespace orvane {

class FusionImageQueue {
  public:
    using Image = std::vector<uint16_t>;

    FusionImageQueue(uint32_t width, uint32_t height);
    FusionImageQueue(const FusionImageQueue&) = delete;
    FusionImageQueue& operator=(const FusionImageQueue&) = delete;

    // Allocates the images and counters (about 32 MB) off the event thread,
    // before a run: the first pulse would otherwise stall the events for the
    // page faults of all of them.
    void prepare();
    // Event thread: counts the events into the current image.
    void count(const Event2D* begin, const Event2D* end);
    // Event thread: queues the current image under `timestamp` and starts a
    // zeroed one. The 3 newest images wait, and besides them those closed
    // after `delivered` (the pulse of the latest picture handed out), whose
    // pictures are still on their way, up to kMostQueued.
    void close(uint64_t timestamp, uint64_t delivered = UINT64_MAX);
    // Application threads: see FusionCamera::getFusionEvents.
    bool fetch(std::shared_ptr<Image>& image, uint64_t timestamp);

    // Pulses whose image could not be queued because the application held
    // every spare image.
    uint64_t skippedImages() const;

    static constexpr uint16_t kCountCeiling = 10;
    static constexpr size_t kQueueLength = 3;
    static constexpr size_t kMostQueued = 5;  // leaves the application 2 of the pool's 8
    static constexpr size_t kPoolSize = 8;

  private:
    struct Entry {
        std::shared_ptr<Image> image;
        uint64_t timestamp;
    };

    // The caller holds imageMutex_.
    void makeCurrent();
    void allocateCounts();
    // Writes the counts into `image` and zeroes them.
    void takeCounts(Image& image);

    const uint32_t width_, height_;
    const size_t counters_;
    // The counts of the open image, laid out as the image but one byte each (the
    // ceiling fits): each event touches a random counter, and 1.8 MB of them
    // stay in cache better than the 3.7 MB image. The pulse writes the image
    // whole from them, which also spares zeroing it. Allocated by the first
    // event or pulse.
    std::vector<uint8_t> counts_;
    // Created by the first pulse: a camera that never streams holds none of the
    // 8 images (3.7 MB each).
    std::unique_ptr<ObjectPool<Image, 1>> pool_;
    std::shared_ptr<Image> current_;  // the pool image the next pulse fills
    mutable std::mutex imageMutex_;   // counts_, pool_, current_, skipped_
    uint64_t skipped_ = 0;
    std::vector<Entry> queue_;  // oldest first; reserved, so a pulse allocates nothing
    std::mutex queueMutex_;     // taken inside imageMutex_, never the other way round
};

}  // namespace orvane
