// Event cameras through the manager and the simulated devices: discovery,
// tools, batching, the acquisition thread and recording.

#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "camera/EventDispatcher.h"
#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/BusWalk.h"
#include "support/LogCapture.h"
#include "support/SimDevices.h"
#include "support/Streams.h"

namespace orvane {
namespace {

sim::DeviceConfig deviceOf(sim::Product product, const std::string& serial,
                           sim::Pacing pacing = sim::Pacing::AsFastAsRead) {
    sim::DeviceConfig config;
    config.product = product;
    config.serial = serial;
    config.pacing = pacing;
    config.sleepDelays = false;
    config.eventRate = 2e6;
    return config;
}

size_t threadsOfThisProcess() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// An opened EVK4 on a simulated device.
struct OpenCamera {
    explicit OpenCamera(sim::DeviceConfig config) : plugged(config) {
        EXPECT_EQ(manager.updateCameras(), 1);
        camera = manager.openCamera(plugged.serial());
        EXPECT_NE(camera, nullptr);
    }
    test::PluggedDevice plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;
};

TEST(DvsCameraManager, ScansKeepOneObjectPerSerialInSerialOrder) {
    test::PluggedDevice b(deviceOf(sim::Product::EVK4, "B"));
    test::PluggedDevice a(deviceOf(sim::Product::Brisca, "A"));
    DvsCameraManager manager;
    auto opened = manager.openCamera("A");
    EXPECT_NE(opened, nullptr) << "a serial no scan has seen yet makes one";
    EXPECT_EQ(manager.updateCameras(), 2);
    EXPECT_EQ(manager.updateCameras(), 2);
    auto descriptions = manager.getCameraDescs();
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0].serial, "A");
    EXPECT_EQ(descriptions[0].productName, "Brisca");
    EXPECT_EQ(descriptions[1].serial, "B");

    auto first = manager.openCamera("B");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager.updateCameras(), 2);
    EXPECT_EQ(manager.openCamera("B"), first) << "an open camera is kept across scans";
    {
        test::LogCapture log;
        EXPECT_EQ(manager.openCamera("C"), nullptr);
        EXPECT_EQ(log.count(LOG_ERROR, "Camera C cannot be opened: no such camera is attached"),
                  1u);
    }

    ASSERT_TRUE(sim::SimulatedBus::instance().unplug("B"));
    EXPECT_FALSE(first->isConnected());
    EXPECT_EQ(manager.updateCameras(), 1);
    EXPECT_EQ(manager.openCamera("B"), nullptr) << "an unplugged camera is forgotten";
    EXPECT_EQ(first->getWidth(), 1280) << "the application's reference stays valid";
    EXPECT_EQ(manager.openFusionCamera("A"), nullptr);
}

TEST(EventCamera, BringUpIsTheSensorsAndHappensOnce) {
    test::PluggedDevice plugged(deviceOf(sim::Product::EVK4, test::uniqueSerial("BRINGUP")));
    DvsCameraManager manager;
    manager.updateCameras();
    plugged.device().clearTraffic();
    auto camera = manager.openCamera(plugged.serial());
    ASSERT_NE(camera, nullptr);
    RegisterController registers(plugged.interface(), imx636RegisterTable, kImx636RegisterTableRows,
                                 "");
    test::BusWalk bus(plugged.device().traffic());
    bus.imx636BringUp(registers);
    bus.end();

    plugged.device().clearTraffic();
    EXPECT_EQ(manager.openCamera(plugged.serial()), camera);
    EXPECT_TRUE(plugged.device().traffic().empty()) << "a second init touches no hardware";
    EXPECT_TRUE(camera->isConnected());
    EXPECT_EQ(camera->getWidth(), 1280);
    EXPECT_EQ(camera->getHeight(), 720);
}

// A camera facade that can be copied, as applications copy theirs.
struct FacadeCopy : CameraFacade {
    explicit FacadeCopy(const CameraFacade& source) : CameraFacade(source) {}
};

TEST(EventCamera, ToolsAreFoundByTypeAndSharedByCopies) {
    OpenCamera open(deviceOf(sim::Product::Brisca, test::uniqueSerial("TOOLS")));
    DvsCamera& camera = *open.camera;
    EXPECT_NE(camera.getTool(TOOL_SYNC), nullptr);
    EXPECT_EQ(camera.getTool(TOOL_APS_CTRL), nullptr);
    try {
        camera.getToolInfo(TOOL_APS_CTRL);
        FAIL() << "an event camera has no frame sensor tool";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tool not found");
    }
    auto all = camera.getAllToolsInfo();
    ASSERT_EQ(all.size(), 7u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].toolType, static_cast<ToolType>(i));
    }
    FacadeCopy copy(camera);
    ASSERT_TRUE(copy.getTool(TOOL_BIASES)->setParam("bias_fo", 42));
    int value = 0;
    ASSERT_TRUE(camera.getTool(TOOL_BIASES)->getParam("bias_fo", value));
    EXPECT_EQ(value, 42);
    EXPECT_EQ(copy.getTool(TOOL_ROI), camera.getTool(TOOL_ROI));
}

