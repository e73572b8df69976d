// The event side shared by the camera families, driven directly: batching
// limits, contained callbacks, the acquisition loop's failures and a recorder
// whose disk cannot keep up.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "camera/AcquisitionLoop.h"
#include "camera/EventDispatcher.h"
#include "camera/RawRecorder.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3StateWords.h"
#include "support/LogCapture.h"
#include "support/PlainEvt3Decoder.h"
#include "support/Streams.h"

namespace orvane {
namespace {

std::vector<Event2D> eventsAt(std::initializer_list<uint64_t> times) {
    std::vector<Event2D> events;
    for (uint64_t t : times) {
        events.emplace_back(1, 1, 1, t);
    }
    return events;
}

bool same(const Event2D& a, const Event2D& b) {
    return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
}

// A decoder sharing its state with `recorder`, as the camera's loop does:
// each device buffer goes to the recorder, then to the decoder.
struct RecordingDecoder {
    explicit RecordingDecoder(RawRecorder& to)
        : recorder(to), decoder(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"))) {
        recorder.setDecoderState(RawRecorder::evt3(*decoder));
        decoder->setEventsStreamHandleCallback([this](const Event2D* b, const Event2D* e) {
            delivered.insert(delivered.end(), b, e);
        });
    }
    void feed(const std::vector<uint8_t>& stream, size_t deviceBuffer) {
        for (size_t at = 0; at < stream.size(); at += deviceBuffer) {
            const std::vector<uint8_t> buffer(
                stream.begin() + static_cast<long>(at),
                stream.begin() + static_cast<long>(std::min(at + deviceBuffer, stream.size())));
            recorder.append(buffer);
            decoder->decode(buffer);
        }
    }
    RawRecorder& recorder;
    std::unique_ptr<Decoder> decoder;
    std::vector<Event2D> delivered;
};

// Runs `work` on a helper thread; false when it did not finish within seconds.
template <typename Work>
bool finishesSoon(Work work) {
    auto done = std::async(std::launch::async, std::move(work));
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

TEST(EventDispatcher, BatchesSurviveGapsHugeSlicesAndSlowConsumers) {
    EventDispatcher dispatcher;
    test::LogCapture log(LOG_WARNING);
    auto feed = [&](std::vector<Event2D> range) {
        dispatcher.dispatchEvents(range.data(), range.data() + range.size());
    };
    std::vector<Event2D> batch;
    dispatcher.setBatchEventsNum(2);
    EXPECT_FALSE(dispatcher.getNextBatch(batch)) << "no run: no wait";

    // A consumer that comes late finds the finished batches waiting, oldest first.
    dispatcher.beginRun();
    feed(eventsAt({1, 2, 3, 4, 5, 6, 7}));
    auto queued = [&] {
        auto taken = std::async(std::launch::async, [&] {
            std::vector<Event2D> b;
            dispatcher.getNextBatch(b);
            return b;
        });
        if (taken.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "getNextBatch waits although finished batches are there";
            dispatcher.endRun();
        }
        return taken.get();
    };
    for (uint64_t first : {1, 3, 5}) {
        batch = queued();
        ASSERT_EQ(batch.size(), 2u);
        EXPECT_EQ(batch[0].timestamp, first);
    }
    EXPECT_EQ(dispatcher.droppedBatches(), 0u);
    EXPECT_TRUE(log.lines.empty());
    // One that falls further behind than the queue holds loses the oldest: counted,
    // logged once.
    dispatcher.setBatchQueueSize(0);  // counts as 1
    feed(eventsAt({8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(dispatcher.droppedBatches(), 2u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines.at(0).message.find("slower than the stream"), std::string::npos);
    ASSERT_TRUE(dispatcher.getNextBatch(batch));
    EXPECT_EQ(batch.at(0).timestamp, 11u) << "the newest batch is kept";
    dispatcher.setBatchQueueSize(3);
    feed(eventsAt({14, 15, 16, 17, 18, 19, 20, 21, 22}));
    EXPECT_EQ(dispatcher.droppedBatches(), 3u);
    ASSERT_TRUE(dispatcher.getNextBatch(batch));
    EXPECT_EQ(batch.at(0).timestamp, 15u);
    // A new run starts without the events left filling from the last one.
    dispatcher.beginRun();
    feed(eventsAt({100, 101, 102}));
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> b;
        dispatcher.getNextBatch(b);
        return b;
    });
    // Hand-overs until the waiter has one: each later one replaces an untaken batch.
    for (uint64_t t = 200;
         waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready; t += 2) {
        feed(eventsAt({t, t + 1}));
    }
    // Queued batches of the last run are gone too.
    for (const Event2D& e : waiter.get()) {
        EXPECT_GE(e.timestamp, 100u) << "an event of the last run in a batch of this one";
    }

    // 1 us slices across a ten-minute gap: straight to the slice of the next event.
    dispatcher.setBatchEventsTime(1);
    EXPECT_TRUE(finishesSoon([&] {
        feed(eventsAt({1000, 1000 + 600'000'000ull, 1000 + 600'000'001ull}));
    }));
    // A slice longer than time itself neither wraps nor stalls.
    dispatcher.setBatchEventsTime(UINT64_MAX);
    EXPECT_TRUE(finishesSoon([&] { feed(eventsAt({2'000'000'000ull, 3'000'000'000ull})); }));
    dispatcher.endRun();
    EXPECT_FALSE(dispatcher.getNextBatch(batch)) << "the run ended: no wait";
}

TEST(EventDispatcher, ACallbackThatThrowsCostsTheOthersNothing) {
    EventDispatcher dispatcher;
    test::LogCapture log(LOG_ERROR);
    size_t received = 0, triggers = 0;
    dispatcher.addEventsCallback(
        [](const Event2D*, const Event2D*) { throw std::runtime_error("no"); });
    dispatcher.addEventsCallback(
        [&](const Event2D* b, const Event2D* e) { received += static_cast<size_t>(e - b); });
    dispatcher.addEventsCallback([](const Event2D*, const Event2D*) { throw 42; });
    dispatcher.addTriggerCallback([](EventTriggerIn) { throw "a string"; });
    dispatcher.addTriggerCallback([&](EventTriggerIn) { ++triggers; });
    const std::vector<Event2D> range = eventsAt({1, 2, 3});
    for (int i = 0; i < 4; ++i) {
        dispatcher.dispatchEvents(range.data(), range.data() + range.size());
        dispatcher.dispatchTrigger(EventTriggerIn{});
    }
    EXPECT_EQ(received, 12u);
    EXPECT_EQ(triggers, 4u);
    EXPECT_EQ(dispatcher.callbackFailures(), 12u);
    EXPECT_EQ(log.lines.size(), 3u) << "one line per failing callback";
}

TEST(AcquisitionLoop, FailuresOfAnyStepAreCountedAndTheLoopGoesOn) {
    AcquisitionLoop loop("LOOP");
    test::LogCapture log(LOG_ERROR);
    std::mutex mutex;
    std::condition_variable processed;
    int calls = 0, buffers = 0;
    loop.start({[&]() -> std::optional<RawBuffer> {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (++calls % 3 == 0) {
                        throw std::runtime_error("fetch failed");
                    }
                    return std::make_shared<std::vector<uint8_t>>(2);
                },
                [&](std::vector<uint8_t>&) {
                    std::lock_guard<std::mutex> lock(mutex);
                    processed.notify_all();
                    if (++buffers % 2 == 0) {
                        throw 7;  // not even a std::exception
                    }
                },
                [] { return false; }});
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(
            processed.wait_for(lock, std::chrono::seconds(5), [&] { return buffers >= 10; }));
    }
    EXPECT_TRUE(loop.stop());
    EXPECT_FALSE(loop.isRunning());
    EXPECT_GE(loop.failures(), 5u);
    EXPECT_EQ(log.lines.size(), 1u) << "the first failure is logged, the rest counted";
}

// A pipe that the test drains only when it wants to: a disk that is behind.
struct SlowDisk {
    SlowDisk() : path(scratch.file("disk")) {
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        readEnd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        fcntl(readEnd, F_SETFL, 0);
    }
    ~SlowDisk() { close(readEnd); }
    std::vector<uint8_t> drainUntilClosed() {
        std::vector<uint8_t> bytes;
        uint8_t chunk[65536];
        ssize_t n;
        while ((n = read(readEnd, chunk, sizeof chunk)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }
    test::ScratchDir scratch;
    std::string path;
    int readEnd = -1;
};

TEST(RawRecorder, ASlowDiskCostsCountedDataAndTheFileStillDecodes) {
    SlowDisk disk;
    RawRecorder recorder("SLOW", 4096, 2);
    test::LogCapture log(LOG_ERROR);
    RecordingDecoder camera(recorder);
    const std::vector<Event2D>& delivered = camera.delivered;

    ASSERT_EQ(recorder.start(disk.path, "% evt 3.0\n% end\n"), 0);
    camera.feed(test::encode(test::randomStream(5, 400000, 3)), 1000);
    EXPECT_GT(recorder.droppedBytes(), 0u) << "nothing read the pipe meanwhile";
    auto reader = std::async(std::launch::async, [&] { return disk.drainUntilClosed(); });
    EXPECT_EQ(recorder.stop(), 0);
    std::vector<uint8_t> file = reader.get();
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const auto& l) {
                                return l.message.find("cannot keep up") != std::string::npos;
                            }),
              1);

    // The file holds whole stretches of the stream, each decoding to exactly the
    // delivered events with their times.
    const std::string header = "% evt 3.0\n% end\n";
    ASSERT_GT(file.size(), header.size());
    const std::vector<Event2D> decoded = test::decodeEvents(
        std::vector<uint8_t>(file.begin() + static_cast<long>(header.size()), file.end()));
    ASSERT_FALSE(decoded.empty());
    ASSERT_LT(decoded.size(), delivered.size());
    size_t matched = 0;
    for (size_t i = 0; i < delivered.size() && matched < decoded.size(); ++i) {
        matched += same(delivered[i], decoded[matched]);
    }
    EXPECT_EQ(matched, decoded.size()) << "every recorded event is a delivered one, in order";
    EXPECT_TRUE(same(decoded.front(), delivered.front()));

    // A disk that refuses the header refuses the recording, loudly.
    log.clear();
    EXPECT_EQ(recorder.start("/dev/full", header), -1);
    EXPECT_FALSE(recorder.isRecording());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].message.find("/dev/full"), std::string::npos);
}

