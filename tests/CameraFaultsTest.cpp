// Event cameras under faults and careless use, through the manager and the
// simulated devices: nothing hangs, nothing terminates, times stay true.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <type_traits>

#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/LogCapture.h"
#include "support/SimDevices.h"
#include "support/Streams.h"

namespace orvane {
namespace {

static_assert(std::has_virtual_destructor_v<DvsCamera>, "deleting through DvsCamera is defined");

sim::DeviceConfig deviceOf(const std::string& stem,
                           sim::Pacing pacing = sim::Pacing::AsFastAsRead) {
    sim::DeviceConfig config;
    config.product = sim::Product::EVK4;
    config.serial = test::uniqueSerial(stem);
    config.pacing = pacing;
    config.sleepDelays = false;
    config.eventRate = 2e6;
    return config;
}

struct OpenCamera {
    explicit OpenCamera(sim::DeviceConfig config) : plugged(config) {
        EXPECT_EQ(manager.updateCameras(), 1);
        camera = manager.openCamera(plugged.serial());
        EXPECT_NE(camera, nullptr);
    }
    DvsCameraPrivate& impl() { return dynamic_cast<DvsCameraPrivate&>(*camera); }
    test::PluggedDevice plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;
};

// Runs `call` on a helper thread: its result, or nothing when it did not return
// in time (the test fails; the run goes on).
template <typename Call>
auto within(Call call, std::chrono::seconds patience = std::chrono::seconds(5))
    -> std::optional<decltype(call())> {
    auto done = std::async(std::launch::async, std::move(call));
    if (done.wait_for(patience) != std::future_status::ready) {
        // The helper still blocks: leave it to the camera's teardown to wake.
        static std::vector<std::future<decltype(call())>> stuck;
        stuck.push_back(std::move(done));
        return std::nullopt;
    }
    return done.get();
}

// Counts delivered events and lets a test wait for more.
struct EventCounter {
    void add(size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        events += n;
        arrived.notify_all();
    }
    bool waitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return events >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    size_t events = 0;
};

TEST(CameraFaults, GetNextBatchNeverWaitsForAStreamThatIsNotThere) {
    OpenCamera open(deviceOf("NOWAIT", sim::Pacing::RealTime));
    DvsCamera& camera = *open.camera;
    auto next = [&] {
        std::vector<Event2D> batch;
        return camera.getNextBatch(batch);
    };
    camera.setBatchEventsNum(1000);
    EXPECT_EQ(within(next), std::optional<bool>(false)) << "before start";
    ASSERT_EQ(camera.start(), 0);
    EXPECT_EQ(within(next), std::optional<bool>(true));
    ASSERT_EQ(camera.stop(), 0);
    EXPECT_EQ(within(next), std::optional<bool>(false)) << "after stop";
    EXPECT_TRUE(within([&] {
        std::vector<Event2D> batch;
        while (camera.getNextBatch(batch)) {
        }
        return true;
    }));

    // Batches that never fill: only the device's loss can end the wait.
    camera.setBatchEventsNum(uint64_t{1} << 40);
    ASSERT_EQ(camera.start(), 0);
    auto waiter = std::async(std::launch::async, next);
    ASSERT_TRUE(open.plugged.device().waitForEventsSent(1000, std::chrono::seconds(10)));
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug(open.plugged.serial()));
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "unplugging wakes the waiter";
    EXPECT_EQ(within(next), std::optional<bool>(false)) << "after the loss";
    EXPECT_EQ(camera.stop(), -1);
}

// A device whose time base restarts with every start (a replay restarts its
// recording): each run goes on after the last, live and in one recording that
// any decoder reads back to exactly what was delivered.
TEST(CameraFaults, TimesGoOnAcrossRestartsLiveAndInOneRecording) {
    test::ScratchDir scratch;
    const std::vector<uint8_t> payload = test::encode(test::steadyStream(31, 30000, 10));
    test::writeRawFile(scratch.file("source.raw"), test::recordingHeader(), payload);
    const std::vector<Event2D> source = test::decodeEvents(payload);
    const uint64_t span = source.back().timestamp;
    sim::DeviceConfig config = deviceOf("RUNS");
    config.scene = sim::Scene::Replay;
    config.replayFile = scratch.file("source.raw");
    OpenCamera open(config);
    DvsCamera& camera = *open.camera;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Event2D> delivered;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.insert(delivered.end(), b, e);
        arrived.notify_all();
    });
    ASSERT_EQ(camera.startRecording(scratch.file("runs.raw")), 0);
    for (size_t run = 0; run < 3; ++run) {
        ASSERT_EQ(camera.start(), 0);
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(
                arrived.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return delivered.size() >= (run + 1) * source.size(); }))
                << "run " << run;
        }
        ASSERT_EQ(camera.stop(), 0);
    }
    ASSERT_EQ(camera.stopRecording(), 0);

    // Each run is the source, moved to begin at the 4096 us step after the last
    // run's end; the first keeps the device's times.
    EXPECT_EQ(test::runsJoinedDifference(source, delivered, 3), "");
    ASSERT_FALSE(delivered.empty());
    EXPECT_LT(delivered.back().timestamp, 3 * (span + 4096));

    // The recording, read by a decoder that knows nothing of runs.
    const test::RawFile file = test::readRawFile(scratch.file("runs.raw"));
    EXPECT_EQ(test::firstDifference(test::plainDecodeEvents(file.payload), delivered), "");
}

