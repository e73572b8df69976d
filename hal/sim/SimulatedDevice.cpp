#include "orvane/sim/SimulatedDevice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "orvane/base/ByteOrder.h"
#include "orvane/base/Logger.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/RegisterTables.h"
#include "orvane/sim/SceneGenerator.h"
#include "orvane/sim/SimulatedBus.h"

namespace orvane::sim {

namespace {

constexpr const char* kLogModule = "hal/sim/SimulatedDevice";

// Start commands of the fusion camera's two streams.
constexpr uint32_t kStartEventsProperty = 0x40010010;
constexpr uint32_t kStartFramesProperty = 0x40010200;

// Registers the simulated sensor acts on.
constexpr uint32_t kRoiCtrl = 0x0004, kBiasDiffOn = 0x1010, kBiasDiffOff = 0x1018, kRoiX = 0x2000,
                   kRoiY = 0x4000, kErcPeriod = 0x6008, kErcTarget = 0x600C, kErcEnable = 0x6028,
                   kTriggerIn = 0x7004, kTimeBaseCtrl = 0x9008, kRoCtrl = 0x9028, kApsCtrl = 0x5000;

constexpr std::chrono::microseconds kTick{1000};  // live production step
constexpr uint64_t kFlushEveryUs = 10'000;        // a partial buffer waits at most this sensor time
constexpr uint64_t kFastStepUs = 1000;            // sensor time per step when reader-paced
constexpr uint64_t kMaxStepUs = 20'000;           // a live step never makes up more than this
constexpr uint64_t kTriggerHalfPeriodUs = 5000;   // 100 Hz square wave on trigger input 0
constexpr std::chrono::microseconds kSendSlice{10'000};

void loadDefaults(const RegisterInfo* table, uint32_t rows, std::map<uint32_t, uint32_t>& file) {
    const RegisterMap map = RegisterMap::fromTable(table, rows);
    for (const auto& [name, reg] : map.registers()) {
        file[reg.get_address()] = reg.get_default_value();
    }
}

const char* productName(Product product) {
    switch (product) {
        case Product::EVK4:
            return "EVK4";
        case Product::Brisca:
            return "Brisca";
        case Product::Tandro:
            return "Tandro";
    }
    return "?";
}

// The register settings that shape the sensor's output, read at each step.
struct Settings {
    bool roiEnabled = false;
    bool roiKeepsInside = true;
    std::array<uint32_t, 40> columnsOutside{};
    std::array<uint32_t, 23> rowsOutside{};
    bool ercEnabled = false;
    uint32_t ercPeriodUs = 200;
    uint32_t ercTarget = 0;
    uint32_t onThreshold = 0, offThreshold = 0;
    bool triggerIn = false;
    bool frameTriggers = false;
    bool hasTimeBase = true;  // a slave has none without a master
};

uint32_t bits(uint32_t value, unsigned start, unsigned length) {
    return (value >> start) & ((length >= 32) ? 0xFFFFFFFFu : ((1u << length) - 1));
}

// Share of events kept at a threshold bias: raising it from 0 to 255 thins the
// events of that polarity down to about one in nine.
bool passesThreshold(const Event2D& e, uint32_t threshold) {
    if (threshold == 0) {
        return true;
    }
    uint32_t hash =
        (e.x * 73856093u) ^ (e.y * 19349663u) ^ static_cast<uint32_t>(e.timestamp * 83492791u);
    return (hash % 1024) * (32 + threshold) < 1024u * 32;
}

}  // namespace

// Scene events through the sensor's filters, with trigger edges, as EVT 3.0.
class SimulatedDevice::EventSource {
  public:
    EventSource(const DeviceConfig& config) : scene_(config.scene, config.eventRate, config.seed) {}

    void restart() { encoder_.restart(); }