// Feeds ranges straight into the cameras' dispatch, as their decoders do.
struct BatchProbe : EventDispatcher {
    void feed(std::vector<Event2D> range) {
        dispatchEvents(range.data(), range.data() + range.size());
    }
    std::vector<uint64_t> readyTimes(BatchStore& store) {
        std::vector<uint64_t> times;
        for (const Event2D& e : store.queued.back()) {
            times.push_back(e.timestamp);
        }
        return times;
    }
    BatchStore& count() { return countBatch_; }
    BatchStore& time() { return timeBatch_; }
};

std::vector<Event2D> at(std::initializer_list<uint64_t> times) {
    std::vector<Event2D> events;
    for (uint64_t t : times) {
        events.emplace_back(1, 1, 1, t);
    }
    return events;
}

TEST(EventCamera, BatchesByCountAndByTimeHandOverExactRanges) {
    BatchProbe probe;
    std::vector<Event2D> batch;
    EXPECT_FALSE(probe.getNextBatch(batch)) << "no batching chosen: no wait";

    probe.setBatchEventsNum(4);
    probe.feed(at({1, 2, 3}));
    probe.feed(at({4, 5, 6}));
    EXPECT_EQ(probe.count().handOvers, 1u);
    EXPECT_EQ(probe.readyTimes(probe.count()), (std::vector<uint64_t>{1, 2, 3, 4}));
    probe.feed(at({7, 8}));
    EXPECT_EQ(probe.count().handOvers, 1u) << "a full batch waits for one more event";
    probe.feed(at({9}));
    EXPECT_EQ(probe.readyTimes(probe.count()), (std::vector<uint64_t>{5, 6, 7, 8}));
    probe.setBatchEventsNum(0);  // clamped to 1: the batch filling (9) is handed over
    probe.feed(at({10}));
    EXPECT_EQ(probe.readyTimes(probe.count()), (std::vector<uint64_t>{9}));

    probe.setBatchEventsTime(1000);
    probe.feed(at({0, 500, 999, 1000, 1001, 2500}));
    EXPECT_EQ(probe.time().handOvers, 2u);
    EXPECT_EQ(probe.readyTimes(probe.time()), (std::vector<uint64_t>{1001}));
    EXPECT_EQ(probe.time().filling.size(), 1u);
    EXPECT_EQ(probe.time().filling[0].timestamp, 2500u);

    // Callbacks see every range whole, whatever the batching does.
    std::vector<size_t> seen;
    uint32_t id = probe.addEventsCallback(
        [&](const Event2D* b, const Event2D* e) { seen.push_back(static_cast<size_t>(e - b)); });
    EXPECT_EQ(probe.addTriggerCallback([](EventTriggerIn) {}), 0u) << "each kind counts from 0";
    probe.feed(at({3000, 3001}));
    EXPECT_TRUE(probe.removeEventsCallback(id));
    EXPECT_FALSE(probe.removeEventsCallback(id));
    probe.feed(at({3002}));
    EXPECT_EQ(seen, (std::vector<size_t>{2}));
}

TEST(EventCamera, AWaitingConsumerGetsEachBatchOnceAndStopWakesIt) {
    OpenCamera open(deviceOf(sim::Product::EVK4, test::uniqueSerial("BATCH")));
    DvsCamera& camera = *open.camera;
    camera.setBatchEventsNum(5000);
    ASSERT_EQ(camera.start(), 0);
    uint64_t last = 0;
    for (int i = 0; i < 5; ++i) {
        std::vector<Event2D> batch;
        ASSERT_TRUE(camera.getNextBatch(batch));
        ASSERT_EQ(batch.size(), 5000u);
        EXPECT_GE(batch.front().timestamp, last) << "never an older or repeated batch";
        last = batch.back().timestamp;
    }
    ASSERT_EQ(camera.stop(), 0);

    // Batches that never fill: stop() wakes the waiter.
    camera.setBatchEventsNum(uint64_t{1} << 40);
    ASSERT_EQ(camera.start(), 0);
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> batch;
        return camera.getNextBatch(batch);
    });
    ASSERT_EQ(camera.stop(), 0);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    waiter.get();  // true when it waited before stop, false when it came after
}

TEST(EventCamera, StartStopCyclesLeaveNoThreadBehind) {
    OpenCamera open(deviceOf(sim::Product::EVK4, test::uniqueSerial("CYCLES")));
    DvsCamera& camera = *open.camera;
    std::thread([] {}).join();  // a thread sanitizer starts its own thread with the first one
    const size_t before = threadsOfThisProcess();
    size_t events = 0;
    std::mutex mutex;
    std::condition_variable arrived;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        events += static_cast<size_t>(e - b);
        arrived.notify_all();
    });
    for (int i = 0; i < 3; ++i) {
        size_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = events;
        }
        ASSERT_EQ(camera.start(), 0);
        EXPECT_EQ(camera.start(), 0) << "a second start makes no second thread";
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(
                arrived.wait_for(lock, std::chrono::seconds(30), [&] { return events > seen; }))
                << "cycle " << i << " streams";
        }
        ASSERT_EQ(camera.stop(), 0);
        EXPECT_EQ(camera.stop(), 0);
    }
    EXPECT_EQ(threadsOfThisProcess(), before);

    DvsEventCamera unopened(open.plugged.device().description());
    EXPECT_THROW(unopened.start(), std::runtime_error);
    EXPECT_EQ(unopened.stop(), 0);
    EXPECT_FALSE(unopened.isConnected());
}