TEST(CameraFaults, CallbacksThatThrowOrStopLeaveTheCameraUsable) {
    // A finite stream, so that every event can be counted.
    test::ScratchDir scratch;
    const std::vector<uint8_t> payload = test::encode(test::randomStream(17, 200000, 1));
    test::writeRawFile(scratch.file("source.raw"), test::recordingHeader(), payload);
    sim::DeviceConfig config = deviceOf("THROW");
    config.scene = sim::Scene::Replay;
    config.replayFile = scratch.file("source.raw");
    OpenCamera open(config);
    DvsCamera& camera = *open.camera;
    test::LogCapture log(LOG_ERROR);
    EventCounter counter;
    std::atomic<int> stopFromCallback{1};
    camera.addEventsStreamHandleCallback([](const Event2D*, const Event2D*) { throw 1; });
    camera.addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { counter.add(static_cast<size_t>(e - b)); });
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (stopFromCallback == 1) {
            stopFromCallback = camera.stop();
        }
        throw std::runtime_error("callback failed");
    });
    ASSERT_EQ(camera.start(), 0);
    const size_t expected = test::decodeEvents(payload).size();
    EXPECT_TRUE(counter.waitFor(expected));
    // The device counts a buffer once it is handed over, which the camera may
    // have decoded already.
    EXPECT_TRUE(open.plugged.device().waitForEventsSent(expected, std::chrono::seconds(10)));
    EXPECT_EQ(open.plugged.device().eventsSent(), expected);
    EXPECT_EQ(within([&] { return camera.stop(); }), std::optional<int>(0));
    EXPECT_EQ(counter.count(), expected) << "the throwing callbacks cost the other none";
    EXPECT_EQ(stopFromCallback, -1) << "stop from a callback is refused";
    EXPECT_GT(open.impl().callbackFailures(), 0u);
    EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [](const auto& l) {
        return l.message.find("stop() from a callback") != std::string::npos;
    }));
}

TEST(CameraFaults, ToolsSetDuringStartsAndStopsLeaveTheSensorStreaming) {
    OpenCamera open(deviceOf("TOOLS"));
    DvsCamera& camera = *open.camera;
    auto sync = camera.getTool(TOOL_SYNC);
    ASSERT_NE(sync, nullptr);
    std::atomic<bool> done{false};
    auto setter = std::async(std::launch::async, [&] {
        while (!done) {
            sync->setParam("mode", 0);  // standalone: read-modify-writes of ro/time_base_ctrl
        }
    });
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(camera.start(), 0);
        ASSERT_EQ(camera.stop(), 0);
    }
    ASSERT_EQ(camera.start(), 0);
    done = true;
    setter.get();
    EventCounter counter;
    camera.addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { counter.add(static_cast<size_t>(e - b)); });
    EXPECT_TRUE(counter.waitFor(10000)) << "the sensor streams";
    EXPECT_EQ(camera.stop(), 0);
}

TEST(CameraFaults, ReadModifyWritesOfOneRegisterFromTwoThreadsLoseNoBits) {
    test::PluggedDevice plugged(sim::Product::EVK4, test::uniqueSerial("RMW"));
    RegisterController registers(plugged.interface(), imx636RegisterTable, kImx636RegisterTableRows,
                                 "PSEE/IMX636/");
    // Each thread owns one field of ro/time_base_ctrl and reads back what it wrote.
    auto owner = [&](const char* field) {
        for (uint32_t i = 0; i < 50000; ++i) {
            registers.writeRegisterField("ro/time_base_ctrl", field, i & 1);
            if (registers.readRegisterField("ro/time_base_ctrl", field) != (i & 1)) {
                return false;
            }
        }
        return true;
    };
    auto other = std::async(std::launch::async, owner, "external_mode");
    EXPECT_TRUE(owner("time_base_mode"));
    EXPECT_TRUE(other.get());
}