    void produce(uint64_t from, uint64_t until, const Settings& s, std::vector<uint8_t>& out) {
        generated_.clear();
        scene_.generate(until, generated_);
        kept_.clear();
        for (const Event2D& e : generated_) {
            if (keep(e, s)) {
                kept_.push_back(e);
            }
        }
        edges_.clear();
        if (s.triggerIn) {
            for (uint64_t t = (from + kTriggerHalfPeriodUs - 1) / kTriggerHalfPeriodUs *
                              kTriggerHalfPeriodUs;
                 t < until; t += kTriggerHalfPeriodUs) {
                edges_.emplace_back(0, static_cast<int16_t>((t / kTriggerHalfPeriodUs) % 2 == 0),
                                    t);
            }
        }
        if (s.frameTriggers) {
            for (uint64_t n = from / kFramePeriodUs; n * kFramePeriodUs < until + kExposureUs;
                 ++n) {
                const uint64_t frame = (n + 1) * kFramePeriodUs;
                for (uint64_t t : {frame - kExposureUs, frame}) {
                    if (t >= from && t < until) {
                        edges_.emplace_back(0, static_cast<int16_t>(t == frame), t);
                    }
                }
            }
        }
        std::stable_sort(edges_.begin(), edges_.end(),
                         [](const EventTriggerIn& a, const EventTriggerIn& b) {
                             return a.timestamp < b.timestamp;
                         });
        const Event2D* next = kept_.data();
        const Event2D* end = next + kept_.size();
        for (const EventTriggerIn& edge : edges_) {
            const Event2D* upTo = next;
            while (upTo < end && upTo->timestamp <= edge.timestamp) {
                ++upTo;
            }
            encoder_.encode(next, upTo, out);
            encoder_.encodeTrigger(edge, out);
            next = upTo;
        }
        encoder_.encode(next, end, out);
    }

    // A live sensor that fell behind its clock does not make up the time.
    void skipTo(uint64_t t) { scene_.skipTo(t); }

  private:
    bool keep(const Event2D& e, const Settings& s) {
        if (s.roiEnabled) {
            const bool outside = ((s.columnsOutside[e.x / 32] >> (e.x % 32)) & 1) != 0 ||
                                 ((s.rowsOutside[e.y / 32] >> (e.y % 32)) & 1) != 0;
            if (outside == s.roiKeepsInside) {
                return false;
            }
        }
        if (!passesThreshold(e, e.polarity ? s.onThreshold : s.offThreshold)) {
            return false;
        }
        if (s.ercEnabled && s.ercPeriodUs > 0) {
            const uint64_t window = e.timestamp / s.ercPeriodUs;
            if (window != ercWindow_) {
                ercWindow_ = window;
                ercCount_ = 0;
            }
            if (ercCount_ >= s.ercTarget) {
                return false;
            }
            ++ercCount_;
        }
        return true;
    }

    SceneGenerator scene_;
    Evt3Encoder encoder_;
    std::vector<Event2D> generated_, kept_;
    std::vector<EventTriggerIn> edges_;
    uint64_t ercWindow_ = UINT64_MAX;
    uint32_t ercCount_ = 0;
};

CameraDescription SimulatedDevice::describe(const DeviceConfig& config) {
    CameraDescription d;
    d.serial = config.serial;
    d.vendorId = SimulatedBus::vendorId(config.product);
    d.productId = SimulatedBus::productId(config.product);
    d.interfaceType = INTERFACE_USB;
    d.manufacturer = config.product == Product::EVK4 ? "Prophesee" : "Orvane";
    d.productName = productName(config.product);
    d.location = "sim";
    return d;
}

SimulatedDevice::SimulatedDevice(DeviceConfig config)
    : config_(std::move(config)), description_(describe(config_)) {
    if (config_.scene == Scene::Replay) {
        std::ifstream probe(config_.replayFile, std::ios::binary);
        if (!probe) {
            throw std::invalid_argument("SimulatedDevice: cannot read replay file \"" +
                                        config_.replayFile + "\"");
        }
    } else {
        SceneGenerator check(config_.scene, config_.eventRate, config_.seed);  // validates the rate
    }
    loadDefaults(imx636RegisterTable, kImx636RegisterTableRows, registers_);
    if (config_.product == Product::Tandro) {
        loadDefaults(imx415RegisterTable, kImx415RegisterTableRows, registers_);
    }
}

SimulatedDevice::~SimulatedDevice() {
    disconnect();
}

void SimulatedDevice::checkConnected() const {
    if (!connected_) {
        throw std::runtime_error("device " + description_.serial + " is unplugged");
    }
}

uint32_t SimulatedDevice::fileValue(uint32_t address) const {
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

bool SimulatedDevice::outputOn() const {
    return (fileValue(kRoCtrl) & 0x2) == 0 && (fileValue(kTimeBaseCtrl) & 0x1) != 0;
}

uint64_t SimulatedDevice::sensorTimeLocked() const {
    if (config_.pacing == Pacing::RealTime && outputOn()) {
        auto elapsed = std::chrono::steady_clock::now() - clockOrigin_;
        return clockBase_ +
               static_cast<uint64_t>(
                   std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    }
    return clockBase_;
}

uint64_t SimulatedDevice::sensorTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensorTimeLocked();
}

void SimulatedDevice::timeBaseChanged(bool wasOn) {
    const bool on = outputOn();
    if (on == wasOn || config_.pacing != Pacing::RealTime) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (on) {
        clockOrigin_ = now;
    } else {
        clockBase_ += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - clockOrigin_).count());
    }
}

uint32_t SimulatedDevice::readRegister(uint32_t address) {
    checkConnected();
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t value = fileValue(address);
    traffic_.push_back({RegisterAccess::Read, address, value, 0});
    return value;
}

void SimulatedDevice::writeRegister(uint32_t address, uint32_t value) {
    checkConnected();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasOn = outputOn();
        registers_[address] = value;
        traffic_.push_back({RegisterAccess::Write, address, value, 0});
        timeBaseChanged(wasOn);
    }
    changed_.notify_all();
}

