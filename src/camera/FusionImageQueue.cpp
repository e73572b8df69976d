// Counting events into the fusion image and handing images out by pulse time.

#include "FusionImageQueue.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/FusionCameraPrivate";
}

FusionImageQueue::FusionImageQueue(uint32_t width, uint32_t height)
    : width_(width), height_(height), counters_(size_t{width} * height * 2) {
    queue_.reserve(kMostQueued + 1);
}

void FusionImageQueue::allocateCounts() {
    if (counts_.empty()) {
        counts_.assign(counters_, 0);
    }
}

// The image needs no zeroing: the pulse that closes it writes every counter.
void FusionImageQueue::makeCurrent() {
    if (!pool_) {
        pool_ = std::make_unique<ObjectPool<Image, 1>>(kPoolSize, true, counters_);
    }
    current_ = pool_->acquire();
}

void FusionImageQueue::prepare() {
    std::lock_guard<std::mutex> lock(imageMutex_);
    allocateCounts();
    if (!current_) {
        makeCurrent();
    }
}

// Rows in sensor order, columns mirrored; events outside the sensor are ignored.
void FusionImageQueue::count(const Event2D* begin, const Event2D* end) {
    std::lock_guard<std::mutex> lock(imageMutex_);
    allocateCounts();
    // Locals: byte stores may alias the members, which the loop would reload.
    uint8_t* counts = counts_.data();
    const uint32_t width = width_, height = height_;
    for (const Event2D* e = begin; e < end; ++e) {
        const uint32_t x = e->x, y = e->y;
        if (x < width && y < height) {
            uint8_t& c = counts[2 * (y * width + (width - 1 - x)) + (e->polarity != 0)];
            if (c < kCountCeiling) {
                ++c;
            }
        }
    }
}

void FusionImageQueue::takeCounts(Image& image) {
    uint8_t* counts = counts_.data();
    uint16_t* out = image.data();
    const size_t n = counts_.size();
    size_t p = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; p + 16 <= n; p += 16) {
        __m128i* in = reinterpret_cast<__m128i*>(counts + p);
        const __m128i c = _mm_loadu_si128(in);
        _mm_storeu_si128(in, zero);
        __m128i* o = reinterpret_cast<__m128i*>(out + p);
        _mm_storeu_si128(o, _mm_unpacklo_epi8(c, zero));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi8(c, zero));
    }
#endif
    for (; p < n; ++p) {
        out[p] = counts[p];
        counts[p] = 0;
    }
}

void FusionImageQueue::close(uint64_t timestamp, uint64_t delivered) {
    std::lock_guard<std::mutex> lock(imageMutex_);
    if (!current_) {
        makeCurrent();
    }
    allocateCounts();
    takeCounts(*current_);
    std::shared_ptr<Image> closed = std::move(current_);
    {
        std::lock_guard<std::mutex> queueLock(queueMutex_);
        // The frame thread may lag the events by a few pictures: an image whose
        // picture has not been handed out yet stays for it.
        while (queue_.size() >= kMostQueued ||
               (queue_.size() >= kQueueLength && queue_.front().timestamp <= delivered)) {
            // Its vector returns to the pool unless the application holds it.
            queue_.erase(queue_.begin());
        }
        queue_.push_back({closed, timestamp});
    }
    closed.reset();
    // Waiting for the application to release an image would stall the event
    // thread, and with it every event, recording and stop(). Instead this pulse's
    // image is taken back out of the queue and restarted as the current one:
    // that pulse has no image, and the caller is told so once.
    if (pool_->freeCount() == 0) {
        {
            std::lock_guard<std::mutex> queueLock(queueMutex_);
            current_ = std::move(queue_.back().image);
            queue_.pop_back();
        }
        if (skipped_++ == 0) {
            ORVANE_LOG(LOG_WARNING,
                       "The application holds every spare fusion image: the image of the pulse "
                       "at %llu us is skipped (release images after use)",
                       static_cast<unsigned long long>(timestamp));
        }
        return;
    }
    makeCurrent();  // only this thread takes from the pool: a free image stays free
}

bool FusionImageQueue::fetch(std::shared_ptr<Image>& image, uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (size_t n = queue_.size(); n > 0; --n) {
        Entry& oldest = queue_.front();
        if (oldest.image && oldest.timestamp > timestamp) {
            return false;
        }
        if (oldest.image && oldest.timestamp == timestamp) {
            image = std::move(oldest.image);
            queue_.erase(queue_.begin());
            return true;
        }
        queue_.erase(queue_.begin());
    }
    return false;
}

uint64_t FusionImageQueue::skippedImages() const {
    std::lock_guard<std::mutex> lock(imageMutex_);
    return skipped_;
}

}  // namespace orvane
