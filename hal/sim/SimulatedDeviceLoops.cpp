// The simulated camera's producers, one thread per started endpoint: the event
// sensor, the replay of a recording, and the frame sensor's pictures.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "SensorModel.h"
#include "orvane/base/ByteOrder.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/sim/SimulatedDevice.h"

namespace orvane::sim {

namespace {

constexpr const char* kLogModule = "hal/sim/SimulatedDevice";

constexpr std::chrono::microseconds kTick{1000};  // live production step
constexpr uint64_t kFlushEveryUs = 10'000;        // a partial buffer waits at most this sensor time
constexpr uint64_t kFastStepUs = 1000;            // sensor time per step when reader-paced
constexpr uint64_t kMaxStepUs = 20'000;           // a live step never makes up more than this
constexpr std::chrono::microseconds kSendSlice{10'000};
constexpr double kEventsPerPiece = 1 << 18;  // generated, encoded and sent at once
constexpr uint64_t kResyncUs = 1'000'000;    // a picture this late gives up its exposure
constexpr std::chrono::milliseconds kFirstFrameWait{100};  // for the event sensor's choice

// Counts what a buffer carries as the host will decode it.
class WireCounter {
  public:
    WireCounter() : decoder_(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"))) {
        decoder_->setEventsStreamHandleCallback(
            [this](const Event2D* b, const Event2D* e) { events += static_cast<uint64_t>(e - b); });
        decoder_->setTriggerInCallback([this](EventTriggerIn) { ++triggers; });
    }
    void count(const std::vector<uint8_t>& buffer) {
        events = triggers = 0;
        decoder_->decode(buffer);
    }
    uint64_t lastTimestamp() const { return decoder_->getCurrentTimestamp(); }

    uint64_t events = 0, triggers = 0;

  private:
    std::unique_ptr<Decoder> decoder_;
};

// Pictures come back here when the host lets go of them and are written
// again: a fresh 12 MB picture each time would cost the machine its page
// faults, 30 times a second.
class PictureRecycler {
  public:
    static RawBuffer take(const std::shared_ptr<PictureRecycler>& recycler, size_t bytes) {
        std::unique_ptr<std::vector<uint8_t>> picture;
        {
            std::lock_guard<std::mutex> lock(recycler->mutex_);
            if (!recycler->free_.empty()) {
                picture = std::move(recycler->free_.back());
                recycler->free_.pop_back();
            }
        }
        if (!picture) {
            picture = std::make_unique<std::vector<uint8_t>>(bytes);
        }
        // The deleter holds the recycler: a picture may outlive the device.
        return RawBuffer(picture.release(), [recycler](std::vector<uint8_t>* back) {
            std::unique_ptr<std::vector<uint8_t>> owned(back);
            std::lock_guard<std::mutex> lock(recycler->mutex_);
            if (recycler->free_.size() < kKept) {
                recycler->free_.push_back(std::move(owned));
            }
        });
    }

  private:
    static constexpr size_t kKept = 4;
    std::mutex mutex_;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> free_;
};

}  // namespace

bool SimulatedDevice::send(uint8_t endpoint, BufferQueue& queue, RawBuffer buffer) {
    if (config_.pacing == Pacing::RealTime) {
        return queue.push(std::move(buffer));
    }
    while (!queue.pushWait(buffer, kSendSlice)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping(endpoint) || queue.closed()) {
            return false;
        }
    }
    return true;
}

void SimulatedDevice::countSent(uint64_t events, uint64_t triggers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);  // no waiter misses the change
        eventsSent_ += events;
        triggersSent_ += triggers;
    }
    sentChanged_.notify_all();
}