// A real sensor needs these waits to settle; the simulator keeps them unless
// told to only log them, which keeps tests fast.
void SimulatedDevice::delay(uint64_t microseconds) {
    checkConnected();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        traffic_.push_back({RegisterAccess::Delay, 0, 0, microseconds});
    }
    if (config_.sleepDelays) {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
}

void SimulatedDevice::control(CtrlFrame& frame) {
    checkConnected();
    const uint32_t property = frame.get_property();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        traffic_.push_back(
            {RegisterAccess::ControlFrame, property, frame.words() > 0 ? frame.word(0) : 0, 0});
        if (property == RegisterController::kWriteRegisterProperty && frame.words() == 2) {
            const bool wasOn = outputOn();
            registers_[frame.word(0)] = frame.word(1);
            traffic_.push_back({RegisterAccess::Write, frame.word(0), frame.word(1), 0});
            timeBaseChanged(wasOn);
        } else if (property != kStartEventsProperty && property != kStartFramesProperty) {
            throw std::runtime_error("device " + description_.serial +
                                     " refuses control property " + std::to_string(property));
        }
    }
    changed_.notify_all();
    CtrlFrame answer(property);
    answer.push_back32(0);  // status: done
    answer.updateSize();
    frame.answer().assign(answer.frame(), answer.frame() + answer.frame_size());
}

void SimulatedDevice::startEndpoint(uint8_t endpoint, uint32_t, uint32_t bufferBytes,
                                    std::shared_ptr<BufferQueue> queue) {
    checkConnected();
    if (endpoint == ENDPOINT_FRAMES && config_.product != Product::Tandro) {
        throw std::invalid_argument("device " + description_.serial + " has no frame endpoint");
    }
    if (endpoint != ENDPOINT_EVENTS && endpoint != ENDPOINT_FRAMES) {
        throw std::invalid_argument("device " + description_.serial + " has no endpoint " +
                                    std::to_string(endpoint));
    }
    stopEndpoint(endpoint);
    std::lock_guard<std::mutex> lock(mutex_);
    Endpoint& e = endpoints_[endpoint];
    e.queue = queue;
    e.bufferBytes = bufferBytes;
    e.stopping = false;
    if (endpoint == ENDPOINT_FRAMES) {
        e.thread = std::thread(&SimulatedDevice::frameLoop, this, bufferBytes, queue);
    } else if (config_.scene == Scene::Replay) {
        e.thread = std::thread(&SimulatedDevice::replayLoop, this, bufferBytes, queue);
    } else {
        e.thread = std::thread(&SimulatedDevice::eventLoop, this, bufferBytes, queue);
    }
}