TEST(CameraFaults, LifecycleCallsFromFourThreadsAtOnce) {
    OpenCamera open(deviceOf("THREADS"));
    DvsCamera& camera = *open.camera;
    test::ScratchDir scratch;
    EXPECT_TRUE(within(
        [&] {
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([&, t] {
                    for (int i = 0; i < 5; ++i) {
                        camera.start();
                        camera.startRecording(scratch.file("t" + std::to_string(t) + ".raw"));
                        camera.stopRecording();
                        camera.stop();
                    }
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            return true;
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.stopRecording(), 0);
}

TEST(CameraFaults, UnpluggedDevicesAnswerWithoutThrowing) {
    sim::DeviceConfig config = deviceOf("REPLUG", sim::Pacing::RealTime);
    auto plugged = std::make_unique<test::PluggedDevice>(config);
    DvsCameraManager manager;
    ASSERT_EQ(manager.updateCameras(), 1);
    auto camera = manager.openCamera(config.serial);
    ASSERT_NE(camera, nullptr);

    test::LogCapture log(LOG_ERROR);
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug(config.serial));
    EXPECT_EQ(camera->start(), -1) << "a gone device cannot start";
    std::shared_ptr<DvsCamera> reopened;
    EXPECT_NO_THROW(reopened = manager.openCamera(config.serial));
    EXPECT_EQ(reopened, nullptr);
    EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [&](const auto& l) {
        return l.message.find(config.serial) != std::string::npos;
    }));

    // Unplugged and replugged: the same serial, without a new scan, gives a new,
    // working camera.
    plugged.reset();
    plugged = std::make_unique<test::PluggedDevice>(config);
    ASSERT_EQ(manager.updateCameras(), 1);
    camera = manager.openCamera(config.serial);
    ASSERT_NE(camera, nullptr);
    plugged.reset();
    plugged = std::make_unique<test::PluggedDevice>(config);
    EXPECT_NO_THROW(reopened = manager.openCamera(config.serial));
    ASSERT_NE(reopened, nullptr);
    EXPECT_NE(reopened, camera);
    EventCounter counter;
    reopened->addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { counter.add(static_cast<size_t>(e - b)); });
    ASSERT_EQ(reopened->start(), 0);
    EXPECT_TRUE(counter.waitFor(1000));
    EXPECT_EQ(reopened->stop(), 0);
}

// A device is held by one camera object at a time: another manager is told so,
// leaves the holder undisturbed, and opens the camera once the holder is gone.
TEST(CameraFaults, ACameraInUseOpensInAnotherManagerOnlyAfterItIsReleased) {
    sim::DeviceConfig event = deviceOf("INUSE", sim::Pacing::RealTime);
    sim::DeviceConfig fusion = event;
    fusion.product = sim::Product::Tandro;
    fusion.serial = test::uniqueSerial("INUSE-FUSION");
    test::PluggedDevice pluggedEvent(event), pluggedFusion(fusion);
    auto first = std::make_unique<DvsCameraManager>();
    ASSERT_EQ(first->updateCameras(), 2);
    std::shared_ptr<DvsCamera> held = first->openCamera(event.serial);
    std::shared_ptr<FusionCamera> heldFusion = first->openFusionCamera(fusion.serial);
    ASSERT_TRUE(held && heldFusion && heldFusion->isConnected());

    DvsCameraManager second;
    ASSERT_EQ(second.updateCameras(), 2);
    test::LogCapture log(LOG_ERROR);
    EXPECT_EQ(second.openCamera(event.serial), nullptr);
    EXPECT_EQ(second.openCamera(event.serial), nullptr) << "a refused open leaves the claim";
    std::shared_ptr<FusionCamera> fused = second.openFusionCamera(fusion.serial);
    ASSERT_NE(fused, nullptr) << "a fusion camera comes back even when its bring-up failed";
    EXPECT_FALSE(fused->isConnected());
    EXPECT_EQ(fused->start(STREAM_DVS), -1);
    const std::string why = " cannot be opened: it is in use by another program or manager";
    EXPECT_EQ(log.count(LOG_ERROR, "Camera " + event.serial + why), 2u);
    EXPECT_EQ(log.count(LOG_ERROR, "Camera " + fusion.serial + why), 1u);

    EventCounter heldEvents;
    held->addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { heldEvents.add(static_cast<size_t>(e - b)); });
    ASSERT_EQ(held->start(), 0) << "the holder is undisturbed";
    EXPECT_TRUE(heldEvents.waitFor(1000));
    EXPECT_EQ(held->stop(), 0);

    held.reset();
    heldFusion.reset();
    first.reset();
    std::shared_ptr<DvsCamera> camera = second.openCamera(event.serial);
    ASSERT_NE(camera, nullptr);
    fused = second.openFusionCamera(fusion.serial);
    ASSERT_TRUE(fused && fused->isConnected());
    EventCounter events, fusedEvents;
    camera->addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { events.add(static_cast<size_t>(e - b)); });
    fused->addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { fusedEvents.add(static_cast<size_t>(e - b)); });
    ASSERT_EQ(camera->start(), 0);
    ASSERT_EQ(fused->start(STREAM_DVS), 0);
    EXPECT_TRUE(events.waitFor(1000));
    EXPECT_TRUE(fusedEvents.waitFor(1000));
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(fused->stop(STREAM_DVS), 0);
}