void SimulatedDevice::eventLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue) {
    const size_t cut = bufferBytes & ~1u;  // buffers end on whole words
    const SensorControls& controls = SensorControls::instance();
    const bool withFrames = config_.product == Product::Tandro;
    SensorModel sensor(config_);
    std::vector<uint8_t> pending;
    bool fresh = true;
    uint64_t produced = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        produced = clock_.base();  // the time base continues from an earlier start
    }
    sensor.skipTo(produced);
    uint64_t lastSend = produced;  // sensor time of the last buffer sent
    const uint64_t pieceUs = std::max<uint64_t>(
        1, static_cast<uint64_t>(kEventsPerPiece / std::max(config_.eventRate / 1e6, 1e-6)));
    WireCounter wire;
    auto sendPending = [&](size_t bytes, bool finalFlush) {
        auto buffer = std::make_shared<std::vector<uint8_t>>(
            pending.begin(), pending.begin() + static_cast<long>(bytes));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(bytes));
        wire.count(*buffer);
        if (config_.product == Product::Tandro) {
            convertEndian(*buffer);
        }
        lastSend = produced;
        const bool sent = finalFlush ? queue->push(std::move(buffer))
                                     : send(ENDPOINT_EVENTS, *queue, std::move(buffer));
        if (sent) {
            countSent(wire.events, wire.triggers);
        }
        return sent;
    };

    while (true) {
        SensorSettings s;
        uint64_t until = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping(ENDPOINT_EVENTS) || outputOn(); });
            if (stopping(ENDPOINT_EVENTS)) {
                break;
            }
            if (config_.pacing == Pacing::RealTime) {
                changed_.wait_for(lock, kTick,
                                  [&] { return stopping(ENDPOINT_EVENTS) || !outputOn(); });
                if (stopping(ENDPOINT_EVENTS)) {
                    break;
                }
                until = clock_.now();
            } else {
                until = clock_.advance(kFastStepUs);
            }
            s = controls.read(registers_, withFrames);
            s.firstFrame = firstFrame_;
        }
        if (until <= produced) {
            continue;
        }
        if (until - produced > kMaxStepUs) {
            produced = until - kMaxStepUs;
            sensor.skipTo(produced);
        }
        if (!s.hasTimeBase) {
            produced = until;  // a slave without a master: no time base, nothing to send
            sensor.skipTo(until);
            continue;
        }
        if (s.frameTriggers && s.firstFrame == UINT64_MAX) {
            // The frames have begun: the first exposure this loop makes whole is
            // the first picture's, so that pulses and pictures start together.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (firstFrame_ == UINT64_MAX) {
                    firstFrame_ = ((produced + kExposureUs) / kFramePeriodUs + 1) * kFramePeriodUs;
                }
                s.firstFrame = firstFrame_;
            }
            changed_.notify_all();
        }
        if (fresh) {
            sensor.restart(produced);
            fresh = false;
        }
        // At high rates a step holds millions of events: it is made and sent in
        // pieces, so that memory stays bounded and a stop is seen within a piece.
        bool ok = true;
        while (ok && produced < until) {
            const uint64_t to = std::min(until, produced + pieceUs);
            sensor.produce(produced, to, s, pending);
            produced = to;
            while (ok && pending.size() >= cut) {
                ok = sendPending(cut, false);
            }
            if (ok && produced < until) {
                std::lock_guard<std::mutex> lock(mutex_);
                ok = !stopping(ENDPOINT_EVENTS);
            }
        }
        // As a USB device flushes on a timeout, a partial buffer goes out after
        // 10 ms of sensor time, so that a sparse stream still flows.
        if (ok && !pending.empty() && produced - lastSend >= kFlushEveryUs) {
            ok = sendPending(pending.size(), false);
        }
        if (!ok) {
            break;
        }
    }
    // What the sensor has produced goes out before the endpoint stops.
    if (!pending.empty()) {
        sendPending(pending.size(), true);
    }
}

// Streams a recording's payload as it is, in buffers of the transfer size;
// live pacing follows the recording's own time.
void SimulatedDevice::replayLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue) {
    std::ifstream in(config_.replayFile, std::ios::binary);
    std::vector<uint8_t> payload((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    size_t pos = 0;
    while (pos < payload.size() && payload[pos] == '%') {  // the header: lines starting with '%'
        auto eol = std::find(payload.begin() + static_cast<long>(pos), payload.end(), '\n');
        pos = static_cast<size_t>(eol - payload.begin()) + 1;
    }
    WireCounter timer;
    const auto started = std::chrono::steady_clock::now();
    uint64_t firstTime = UINT64_MAX;
    const size_t cut = std::max<size_t>(2, bufferBytes & ~1u);
    while (pos < payload.size()) {
        const size_t bytes = std::min(cut, payload.size() - pos);
        auto buffer = std::make_shared<std::vector<uint8_t>>(
            payload.begin() + static_cast<long>(pos),
            payload.begin() + static_cast<long>(pos + bytes));
        timer.count(*buffer);
        const uint64_t t = timer.lastTimestamp();
        firstTime = std::min(firstTime, t);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping(ENDPOINT_EVENTS) || outputOn(); });
            if (config_.pacing == Pacing::RealTime) {
                changed_.wait_until(lock, started + std::chrono::microseconds(t - firstTime),
                                    [&] { return stopping(ENDPOINT_EVENTS); });
            }
            if (stopping(ENDPOINT_EVENTS)) {
                return;
            }
        }
        if (config_.product == Product::Tandro) {
            convertEndian(*buffer);
        }
        if (!send(ENDPOINT_EVENTS, *queue, std::move(buffer))) {
            return;
        }
        pos += bytes;
        countSent(timer.events, timer.triggers);
    }
    ORVANE_LOG(LOG_INFO, "%s: replay of %s finished", description_.serial.c_str(),
               config_.replayFile.c_str());
}