void SimulatedDevice::stopEndpoint(uint8_t endpoint) {
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = endpoints_.find(endpoint);
        if (it == endpoints_.end()) {
            return;
        }
        it->second.stopping = true;
        finishing = std::move(it->second.thread);
    }
    changed_.notify_all();
    if (finishing.joinable()) {
        finishing.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_.erase(endpoint);
}

bool SimulatedDevice::stopping(uint8_t endpoint) const {
    auto it = endpoints_.find(endpoint);
    return !connected_ || it == endpoints_.end() || it->second.stopping;
}

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

void SimulatedDevice::eventLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue) {
    const size_t cut = bufferBytes & ~1u;  // buffers end on whole words
    EventSource source(config_);
    std::vector<uint8_t> pending;
    uint64_t lastSend = 0;  // sensor time of the last buffer sent
    bool fresh = true;
    uint64_t produced = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        produced = clockBase_;  // the time base continues from an earlier start
    }
    source.skipTo(produced);
    lastSend = produced;
    // Counts what goes out, buffer by buffer, as the host will decode it.
    uint64_t wireEvents = 0, wireTriggers = 0;
    auto wire = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"));
    wire->setEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { wireEvents += static_cast<uint64_t>(e - b); });
    wire->setTriggerInCallback([&](EventTriggerIn) { ++wireTriggers; });
    auto sendPending = [&](size_t bytes, bool finalFlush) {
        auto buffer = std::make_shared<std::vector<uint8_t>>(
            pending.begin(), pending.begin() + static_cast<long>(bytes));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(bytes));
        wireEvents = wireTriggers = 0;
        wire->decode(*buffer);
        if (config_.product == Product::Tandro) {
            convertEndian(*buffer);
        }
        lastSend = produced;
        const bool sent = finalFlush ? queue->push(std::move(buffer))
                                     : send(ENDPOINT_EVENTS, *queue, std::move(buffer));
        if (sent) {
            countSent(wireEvents, wireTriggers);
        }
        return sent;
    };

    while (true) {
        Settings s;
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
                until = sensorTimeLocked();
            } else {
                clockBase_ += kFastStepUs;
                until = clockBase_;
            }
            const uint32_t roi = fileValue(kRoiCtrl);
            s.roiEnabled = bits(roi, 1, 1) != 0;
            s.roiKeepsInside = bits(roi, 6, 1) != 0;
            for (size_t i = 0; i < s.columnsOutside.size(); ++i) {
                s.columnsOutside[i] = fileValue(kRoiX + 4 * static_cast<uint32_t>(i));
            }
            for (size_t i = 0; i < s.rowsOutside.size(); ++i) {
                s.rowsOutside[i] = fileValue(kRoiY + 4 * static_cast<uint32_t>(i));
            }
            s.ercEnabled = bits(fileValue(kErcEnable), 0, 1) != 0;
            s.ercPeriodUs = bits(fileValue(kErcPeriod), 0, 10);
            s.ercTarget = bits(fileValue(kErcTarget), 0, 22);
            s.onThreshold = bits(fileValue(kBiasDiffOn), 0, 8);
            s.offThreshold = bits(fileValue(kBiasDiffOff), 0, 8);
            s.triggerIn = bits(fileValue(kTriggerIn), 0, 1) != 0;
            s.frameTriggers =
                config_.product == Product::Tandro && bits(fileValue(kApsCtrl), 0, 1) != 0;
            const uint32_t timeBase = fileValue(kTimeBaseCtrl);
            s.hasTimeBase = !(bits(timeBase, 3, 1) != 0 && bits(timeBase, 2, 1) == 0);
        }
        if (until <= produced) {
            continue;
        }
        if (until - produced > kMaxStepUs) {
            produced = until - kMaxStepUs;
            source.skipTo(produced);
        }
        if (!s.hasTimeBase) {
            produced = until;  // a slave without a master: no time base, nothing to send
            source.skipTo(until);
            continue;
        }
        if (fresh) {
            source.restart();
            fresh = false;
        }
        source.produce(produced, until, s, pending);
        produced = until;
        bool ok = true;
        while (ok && pending.size() >= cut) {
            ok = sendPending(cut, false);
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

void SimulatedDevice::countSent(uint64_t events, uint64_t triggers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);  // no waiter misses the change
        eventsSent_ += events;
        triggersSent_ += triggers;
    }
    sentChanged_.notify_all();
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
    auto timer = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"));
    uint64_t events = 0, triggers = 0;
    timer->setEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { events += static_cast<uint64_t>(e - b); });
    timer->setTriggerInCallback([&](EventTriggerIn) { ++triggers; });
    const auto started = std::chrono::steady_clock::now();
    uint64_t firstTime = UINT64_MAX;
    const size_t cut = std::max<size_t>(2, bufferBytes & ~1u);
    while (pos < payload.size()) {
        const size_t bytes = std::min(cut, payload.size() - pos);
        auto buffer = std::make_shared<std::vector<uint8_t>>(
            payload.begin() + static_cast<long>(pos),
            payload.begin() + static_cast<long>(pos + bytes));
        events = triggers = 0;
        timer->decode(*buffer);
        const uint64_t t = timer->getCurrentTimestamp();
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
        countSent(events, triggers);
    }
    ORVANE_LOG(LOG_INFO, "%s: replay of %s finished", description_.serial.c_str(),
               config_.replayFile.c_str());
}

