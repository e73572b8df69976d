// Event pictures, packed two bits a pixel.

#include "EventImage.h"

#include <zlib.h>

#include <cstring>

namespace orvane::cli {

namespace {

constexpr uint8_t kOn = 1, kOff = 2;

void setPixel(std::vector<uint8_t>& packed, size_t pixel, uint8_t bits) {
    packed[pixel >> 2] |= static_cast<uint8_t>(bits << ((pixel & 3) * 2));
}

size_t packedBytes(uint16_t width, uint16_t height) {
    return (size_t{width} * height + 3) / 4;
}

void count(const std::vector<uint8_t>& packed, EventPictureCounts& counts) {
    counts = {};
    for (uint8_t byte : packed) {
        for (int shift = 0; shift < 8; shift += 2) {
            const uint8_t bits = (byte >> shift) & 3;
            counts.onPixels += (bits & kOn) != 0;
            counts.offPixels += (bits & kOff) != 0;
        }
    }
}

}  // namespace

LiveEventImage::LiveEventImage(uint16_t width, uint16_t height)
    : width_(width),
      height_(height),
      // Value-initialised: every time starts at 0, "never".
      on_(std::make_unique<std::atomic<uint64_t>[]>(size_t{width} * height)),
      off_(std::make_unique<std::atomic<uint64_t>[]>(size_t{width} * height)) {}

void LiveEventImage::add(const Event2D* begin, const Event2D* end) {
    if (begin == end) {
        return;
    }
    for (const Event2D* e = begin; e < end; ++e) {
        if (e->x < width_ && e->y < height_) {
            const size_t pixel = size_t{e->y} * width_ + e->x;
            (e->polarity ? on_ : off_)[pixel].store(e->timestamp + 1, std::memory_order_relaxed);
        }
    }
    latest_.store((end - 1)->timestamp, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(rangesMutex_);
    counted_ += static_cast<uint64_t>(end - begin);
    if (ranges_.size() < kRanges) {
        ranges_.emplace_back((end - 1)->timestamp, counted_);
    } else {
        ranges_[nextRange_] = {(end - 1)->timestamp, counted_};
    }
    nextRange_ = (nextRange_ + 1) % kRanges;
}

uint64_t LiveEventImage::eventsIn(uint64_t end, uint64_t window) const {
    const uint64_t from = end >= window ? end - window : 0;
    std::lock_guard<std::mutex> lock(rangesMutex_);
    // The count at the last range ending at or before each edge of the window.
    uint64_t atFrom = 0, atEnd = 0, timeFrom = 0, timeEnd = 0;
    for (const auto& [time, count] : ranges_) {
        if (time <= from && time >= timeFrom) {
            timeFrom = time;
            atFrom = count;
        }
        if (time <= end && time >= timeEnd) {
            timeEnd = time;
            atEnd = count;
        }
    }
    return atEnd - std::min(atFrom, atEnd);
}

std::vector<uint8_t> LiveEventImage::draw(uint64_t end, uint64_t window,
                                          EventPictureCounts& counts) const {
    std::vector<uint8_t> packed(packedBytes(width_, height_), 0);
    // Kept times are one more than the event's: (end - window, end] is
    // (end - window + 1, end + 1].
    const uint64_t after = end >= window ? end - window + 1 : 0;
    const uint64_t last = end + 1;
    const size_t pixels = size_t{width_} * height_;
    for (size_t pixel = 0; pixel < pixels; ++pixel) {
        const uint64_t on = on_[pixel].load(std::memory_order_relaxed);
        const uint64_t off = off_[pixel].load(std::memory_order_relaxed);
        const uint8_t bits = static_cast<uint8_t>((on > after && on <= last ? kOn : 0) |
                                                  (off > after && off <= last ? kOff : 0));
        if (bits != 0) {
            setPixel(packed, pixel, bits);
        }
    }
    count(packed, counts);
    return packed;
}

std::vector<uint8_t> packEvents(const std::vector<Event2D>& events, uint16_t width, uint16_t height,
                                EventPictureCounts& counts) {
    std::vector<uint8_t> packed(packedBytes(width, height), 0);
    for (const Event2D& e : events) {
        if (e.x < width && e.y < height) {
            setPixel(packed, size_t{e.y} * width + e.x, e.polarity ? kOn : kOff);
        }
    }
    count(packed, counts);
    return packed;
}

std::vector<uint8_t> packFusionImage(const std::vector<uint16_t>& image, uint16_t width,
                                     uint16_t height, EventPictureCounts& counts,
                                     uint64_t& events) {
    std::vector<uint8_t> packed(packedBytes(width, height), 0);
    events = 0;
    if (image.size() >= size_t{width} * height * 2) {
        for (size_t y = 0; y < height; ++y) {
            for (size_t x = 0; x < width; ++x) {
                // Columns are mirrored; OFF then ON counts a pixel.
                const uint16_t* pair = &image[2 * (y * width + (width - 1 - x))];
                events += pair[0] + pair[1];
                const uint8_t bits =
                    static_cast<uint8_t>((pair[1] != 0 ? kOn : 0) | (pair[0] != 0 ? kOff : 0));
                if (bits != 0) {
                    setPixel(packed, y * width + x, bits);
                }
            }
        }
    }
    count(packed, counts);
    return packed;
}

ViewPicture eventPicture(const std::vector<uint8_t>& packed, uint16_t width, uint16_t height,
                         uint64_t end, uint64_t window, const EventPictureCounts& counts,
                         uint64_t events, char kind) {
    // Deflated at the fastest level: an event picture is mostly empty, and
    // shrinks about tenfold (see the viewer benchmark).
    uLongf size = compressBound(static_cast<uLong>(packed.size()));
    std::string deflated(size, '\0');
    const bool small = compress2(reinterpret_cast<Bytef*>(deflated.data()), &size, packed.data(),
                                 static_cast<uLong>(packed.size()), 1) == Z_OK &&
                       size < packed.size();
    ViewPicture picture;
    std::string& m = picture.message;
    m.reserve(40 + (small ? size : packed.size()));
    m.push_back(kind);
    m.push_back(1);
    appendLittleEndian<uint16_t>(m, width);
    appendLittleEndian<uint16_t>(m, height);
    m.push_back(small ? 1 : 0);
    m.push_back(0);
    appendLittleEndian<uint64_t>(m, end);
    appendLittleEndian<uint64_t>(m, window);
    appendLittleEndian<uint32_t>(m, static_cast<uint32_t>(counts.onPixels));
    appendLittleEndian<uint32_t>(m, static_cast<uint32_t>(counts.offPixels));
    appendLittleEndian<uint64_t>(m, events);
    if (small) {
        m.append(deflated.data(), size);
    } else {
        m.append(reinterpret_cast<const char*>(packed.data()), packed.size());
    }
    return picture;
}

}  // namespace orvane::cli