// A disk that fills up, then gets room back: each write that fails costs the
// device buffers past what fitted (undone, counted, logged), and the file
// decodes on its own across each gap, to delivered events with their times,
// never going back.
TEST(RawRecorder, AFullDiskCostsDeviceBuffersAndTheFileDecodesOnAcrossEachGap) {
    test::ScratchDir scratch;
    const std::vector<uint8_t> stream = test::encode(test::randomStream(9, 200000, 2));
    // Room for the whole stream: however late the writer runs, nothing is
    // dropped for a slow disk.
    RawRecorder recorder("FULL", 8192, stream.size() / 4096);
    std::atomic<int> writes{0};
    // Writes 3 to 6 fail after half their bytes, as a full disk takes what fits.
    recorder.setWriteFault([&](uint64_t size) {
        const int n = ++writes;
        return n >= 3 && n <= 6 ? size / 2 + 1 : size;
    });
    test::LogCapture log(LOG_ERROR);
    RecordingDecoder camera(recorder);
    const std::vector<Event2D>& delivered = camera.delivered;

    const std::string header = "% evt 3.0\n% end\n";
    ASSERT_EQ(recorder.start(scratch.file("full.raw"), header), 0);
    camera.feed(stream, 1000);
    EXPECT_EQ(recorder.stop(), -1) << "writes failed";
    EXPECT_EQ(recorder.droppedBytes(), 0u);
    EXPECT_EQ(recorder.writeFailures(), 4u);
    // Of 8 device buffers, the first failed write keeps the 4 that fitted; the
    // three after it, each behind the state words of where it begins, keep 3.
    EXPECT_EQ(recorder.lostBytes(), 4000u + 3 * 5000);
    EXPECT_GE(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const auto& l) {
                                return l.message.find("writing failed") != std::string::npos;
                            }),
              1);

    const std::vector<uint8_t> file = test::fileBytes(scratch.file("full.raw"));
    ASSERT_GT(file.size(), header.size());
    ASSERT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(header.size())), header);
    test::PlainEvt3Decoder plain;
    std::vector<Event2D> decoded;
    std::vector<EventTriggerIn> triggers;
    plain.decode(file.data() + header.size(), file.data() + file.size(), decoded, triggers);
    ASSERT_FALSE(decoded.empty());
    ASSERT_LT(decoded.size(), delivered.size());
    size_t matched = 0;
    uint64_t latest = 0;
    bool forward = true;
    for (size_t i = 0; i < delivered.size() && matched < decoded.size(); ++i) {
        matched += same(delivered[i], decoded[matched]);
    }
    for (const Event2D& e : decoded) {
        forward = forward && e.timestamp >= latest;
        latest = e.timestamp;
    }
    EXPECT_EQ(matched, decoded.size()) << "every recorded event is a delivered one, in order";
    EXPECT_TRUE(forward) << "the time never goes back";
    EXPECT_TRUE(same(decoded.back(), delivered.back())) << "the data after the gap are kept";
    // Each gap is marked where a reader can find it.
    size_t markers = 0;
    for (size_t i = header.size(); i + 4 <= file.size(); i += 2) {
        markers += (file[i] | file[i + 1] << 8) == kEvt3GapMarker[0] &&
                   (file[i + 2] | file[i + 3] << 8) == kEvt3GapMarker[1];
    }
    EXPECT_EQ(markers, 4u);
}