// NV12 pictures of horizontal bands moving down, 30 per second while the frame
// sensor is on.
void SimulatedDevice::frameLoop(uint32_t bufferBytes, std::shared_ptr<BufferQueue> queue) {
    const size_t lumaBytes = size_t{kFrameWidth} * kFrameHeight;
    const size_t pictureBytes = lumaBytes * 3 / 2;
    if (bufferBytes < pictureBytes) {
        ORVANE_LOG(LOG_ERROR, "%s: frame transfers of %u bytes cannot hold a %zu-byte picture",
                   description_.serial.c_str(), bufferBytes, pictureBytes);
        return;
    }
    auto next = std::chrono::steady_clock::now();
    uint64_t index = 0;
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                return stopping(ENDPOINT_FRAMES) || bits(fileValue(kApsCtrl), 0, 1) != 0;
            });
            if (config_.pacing == Pacing::RealTime) {
                next += std::chrono::microseconds(kFramePeriodUs);
                changed_.wait_until(lock, next, [&] { return stopping(ENDPOINT_FRAMES); });
            }
            if (stopping(ENDPOINT_FRAMES)) {
                return;
            }
        }
        auto picture = std::make_shared<std::vector<uint8_t>>(pictureBytes);
        for (uint32_t row = 0; row < kFrameHeight; ++row) {
            std::memset(picture->data() + size_t{row} * kFrameWidth,
                        static_cast<int>((row / 8 + index * 4) & 0xFF), kFrameWidth);
        }
        std::memset(picture->data() + lumaBytes, 128, lumaBytes / 2);
        if (!send(ENDPOINT_FRAMES, *queue, std::move(picture))) {
            return;
        }
        ++index;
        ++framesSent_;
    }
}

bool SimulatedDevice::waitForEventsSent(uint64_t events, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return sentChanged_.wait_for(lock, timeout, [&] {
        return eventsSent_ >= events || !connected_;
    }) && eventsSent_ >= events;
}

std::vector<RegisterAccess> SimulatedDevice::traffic() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return traffic_;
}

void SimulatedDevice::clearTraffic() {
    std::lock_guard<std::mutex> lock(mutex_);
    traffic_.clear();
}

uint32_t SimulatedDevice::peekRegister(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fileValue(address);
}

std::map<uint32_t, uint32_t> SimulatedDevice::registerFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_;
}

void SimulatedDevice::stopAll() {
    std::vector<uint8_t> open;
    std::vector<std::shared_ptr<BufferQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [endpoint, e] : endpoints_) {
            open.push_back(endpoint);
            queues.push_back(e.queue);
        }
    }
    for (uint8_t endpoint : open) {
        stopEndpoint(endpoint);
    }
    // Streams waiting on these queues wake at once.
    for (auto& queue : queues) {
        queue->close();
    }
}

void SimulatedDevice::disconnect() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
    }
    changed_.notify_all();
    sentChanged_.notify_all();
    stopAll();
}

}  // namespace orvane::sim