// NV12 pictures of horizontal bands moving down, 30 per second while the frame
// sensor is on. While the event sensor's time base runs, each picture is read
// out at its closing pulse (the level 1 edge on the event stream) and carries
// that pulse's time in its top rows (SimulatedDevice::pictureTag); otherwise
// the pictures follow the host clock and carry 0.
void SimulatedDevice::frameLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue) {
    const size_t lumaBytes = size_t{kFrameWidth} * kFrameHeight;
    const size_t pictureBytes = lumaBytes * 3 / 2;
    if (bufferBytes < pictureBytes) {
        ORVANE_LOG(LOG_ERROR, "%s: frame transfers of %u bytes cannot hold a %zu-byte picture",
                   description_.serial.c_str(), bufferBytes, pictureBytes);
        return;
    }
    const SensorControls& controls = SensorControls::instance();
    auto next = std::chrono::steady_clock::now();
    uint64_t index = 0, lastFrame = 0;
    auto recycled = std::make_shared<PictureRecycler>();
    // Live, the event sensor pulses from the first picture's exposure on, each
    // start afresh (the event loop chooses it). Paced by the reader, pictures
    // carry no times and every exposure pulses.
    if (config_.pacing != Pacing::RealTime) {
        std::lock_guard<std::mutex> lock(mutex_);
        firstFrame_ = 0;
    }
    struct Reset {
        SimulatedDevice& device;
        ~Reset() {
            std::lock_guard<std::mutex> lock(device.mutex_);
            device.firstFrame_ = UINT64_MAX;
        }
    } reset{*this};
    while (true) {
        uint64_t frameTime = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(
                lock, [&] { return stopping(ENDPOINT_FRAMES) || controls.framesOn(registers_); });
            if (config_.pacing == Pacing::RealTime) {
                if (outputOn()) {
                    // Every exposure gives its picture, late when this thread was
                    // held up; after a long stall (or at the start) the pictures
                    // take up the exposures again from the next one.
                    if (lastFrame == 0) {
                        // The first picture is of the first exposure the event
                        // sensor pulses for, which it chooses (a streaming event
                        // sensor does at once).
                        changed_.wait_for(lock, kFirstFrameWait, [&] {
                            return stopping(ENDPOINT_FRAMES) || firstFrame_ != UINT64_MAX;
                        });
                        if (stopping(ENDPOINT_FRAMES)) {
                            return;
                        }
                    }
                    const uint64_t now = clock_.now();
                    if (lastFrame == 0 && firstFrame_ != UINT64_MAX) {
                        frameTime = firstFrame_;
                    } else if (lastFrame != 0 && now < lastFrame + kResyncUs) {
                        frameTime = lastFrame + kFramePeriodUs;
                    } else {
                        // After a long stall the pictures take up the exposures
                        // again from the next one (the event sensor pulses on
                        // for every exposure).
                        frameTime = ((now + kExposureUs) / kFramePeriodUs + 1) * kFramePeriodUs;
                        if (firstFrame_ == UINT64_MAX) {
                            firstFrame_ = frameTime;
                        }
                    }
                    lastFrame = frameTime;
                    next = std::chrono::steady_clock::now() +
                           std::chrono::microseconds(frameTime > now ? frameTime - now : 0);
                } else {
                    next = std::max(next + std::chrono::microseconds(kFramePeriodUs),
                                    std::chrono::steady_clock::now());
                }
                changed_.wait_until(lock, next, [&] { return stopping(ENDPOINT_FRAMES); });
            }
            if (stopping(ENDPOINT_FRAMES)) {
                return;
            }
        }
        RawBuffer picture = PictureRecycler::take(recycled, pictureBytes);
        for (uint32_t row = 0; row < kFrameHeight; ++row) {
            std::memset(picture->data() + size_t{row} * kFrameWidth,
                        static_cast<int>((row / 8 + index * 4) & 0xFF), kFrameWidth);
        }
        std::memset(picture->data() + lumaBytes, 128, lumaBytes / 2);
        tagPicture(picture->data(), frameTime);
        if (!send(ENDPOINT_FRAMES, *queue, std::move(picture))) {
            return;
        }
        ++index;
        ++framesSent_;
    }
}

// Bit b of the time is the luma of a 16 x 16 block at column 16 b of the top
// rows: white (235) for 1, black (16) for 0, so it survives the conversion to BGR.
void SimulatedDevice::tagPicture(uint8_t* nv12, uint64_t time) {
    for (uint32_t row = 0; row < kTagBlock; ++row) {
        for (uint32_t bit = 0; bit < kTagBits; ++bit) {
            std::memset(nv12 + size_t{row} * kFrameWidth + bit * kTagBlock,
                        ((time >> bit) & 1) != 0 ? 235 : 16, kTagBlock);
        }
    }
}

uint64_t SimulatedDevice::pictureTag(const uint8_t* bgr) {
    uint64_t time = 0;
    const size_t middle = size_t{kTagBlock} / 2 * kFrameWidth * 3;
    for (uint32_t bit = 0; bit < kTagBits; ++bit) {
        const uint8_t green = bgr[middle + (size_t{bit} * kTagBlock + kTagBlock / 2) * 3 + 1];
        time |= uint64_t{green > 128} << bit;
    }
    return time;
}

}  // namespace orvane::sim