// A disk that fills up in the middle of a staging buffer: the file keeps every
// whole device buffer that fitted, not only the staging buffers before it, and
// once there is room again it decodes on across the gap, times going forward.
TEST(RawRecorder, AFailedWriteCostsOnlyTheDeviceBuffersFromWhereItFailed) {
    test::ScratchDir scratch;
    constexpr size_t kDeviceBuffer = 1000;
    const std::vector<uint8_t> stream = test::encode(test::randomStream(9, 400000, 3));
    // Room for the whole stream: no staging buffer is dropped for a slow disk.
    RawRecorder recorder("CUT", 65536, stream.size() / 32768);
    // 100500 bytes fit, the next three writes fail at once, then there is room.
    constexpr uint64_t kRoom = 100500;
    uint64_t written = 0;
    int refused = 0;
    recorder.setWriteFault([&](uint64_t size) -> uint64_t {
        if (written >= kRoom && refused < 3) {
            ++refused;
            return 0;
        }
        const uint64_t through = written >= kRoom ? size : std::min(size, kRoom - written);
        written += through;
        return through;
    });
    RecordingDecoder camera(recorder);
    const std::vector<Event2D>& delivered = camera.delivered;

    const std::string header = "% evt 3.0\n% end\n";
    const std::vector<uint8_t> words = evt3StateWords(*camera.decoder);
    ASSERT_EQ(recorder.start(scratch.file("cut.raw"), header), 0);
    ASSERT_GT(stream.size(), 4 * kRoom);
    camera.feed(stream, kDeviceBuffer);
    EXPECT_EQ(recorder.stop(), -1) << "writes failed";
    EXPECT_EQ(recorder.droppedBytes(), 0u);

    // Before the gap: the state words and every device buffer that fitted whole.
    const std::vector<uint8_t> file = test::fileBytes(scratch.file("cut.raw"));
    const size_t kept = (kRoom - header.size() - words.size()) / kDeviceBuffer;
    ASSERT_GT(file.size(), header.size() + words.size() + kept * kDeviceBuffer);
    std::vector<uint8_t> before(header.begin(), header.end());
    before.insert(before.end(), words.begin(), words.end());
    before.insert(before.end(), stream.begin(), stream.begin() + long(kept * kDeviceBuffer));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), file.begin()))
        << "the file begins with the " << kept << " device buffers that fitted";
    const auto next = stream.begin() + long(kept * kDeviceBuffer);
    EXPECT_FALSE(std::equal(next, next + long(kDeviceBuffer), file.begin() + long(before.size())))
        << "the device buffer that did not fit is not in the file";
    size_t markers = 0;
    for (size_t i = header.size(); i + 4 <= file.size(); i += 2) {
        markers += (file[i] | file[i + 1] << 8) == kEvt3GapMarker[0] &&
                   (file[i + 2] | file[i + 3] << 8) == kEvt3GapMarker[1];
    }
    EXPECT_EQ(markers, 1u);
    EXPECT_GE(recorder.lostBytes() + (file.size() - header.size()), stream.size())
        << "what is not in the file is counted lost";

    // Across the gap: delivered events in order, times going forward, the last kept.
    std::vector<Event2D> decoded;
    std::vector<EventTriggerIn> triggers;
    test::PlainEvt3Decoder plain;
    plain.decode(file.data() + header.size(), file.data() + file.size(), decoded, triggers);
    size_t matched = 0;
    for (size_t i = 0; i < delivered.size() && matched < decoded.size(); ++i) {
        matched += same(delivered[i], decoded[matched]);
    }
    EXPECT_EQ(matched, decoded.size()) << "every recorded event is a delivered one, in order";
    EXPECT_TRUE(std::is_sorted(
        decoded.begin(), decoded.end(),
        [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }))
        << "the time never goes back";
    ASSERT_FALSE(decoded.empty());
    EXPECT_TRUE(same(decoded.back(), delivered.back())) << "the data after the gap are kept";
}

}  // namespace
}  // namespace orvane
