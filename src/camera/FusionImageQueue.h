#pragma once

// The fusion image of a fusion camera: per-pixel, per-polarity counts of the
// events between two frame pulses, closed by each pulse under its time into a
// queue of the newest images, from which applications fetch them by time.

#include <cstdint>
#include <deque>
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

    // Event thread: counts the events into the current image.
    void count(const Event2D* begin, const Event2D* end);
    // Event thread: queues the current image under `timestamp` and starts a
    // zeroed one.
    void close(uint64_t timestamp);
    // Application threads: see FusionCamera::getFusionEvents.
    bool fetch(std::shared_ptr<Image>& image, uint64_t timestamp);

    // Pulses whose image could not be queued because the application held
    // every spare image.
    uint64_t skippedImages() const;

    static constexpr uint16_t kCountCeiling = 10;
    static constexpr size_t kQueueLength = 3;
    static constexpr size_t kPoolSize = 8;

    // Index of the counter of (x, y, polarity): rows in sensor order, columns
    // mirrored, polarity 0 then 1 per pixel.
    static uint32_t indexOf(uint32_t width, const Event2D& e) {
        return 2 * (uint32_t(e.y) * width + (width - 1 - uint32_t(e.x))) + (e.polarity != 0);
    }

  private:
    struct Entry {
        std::shared_ptr<Image> image;
        uint64_t timestamp;
    };

    void makeCurrent();  // caller holds imageMutex_

    const uint32_t width_;
    const size_t counters_;
    // Created by the first event or pulse: a camera that never streams holds none
    // of the 8 images (3.7 MB each).
    std::unique_ptr<ObjectPool<Image, 1>> pool_;
    std::shared_ptr<Image> current_;
    mutable std::mutex imageMutex_;  // pool_, current_, skipped_
    uint64_t skipped_ = 0;
    std::deque<Entry> queue_;
    std::mutex queueMutex_;  // taken inside imageMutex_, never the other way round
};

}  // namespace orvane