// The buffers the device delivered while a slow callback held the loop are
// decoded at stop, through the callbacks still registered: the recording holds
// exactly what the callbacks were given, and a stop with a callback and a batch
// consumer both waiting still returns.
TEST(CameraFaults, ARecordingDecodesToExactlyWhatTheCallbacksWereGiven) {
    test::ScratchDir scratch;
    const std::vector<uint8_t> payload = test::encode(test::randomStream(23, 300000, 2));
    test::writeRawFile(scratch.file("source.raw"), test::recordingHeader(), payload);
    sim::DeviceConfig config = deviceOf("MIDWAY");
    config.scene = sim::Scene::Replay;
    config.replayFile = scratch.file("source.raw");
    OpenCamera open(config);
    DvsCamera& camera = *open.camera;
    const std::vector<Event2D> source = test::decodeEvents(payload);

    // A slow consumer: the first range waits until the test lets it go, while the
    // device delivers the rest of the stream into the host's queue. Once let go,
    // it tries to stop the camera from inside, which must be refused.
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    std::vector<Event2D> delivered;
    std::vector<int> stopsFromInside;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            delivered.insert(delivered.end(), b, e);
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        }
        const int stopped = camera.stop();
        std::lock_guard<std::mutex> lock(mutex);
        stopsFromInside.push_back(stopped);
    });
    camera.setBatchEventsNum(uint64_t{1} << 40);  // a batch consumer that never gets one
    ASSERT_EQ(camera.start(), 0);
    auto batchWaiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> batch;
        return camera.getNextBatch(batch) && batch.empty();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return !delivered.empty(); }));
    }
    // Recording starts mid-stream, with the decoder's time and row already set.
    ASSERT_EQ(camera.startRecording(scratch.file("live.raw")), 0);
    ASSERT_TRUE(open.plugged.device().waitForEventsSent(source.size(), std::chrono::seconds(20)));
    test::LogCapture log(LOG_DEBUG);
    auto stopping = std::async(std::launch::async, [&] { return camera.stop(); });
    // stop() ends the loop before it takes the next buffer; then the range may finish.
    const bool loopStopping = log.waitFor(
        "Camera " + config.serial + ": the acquisition loop stops", std::chrono::seconds(10));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    ASSERT_TRUE(loopStopping);
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopping.get(), 0);
    ASSERT_EQ(batchWaiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(batchWaiter.get()) << "stop wakes the batch consumer";
    ASSERT_EQ(camera.stopRecording(), 0);
    EXPECT_EQ(open.impl().droppedBuffers(), 0u);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_FALSE(stopsFromInside.empty());
    EXPECT_EQ(std::count(stopsFromInside.begin(), stopsFromInside.end(), -1),
              static_cast<long>(stopsFromInside.size()))
        << "stop from a callback is refused, also while stop decodes what is left";

    // Every event the device sent reached the callbacks...
    ASSERT_EQ(delivered.size(), source.size());
    for (size_t i = 0; i < source.size(); ++i) {
        const Event2D &d = delivered[i], &s = source[i];
        ASSERT_TRUE(d.x == s.x && d.y == s.y && d.polarity == s.polarity &&
                    d.timestamp == s.timestamp)
            << "event " << i << " delivered at " << d.timestamp << " us, sent at " << s.timestamp;
    }
    // ...and the file, decoded on its own, is exactly their tail from where the
    // recording began.
    test::RawFile file = test::readRawFile(scratch.file("live.raw"));
    const std::vector<Event2D> recorded = test::decodeEvents(file.payload);
    ASSERT_FALSE(recorded.empty());
    ASSERT_LE(recorded.size(), delivered.size());
    const size_t first = delivered.size() - recorded.size();
    for (size_t i = 0; i < recorded.size(); ++i) {
        const Event2D &r = recorded[i], &d = delivered[first + i];
        ASSERT_TRUE(r.x == d.x && r.y == d.y && r.polarity == d.polarity &&
                    r.timestamp == d.timestamp)
            << "event " << i << " at " << r.timestamp << " us, delivered at " << d.timestamp;
    }
}

}  // namespace
}  // namespace orvane