class RecordingTest : public ::testing::Test {
  protected:
    std::string pathOf(const std::string& name) { return scratch.file(name); }
    test::ScratchDir scratch;
};

TEST_F(RecordingTest, AnIdleRecordingIsTheHeaderAloneAndRefusalsAreClear) {
    OpenCamera open(deviceOf(sim::Product::EVK4, test::uniqueSerial("IDLE")));
    DvsCamera& camera = *open.camera;
    ASSERT_EQ(camera.startRecording(pathOf("idle.raw")), 0);
    EXPECT_EQ(camera.startRecording(pathOf("second.raw")), -1);
    ASSERT_EQ(camera.stopRecording(), 0);
    EXPECT_EQ(camera.stopRecording(), 0);
    auto bytes = fileBytes(pathOf("idle.raw"));
    ASSERT_EQ(bytes.size(), 354u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), DvsCameraPrivate::kRecordingHeader);
    EXPECT_FALSE(std::filesystem::exists(pathOf("second.raw")));

    const std::string missing = pathOf("no/such/dir/x.raw");
    try {
        camera.startRecording(missing);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to open " + missing + " for writing");
    }
    DvsEventCamera unopened(open.plugged.device().description());
    EXPECT_THROW(unopened.startRecording(pathOf("x.raw")), std::runtime_error);
}

TEST_F(RecordingTest, ARecordingHoldsExactlyWhatTheDeviceSent) {
    // A finite stream: the device replays a recording once.
    std::vector<uint8_t> payload = test::encode(test::randomStream(11, 300000, 1));
    const std::string source = pathOf("source.raw");
    {
        std::ofstream out(source, std::ios::binary);
        out << "% evt 3.0\n% end\n";
        out.write(reinterpret_cast<const char*>(payload.data()), static_cast<long>(payload.size()));
    }
    sim::DeviceConfig config = deviceOf(sim::Product::EVK4, test::uniqueSerial("REC"));
    config.scene = sim::Scene::Replay;
    config.replayFile = source;
    OpenCamera open(config);
    DvsCamera& camera = *open.camera;
    const auto expected = [&] {
        auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"));
        return decoder->decodeCounting(payload.data(), payload.data() + payload.size());
    }();
    uint64_t received = 0;
    std::mutex mutex;
    std::condition_variable arrived;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        received += static_cast<uint64_t>(e - b);
        arrived.notify_all();
    });

    ASSERT_EQ(camera.startRecording(pathOf("live.raw")), 0);
    ASSERT_EQ(camera.start(), 0);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(
            arrived.wait_for(lock, std::chrono::seconds(30), [&] { return received >= expected; }));
    }
    // Counted by the device once handed over, perhaps after the camera decoded it.
    EXPECT_TRUE(open.plugged.device().waitForEventsSent(expected, std::chrono::seconds(10)));
    EXPECT_EQ(open.plugged.device().eventsSent(), expected);
    ASSERT_EQ(camera.stopRecording(), 0);
    ASSERT_EQ(camera.stop(), 0);

    auto bytes = fileBytes(pathOf("live.raw"));
    ASSERT_GE(bytes.size(), 354u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 354), DvsCameraPrivate::kRecordingHeader);
    // A fresh decoder's state words first: the file decodes on its own.
    const std::vector<uint8_t> words =
        evt3StateWords(*DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3")));
    ASSERT_EQ(bytes.size(), 354 + words.size() + payload.size());
    EXPECT_TRUE(std::equal(words.begin(), words.end(), bytes.begin() + 354));
    EXPECT_TRUE(std::vector<uint8_t>(bytes.begin() + 354 + static_cast<long>(words.size()),
                                     bytes.end()) == payload)
        << "every device buffer, whole and in order, the last one included";
}

TEST_F(RecordingTest, UnplugWhileStreamingAndRecordingNeitherHangsNorCrashes) {
    OpenCamera open(
        deviceOf(sim::Product::EVK4, test::uniqueSerial("GONE"), sim::Pacing::RealTime));
    DvsCamera& camera = *open.camera;
    ASSERT_EQ(camera.start(), 0);
    ASSERT_EQ(camera.startRecording(pathOf("gone.raw")), 0);
    ASSERT_TRUE(open.plugged.device().waitForEventsSent(1000, std::chrono::seconds(10)));
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug(open.plugged.serial()));
    EXPECT_FALSE(camera.isConnected());
    EXPECT_EQ(camera.stop(), -1) << "the stop sequence finds no device";
    EXPECT_EQ(camera.stopRecording(), 0);
    auto bytes = fileBytes(pathOf("gone.raw"));
    EXPECT_GE(bytes.size(), 354u);
    EXPECT_EQ((bytes.size() - 354) % 2, 0u) << "whole words";
    open.camera.reset();
}

}  // namespace
}  // namespace orvane
