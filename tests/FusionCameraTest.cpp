// Fusion cameras through the manager and the simulated Tandro: discovery,
// bring-up, the fusion image, both streams, recording and unplugging.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>

#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/LogCapture.h"
#include "support/Pictures.h"
#include "support/SimDevices.h"
#include "support/Streams.h"

namespace orvane {
namespace {

using std::chrono::seconds;
constexpr const char* kModule = "src/camera/TandroCamera";

sim::DeviceConfig tandro(const std::string& serial, double rate = 1e6) {
    sim::DeviceConfig config;
    config.product = sim::Product::Tandro;
    config.serial = serial;
    config.sleepDelays = false;
    config.eventRate = rate;
    return config;
}

// An opened Tandro on a simulated device.
struct OpenFusion {
    explicit OpenFusion(const std::string& stem, double rate = 1e6)
        : plugged(tandro(test::uniqueSerial(stem), rate)) {
        manager.updateCameras();
        camera = manager.openFusionCamera(plugged.serial());
        EXPECT_TRUE(camera && camera->isConnected());
    }
    test::PluggedDevice plugged;
    DvsCameraManager manager;
    std::shared_ptr<FusionCamera> camera;
};

// Waits with a give-up of a few seconds: a wait that never ends fails the test.
template <typename Predicate>
bool waitFor(std::mutex& mutex, std::condition_variable& changed, Predicate done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, seconds(20), done);
}

// Lines that begin with `prefix`, kept under a lock: the camera's threads log them.
class MessageWatch {
  public:
    explicit MessageWatch(std::string prefix)
        : prefix_(std::move(prefix)), level_(Logger::Instance().level()) {
        Logger::Instance().setLevel(LOG_INFO);
        Logger::Instance().setSink([this](LogLevelType, const char*, int, const std::string& m) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (m.rfind(prefix_, 0) == 0) {
                lines_.push_back(m);
                changed_.notify_all();
            }
        });
    }
    ~MessageWatch() {
        Logger::Instance().setSink(nullptr);
        Logger::Instance().setLevel(level_);
    }
    bool waitFor(size_t count) {
        return ::orvane::waitFor(mutex_, changed_, [&] { return lines_.size() >= count; });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        return size_t(std::count(lines_.begin(), lines_.end(), message));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    const std::string prefix_;
    const int level_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Exposes the decoder callbacks, as the camera's decoder calls them.
struct FusionProbe : TandroCamera {
    FusionProbe() : TandroCamera(CameraDescription{}) {}
    void events(std::vector<Event2D> range) {
        eventStreamArrvied(range.data(), range.data() + range.size());
    }
    void pulse(uint64_t t, int16_t level = 1) { triggerInArrvied(EventTriggerIn(0, level, t)); }
};

TEST(FusionCameraManager, FusionCamerasAreAThirdFamilyListedAfterTheEventCameras) {
    test::PluggedDevice fusion(tandro("A-FUSION"));
    test::PluggedDevice event(sim::Product::EVK4, "Z-EVENT");
    DvsCameraManager manager;
    EXPECT_EQ(manager.updateCameras(), 2);
    auto descriptions = manager.getCameraDescs();
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0].serial, "Z-EVENT") << "event cameras first, whatever the serials";
    EXPECT_EQ(descriptions[1].serial, "A-FUSION");
    EXPECT_EQ(descriptions[1].vendorId, TandroCamera::vendorId);
    EXPECT_EQ(descriptions[1].productName, "Tandro");
    EXPECT_EQ(manager.openFusionCamera("Z-EVENT"), nullptr);
    EXPECT_EQ(manager.openCamera("A-FUSION"), nullptr);

    // A device gone between the scan and the open: no camera, and the log says which.
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug("A-FUSION"));
    test::LogCapture log;
    EXPECT_EQ(manager.openFusionCamera("A-FUSION"), nullptr);
    EXPECT_TRUE(log.has(LOG_ERROR, "Camera A-FUSION cannot be opened: its device is gone"));
    EXPECT_EQ(manager.updateCameras(), 1) << "an unplugged fusion camera is forgotten";
}

TEST(FusionCameraManager, AReplugGivesANewWorkingCameraAndAnUnplugAnEmptyOne) {
    const sim::DeviceConfig config = tandro(test::uniqueSerial("REPLUG"));
    auto plugged = std::make_unique<test::PluggedDevice>(config);
    DvsCameraManager manager;
    ASSERT_EQ(manager.updateCameras(), 1);
    auto first = manager.openFusionCamera(config.serial);
    ASSERT_TRUE(first && first->isConnected());

    // Unplugged and replugged: the same serial, without a new scan, gives a new camera.
    plugged.reset();
    plugged = std::make_unique<test::PluggedDevice>(config);
    std::shared_ptr<FusionCamera> second;
    EXPECT_NO_THROW(second = manager.openFusionCamera(config.serial));
    ASSERT_TRUE(second && second->isConnected());
    EXPECT_NE(second, first);
    EXPECT_FALSE(first->isConnected());
    std::mutex mutex;
    std::condition_variable changed;
    size_t events = 0;
    second->addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        events += size_t(e - b);
        changed.notify_all();
    });
    ASSERT_EQ(second->start(STREAM_DVS), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return events >= 1000; }));
    EXPECT_EQ(second->stop(STREAM_DVS), 0);

    // Unplugged: nothing to open, said with the serial, and no exception.
    test::LogCapture log(LOG_ERROR);
    plugged.reset();
    std::shared_ptr<FusionCamera> third;
    EXPECT_NO_THROW(third = manager.openFusionCamera(config.serial));
    EXPECT_EQ(third, nullptr);
    EXPECT_TRUE(
        log.has(LOG_ERROR, "Camera " + config.serial + " cannot be opened: its device is gone"));
}

TEST(FusionCamera, BringUpMakesTheToolsOfBothSensors) {
    OpenFusion open("TOOLS");
    FusionCamera& camera = *open.camera;
    std::vector<int> types;
    for (const ToolInfo& info : camera.getAllToolsInfo()) {
        types.push_back(info.toolType);
    }
    EXPECT_EQ(types, (std::vector<int>{0, 1, 3, 4, 5, 6, 7}));
    test::LogCapture log;
    EXPECT_EQ(camera.getTool(TOOL_SYNC), nullptr);
    EXPECT_TRUE(log.has(LOG_ERROR, "Tool not found", "src/camera/FusionCamera"));
    EXPECT_THROW(camera.getToolInfo(TOOL_SYNC), std::runtime_error);
    EXPECT_EQ(camera.getWidth(STREAM_APS), 3840);
    EXPECT_EQ(camera.getHeight(STREAM_APS), 2160);
    EXPECT_EQ(camera.getWidth(STREAM_DVS), 1280);
    EXPECT_EQ(camera.getHeight(STREAM_DVS), 720);
    EXPECT_EQ(camera.getWidth(STREAM_BOTH), 0);
    open.plugged.device().clearTraffic();
    EXPECT_EQ(open.manager.openFusionCamera(open.plugged.serial()), open.camera);
    EXPECT_TRUE(open.plugged.device().traffic().empty()) << "a second init touches nothing";
}

TEST(FusionCamera, FusionImagesCountEventsBetweenPulsesAndWaitThreeDeep) {
    FusionProbe probe;
    std::shared_ptr<std::vector<uint16_t>> image;
    std::vector<bool> fetchedInCallback;
    const uint32_t id = probe.addTriggerInCallback([&](EventTriggerIn t) {
        std::shared_ptr<std::vector<uint16_t>> mine;
        fetchedInCallback.push_back(probe.getFusionEvents(mine, t.timestamp));
    });
    probe.pulse(100);
    EXPECT_EQ(fetchedInCallback, std::vector<bool>{true}) << "callbacks run after the fusion work";
    ASSERT_TRUE(probe.removeTriggerInCallback(id));
    probe.events({Event2D(5, 1, 1, 150), Event2D(5, 1, 1, 160)});
    probe.pulse(200);
    probe.events({Event2D(7, 2, 0, 250)});
    probe.pulse(250, 0);  // exposure start: no image
    probe.pulse(300);
    probe.pulse(400);
    probe.pulse(500);
    EXPECT_FALSE(probe.getFusionEvents(image, 200)) << "only the 3 newest images wait";
    EXPECT_FALSE(probe.getFusionEvents(image, 350)) << "no image under that time";
    ASSERT_TRUE(probe.getFusionEvents(image, 400)) << "the one keyed 300 was dropped by 350";
    EXPECT_TRUE(std::all_of(image->begin(), image->end(), [](uint16_t c) { return c == 0; }));
    EXPECT_FALSE(probe.getFusionEvents(image, 300));

    // The counting itself, on a fresh probe: mirrored columns, ceiling 10.
    FusionProbe counting;
    counting.events({Event2D(0, 0, 1, 10)});
    counting.events(std::vector<Event2D>(11, Event2D(1279, 719, 0, 20)));
    counting.events({Event2D(1300, 800, 1, 30), Event2D(1280, 5, 0, 30)});  // outside: ignored
    counting.pulse(100);
    ASSERT_TRUE(counting.getFusionEvents(image, 100));
    ASSERT_EQ(image->size(), 1280u * 720u * 2u);
    EXPECT_EQ((*image)[2559], 1);
    EXPECT_EQ((*image)[1840640], 10);
    EXPECT_EQ(std::accumulate(image->begin(), image->end(), 0u), 11u);

    // An application that keeps every image costs it the images, never the stream.
    std::vector<std::shared_ptr<std::vector<uint16_t>>> kept{image};
    for (uint64_t t = 200; t < 1200; t += 100) {
        counting.events({Event2D(3, 3, 1, t - 50)});
        counting.pulse(t);
        std::shared_ptr<std::vector<uint16_t>> next;
        if (counting.getFusionEvents(next, t)) {
            kept.push_back(next);
        }
    }
    EXPECT_EQ(kept.size(), 7u) << "7 held and the current one: the pool's 8 images";
    EXPECT_EQ(counting.skippedFusionImages(), 4u);
    kept.clear();
    counting.events({Event2D(3, 3, 1, 1150)});
    counting.pulse(1200);
    ASSERT_TRUE(counting.getFusionEvents(image, 1200));
    EXPECT_EQ(std::accumulate(image->begin(), image->end(), 0u), 1u)
        << "released images come back zeroed; a skipped pulse's counts are not carried over";
}

TEST(FusionCamera, BothStreamsAlignImagesAndFramesWithTheirPulses) {
    OpenFusion open("BOTH", 2e6);
    FusionCamera& camera = *open.camera;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint16_t> counted(1280 * 720 * 2, 0);
    std::set<uint64_t> pulses;
    size_t images = 0, mismatches = 0, frames[2] = {0, 0};
    std::vector<uint64_t> frameTimes;
    std::set<const uint8_t*> records;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        for (; b < e; ++b) {
            const uint32_t i = 2 * (b->y * 1280u + (1279u - b->x)) + (b->polarity != 0);
            counted[i] = std::min<uint16_t>(counted[i] + 1, 10);
        }
    });
    camera.addTriggerInCallback([&](EventTriggerIn t) {
        if (t.polarity == 0) {
            return;
        }
        std::shared_ptr<std::vector<uint16_t>> image;
        std::lock_guard<std::mutex> lock(mutex);
        pulses.insert(t.timestamp);
        ++images;
        mismatches += !camera.getFusionEvents(image, t.timestamp) || *image != counted;
        std::fill(counted.begin(), counted.end(), 0);
        changed.notify_all();
    });
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(camera.addApsFrameCallback([&, k](const ApsFrame& frame) {
            std::lock_guard<std::mutex> lock(mutex);
            ++frames[k];
            records.insert(frame.data);
            if (k == 0) {
                frameTimes.push_back(frame.timestamp);
                EXPECT_EQ(frame.dataSize, 3840u * 2160u * 3u);
            }
            changed.notify_all();
        }),
                  uint32_t(k));
    }
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return images >= 8 && frames[1] >= 5; }));
    ASSERT_TRUE(camera.removeApsFrameCallback(1));
    EXPECT_FALSE(camera.removeApsFrameCallback(1));
    size_t first = 0, second = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        first = frames[0];
        second = frames[1];
    }
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return frames[0] >= first + 3; }));
    ASSERT_EQ(camera.stop(STREAM_DVS), 0) << "stops both streams";
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(mismatches, 0u) << "of " << images << " images";
    EXPECT_EQ(frames[1], second) << "a removed callback is not called";
    EXPECT_EQ(records.size(), 1u) << "one record per camera";
    // An event thread lagging past a picture's wait (a sanitized build on a
    // loaded machine) leaves it at the time its pulse was expected at, counted.
    size_t notPulses = 0;
    for (uint64_t t : frameTimes) {
        notPulses += t != 0 && pulses.count(t) == 0;
    }
    EXPECT_LE(notPulses, dynamic_cast<FusionCameraPrivate&>(camera).picturesWithoutPulse())
        << "a picture whose time is no pulse's went without its pulse";
    EXPECT_GT(frameTimes.back(), 0u);
}

TEST(FusionCamera, EachPictureCarriesItsOwnClosingPulse) {
    OpenFusion open("OWNPULSE");
    auto& camera = dynamic_cast<TandroCamera&>(*open.camera);
    std::mutex mutex;
    std::condition_variable changed;
    struct Seen {
        uint64_t tag, timestamp;
        bool image;
        int64_t lag;  // us from its exposure's pulse at the device to its callback
    };
    std::vector<Seen> pictures;
    std::set<uint64_t> pulses;
    // The simulated sensor's clock runs with the host's: how late a picture
    // reaches its callback is measured against both clocks read together.
    std::optional<std::pair<std::chrono::steady_clock::time_point, uint64_t>> clocks;
    camera.addTriggerInCallback([&](EventTriggerIn t) {
        std::lock_guard<std::mutex> lock(mutex);
        if (t.polarity != 0) {
            pulses.insert(t.timestamp);
        }
    });
    camera.addApsFrameCallback([&](const ApsFrame& frame) {
        std::shared_ptr<std::vector<uint16_t>> image;
        const bool fetched = camera.getFusionEvents(image, frame.timestamp);
        const auto now = std::chrono::steady_clock::now();
        const uint64_t tag = sim::SimulatedDevice::pictureTag(frame.data);
        std::lock_guard<std::mutex> lock(mutex);
        const int64_t lag =
            clocks ? std::chrono::duration_cast<std::chrono::microseconds>(now - clocks->first)
                             .count() -
                         (int64_t(tag) - int64_t(clocks->second))
                   : INT64_MAX;
        pictures.push_back({tag, frame.timestamp, fetched, lag});
        changed.notify_all();
    });
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        clocks.emplace(std::chrono::steady_clock::now(), open.plugged.device().sensorTime());
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Pictures wait for pulses a sanitized event thread delivers late: fewer.
    constexpr size_t kPictures = 10;
#else
    constexpr size_t kPictures = 40;
#endif
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return pictures.size() >= kPictures; }));
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);

    std::lock_guard<std::mutex> lock(mutex);
    size_t own = 0;
    int64_t latest = 0;
    std::set<uint64_t> times;
    for (const Seen& p : pictures) {
        ASSERT_NE(p.tag, 0u) << "the device reads pictures out at their pulses";
        // 0 is no time: a picture before the run's first pulse was decoded.
        EXPECT_TRUE(p.timestamp == 0 || times.insert(p.timestamp).second)
            << "two pictures at " << p.timestamp;
        own += p.timestamp == p.tag;
        latest = std::max(latest, p.lag == INT64_MAX ? 0 : p.lag);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The three newest images always wait: a picture two periods late at
        // most finds its own.
        if (p.timestamp == p.tag && p.lag < 60'000) {
            EXPECT_TRUE(p.image || &p == &pictures.back())  // the stop may cut the last off
                << "the picture of " << p.tag << ", " << p.lag << " us late, has no fusion image";
        }
#endif
        // Where pictures went without their pulses (a lagging event thread), an
        // expected time may meet the pulse of a picture the host dropped.
        if (p.timestamp != p.tag && camera.picturesWithoutPulse() == 0) {
            EXPECT_EQ(pulses.count(p.timestamp), 0u)
                << "the picture of " << p.tag << " took the pulse of another, " << p.timestamp;
        }
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitized build's event thread lags far behind the pictures' wait; the
    // distinct times above hold there too, the pairing is checked here.)
    // A loaded machine may decode a pulse later than the wait allows: that
    // picture goes without, counted, at the time its pulse was expected at.
    // (A simulated device a second behind its pictures gives up exposures
    // unannounced, which no pairing can follow.)
    if (latest < 1'000'000) {
        EXPECT_LE(pictures.size() - own, camera.picturesWithoutPulse())
            << own << " of " << pictures.size() << " pictures carry their own pulse's time";
    }
#endif
}

TEST(FusionCamera, AConsumerBrieflyLateGetsEveryBatchInOrder) {
    OpenFusion open("LATE");
    auto& camera = dynamic_cast<TandroCamera&>(*open.camera);
    constexpr size_t kBatch = 50000;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event2D> delivered;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (delivered.size() < 8 * kBatch) {
            delivered.insert(delivered.end(), b, e);
        }
        changed.notify_all();
    });
    camera.setBatchEventsNum(kBatch);
    ASSERT_EQ(camera.start(STREAM_DVS), 0);
    // The consumer comes only once three batches are finished.
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return delivered.size() > 3 * kBatch; }));
    std::vector<std::vector<Event2D>> taken(3);
    for (auto& batch : taken) {
        ASSERT_TRUE(camera.getNextBatch(batch));
    }
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);
    EXPECT_EQ(camera.droppedBatches(), 0u);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(delivered.size(), 3 * kBatch);
    for (size_t k = 0; k < taken.size(); ++k) {
        ASSERT_EQ(taken[k].size(), kBatch);
        for (size_t i = 0; i < kBatch; i += 997) {
            const Event2D &a = taken[k][i], &b = delivered[k * kBatch + i];
            ASSERT_TRUE(a.x == b.x && a.y == b.y && a.timestamp == b.timestamp)
                << "batch " << k << " event " << i << " is not the stream's";
        }
    }
}

TEST(FusionCamera, OneStreamAtATime) {
    OpenFusion open("ONE");
    FusionCamera& camera = *open.camera;
    sim::SimulatedDevice& device = open.plugged.device();
    std::mutex mutex;
    std::condition_variable changed;
    size_t events = 0, triggers = 0, frames = 0;
    uint64_t lastTime = 1;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        events += size_t(e - b);
        changed.notify_all();
    });
    camera.addTriggerInCallback([&](EventTriggerIn) {
        std::lock_guard<std::mutex> lock(mutex);
        ++triggers;
    });
    camera.addApsFrameCallback([&](const ApsFrame& frame) {
        std::lock_guard<std::mutex> lock(mutex);
        ++frames;
        lastTime = frame.timestamp + frame.startTimestamp;
        changed.notify_all();
    });

    device.clearTraffic();
    ASSERT_EQ(camera.start(STREAM_DVS), 0);
    std::vector<uint32_t> commands;
    for (const sim::RegisterAccess& a : device.traffic()) {
        if (a.kind == sim::RegisterAccess::ControlFrame) {
            commands.push_back(a.address);
        }
    }
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], 0x40010010u);
    EXPECT_EQ(commands[1], 0x40010200u);
    {
        MessageWatch running("Camera is running.");
        EXPECT_EQ(camera.start(STREAM_APS), 0);
        EXPECT_EQ(running.lines().size(), 1u);
    }
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return events > 20000; }));
    ASSERT_EQ(camera.stop(STREAM_APS), 0);
    EXPECT_EQ(device.framesSent(), 0u) << "no frame stream was added";

    // Frames only: nothing is decoded and the record keeps its (zero) times.
    const size_t eventsBefore = events, triggersBefore = triggers;
    ASSERT_EQ(camera.start(STREAM_APS), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return frames >= 3; }));
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(events, eventsBefore);
    EXPECT_EQ(triggers, triggersBefore);
    EXPECT_EQ(lastTime, 0u);
}

class FusionRecording : public ::testing::Test {
  protected:
    void SetUp() override { test::quietFFmpegLog(); }
    std::string pathOf(const std::string& name) { return scratch.file(name); }
    test::ScratchDir scratch;
};

TEST_F(FusionRecording, BaseNamesAndRefusals) {
    OpenFusion open("NAMES");
    FusionCamera& camera = *open.camera;
    MessageWatch log("");  // the writer threads log too
    ASSERT_EQ(camera.startRecording(pathOf("run.bin"), STREAM_DVS), 0);
    EXPECT_EQ(camera.startRecording(pathOf("other"), STREAM_DVS), -1);
    ASSERT_EQ(camera.startRecording(pathOf("take"), STREAM_APS), 0);
    EXPECT_EQ(camera.startRecording(pathOf("other"), STREAM_APS), -1)
        << "refused also before the writer has opened its file";
    EXPECT_EQ(log.count("Do not save again while saving."), 2u);
    // The camera does not stream: a video without a picture is no video.
    EXPECT_EQ(camera.stopRecording(STREAM_APS), -1);
    EXPECT_EQ(log.count("Recording of " + open.plugged.serial() +
                        ": no picture reached the video; " + pathOf("take.mp4") + " is removed"),
              1u);
    EXPECT_FALSE(std::filesystem::exists(pathOf("take.mp4")));
    EXPECT_EQ(camera.startRecording(pathOf("other"), STREAM_DVS), -1) << "events still record";
    ASSERT_EQ(camera.stopRecording(STREAM_DVS), 0);
    auto raw = test::readRawFile(pathOf("run.raw"));
    EXPECT_EQ(raw.header.substr(0, 354), test::recordingHeader().substr(0, 354));
    EXPECT_FALSE(std::filesystem::exists(pathOf("other.raw")));
    EXPECT_FALSE(std::filesystem::exists(pathOf("other.mp4")));

    std::filesystem::create_directory(pathOf("v1.2"));
    ASSERT_EQ(camera.startRecording(pathOf("v1.2/run"), STREAM_BOTH), 0);
    log.clear();
    EXPECT_EQ(camera.stopRecording(STREAM_BOTH), -1);
    EXPECT_TRUE(std::filesystem::exists(pathOf("v1.raw")));
    EXPECT_EQ(log.count("Recording of " + open.plugged.serial() +
                        ": no picture reached the video; " + pathOf("v1.mp4") + " is removed"),
              1u);

    const std::string missing = pathOf("no/such/dir/x");
    log.clear();
    EXPECT_EQ(camera.startRecording(missing, STREAM_DVS), -1);
    EXPECT_TRUE(log.count("Unable to open " + missing + ".raw for writing."));
    EXPECT_EQ(camera.startRecording(missing, STREAM_APS), 0) << "the writer opens the video";
    EXPECT_EQ(camera.stopRecording(STREAM_APS), -1) << "a video that was never opened";
    EXPECT_TRUE(log.count(
        "Video converter initialization failed, please confirm that the input file is correct."));
    EXPECT_EQ(camera.startRecording(missing, STREAM_BOTH), -1);
    EXPECT_TRUE(log.count("Start Recording DVS Stream Failed."));
    EXPECT_EQ(camera.stopRecording(STREAM_BOTH), -1) << "the video it started could not be opened";
}

TEST_F(FusionRecording, BothStreamsReadBackAsTheyWereDelivered) {
    // A rate that a sanitized build decodes in time: a lagging event thread would
    // stamp pictures with the pulses of earlier ones.
    OpenFusion open("RECORD", 2e5);
    FusionCamera& camera = *open.camera;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event2D> delivered;
    std::vector<uint64_t> frameTimes;
    bool recording = false;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.insert(delivered.end(), b, e);
    });
    camera.addApsFrameCallback([&](const ApsFrame& frame) {
        std::lock_guard<std::mutex> lock(mutex);
        if (recording) {
            frameTimes.push_back(frame.timestamp);
        }
        changed.notify_all();
    });
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return delivered.size() > 50000; }));
    MessageWatch log("");
    {
        std::lock_guard<std::mutex> lock(mutex);
        recording = true;  // from here on, a superset of the recorded pictures
    }
    // Not under the callbacks' lock: that would stall both streams while the
    // files open.
    ASSERT_EQ(camera.startRecording(pathOf("both.x"), STREAM_BOTH), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return frameTimes.size() >= 12; }));
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);
    ASSERT_EQ(camera.stopRecording(STREAM_BOTH), 0);

    // The raw file holds the tail of what the callbacks received, to the end.
    std::unique_ptr<DvsFileReader> reader = DvsFileReader::createFileReader(pathOf("both.raw"));
    ASSERT_TRUE(reader && reader->loadFile());
    uint64_t count = 0;
    ASSERT_TRUE(reader->getMaxEvents(count));
    ASSERT_GT(count, 0u);
    auto events = reader->getNEvents(count);
    ASSERT_EQ(events->size(), count);
    const auto same = [](const Event2D& a, const Event2D& b) {
        return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
    };
    const size_t probe = std::min<size_t>(count, 64);
    const auto begin = std::search(delivered.begin(), delivered.end(), events->begin(),
                                   events->begin() + long(probe), same);
    ASSERT_NE(begin, delivered.end()) << "the recording begins inside what was delivered";
    ASSERT_EQ(size_t(delivered.end() - begin), count);
    for (size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(same((*events)[i], begin[long(i)])) << "event " << i << " of " << count;
    }
    // Buffers the host queue dropped while the callbacks fell behind (a slow
    // sanitized build) may take a time-high word with them, and the stream's
    // time then steps back until the next one: the order holds only without.
    bool dropped = false;
    for (const std::string& line : log.lines()) {
        dropped = dropped || line.find(" raw buffers were dropped") != std::string::npos;
    }
    if (!dropped) {
        for (size_t i = 1; i < count; ++i) {
            ASSERT_GE((*events)[i].timestamp, (*events)[i - 1].timestamp) << "event " << i;
        }
    } else {
        std::cout << "the host dropped buffers while streaming; the order is not checked\n";
    }

    // The video: increasing times, relative to the first recorded picture.
    auto video = ApsFileReader::createFileReader(pathOf("both.mp4"));
    ASSERT_TRUE(video && video->loadFile());
    std::vector<uint64_t> times;
    ASSERT_TRUE(video->getTimeStamps(times));
    ASSERT_GE(times.size(), 2u);
    std::sort(times.begin(), times.end());  // packets in decoding order
    EXPECT_EQ(times.front(), 0u);
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end()) << "no repeated time";
    EXPECT_GT(double(times.back()) / double(times.size() - 1), 25000.0)
        << "pictures are at least a frame apart, also under load";
    std::vector<std::string> logged;
    for (const std::string& line : log.lines()) {
        if (line.rfind("Mp4 offset: ", 0) == 0) {
            logged.push_back(line);
        }
    }
    ASSERT_EQ(logged.size(), 1u) << "logged once, with the first picture's time";
    const uint64_t offset = std::stoull(logged[0].substr(12));
    std::lock_guard<std::mutex> lock(mutex);
    const std::set<uint64_t> seen(frameTimes.begin(), frameTimes.end());
    size_t atPulseTimes = 0;
    for (uint64_t t : times) {
        atPulseTimes += seen.count(t + offset);
    }
    // A loaded machine (sanitizers) may place some pictures by the host clock
    // when their pulse has not been decoded yet; at least some carry pulse times,
    // and the video covers the whole scene rather than a prefix of it.
    EXPECT_GE(atPulseTimes, 1u) << "pictures carry their trigger times";
    EXPECT_GE(double(times.back()), double(frameTimes.back() - offset) - 70000.0)
        << "the video lasts as long as the scene";
    EXPECT_LE(times.size(), frameTimes.size() + 1);
}

TEST_F(FusionRecording, TheVideoKnowsItsSensorTimesAndKeepsTheTargetRate) {
    OpenFusion open("SENSORTIME", 2e5);
    auto& camera = dynamic_cast<TandroCamera&>(*open.camera);
    std::mutex mutex;
    std::condition_variable changed;
    std::set<uint64_t> pulses;
    size_t pictures = 0;
    camera.addTriggerInCallback([&](EventTriggerIn t) {
        std::lock_guard<std::mutex> lock(mutex);
        if (t.polarity != 0) {
            pulses.insert(t.timestamp);
        }
    });
    camera.addApsFrameCallback([&](const ApsFrame&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++pictures;
        changed.notify_all();
    });
    camera.setVideoPreset("superfast");
    camera.setVideoPictureRate(10);
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);
    ASSERT_EQ(camera.startRecording(pathOf("tied"), STREAM_BOTH), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return pictures >= 30; }));
    ASSERT_EQ(camera.stopRecording(STREAM_BOTH), 0);
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);
    EXPECT_GT(camera.recordedPicturesThinned(), 0u);
    EXPECT_LE(camera.recordedPicturesKept() + camera.recordedPicturesThinned(),
              camera.recordedPicturesReceived());

    Mp4FileReader video(pathOf("tied.mp4"));
    ASSERT_TRUE(video.loadFile());
    uint64_t offset = 0;
    ASSERT_TRUE(video.getSensorTimeOffset(offset));
    std::vector<uint64_t> relative, sensor;
    ASSERT_TRUE(video.getTimeStamps(relative));
    ASSERT_GE(relative.size(), 2u);
    ASSERT_TRUE(video.useSensorTimes(true));
    ASSERT_TRUE(video.getTimeStamps(sensor));
    ASSERT_EQ(sensor.size(), relative.size());
    std::sort(sensor.begin(), sensor.end());
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t atPulses = 0;
        for (uint64_t t : sensor) {
            atPulses += pulses.count(t);
        }
        EXPECT_LE(sensor.size() - atPulses, camera.picturesWithoutPulse())
            << "a picture away from its pulse's time went without it, counted";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // (A sanitized event thread on a loaded machine may miss every wait.)
        EXPECT_GE(atPulses, 1u) << "pictures at the sensor times of their pulses";
#endif
    }
    for (size_t n = 1; n < sensor.size(); ++n) {
        EXPECT_GE(sensor[n] - sensor[n - 1], 75000u) << "10 pictures a second at most";
    }
    ApsFrame frame;
    ASSERT_TRUE(video.getNFrame(1, frame));
    EXPECT_EQ(frame.timestamp, relative[1] + offset);
    // The raw file recorded beside it spans the same sensor times.
    auto raw = DvsFileReader::createFileReader(pathOf("tied.raw"));
    ASSERT_TRUE(raw && raw->loadFile());
    uint64_t count = 0;
    ASSERT_TRUE(raw->getMaxEvents(count));
    auto events = raw->getNEvents(count);
    ASSERT_TRUE(events && !events->empty());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitized build starts and ends one stream's file well apart from the other's.)
    EXPECT_LE(events->front().timestamp, sensor.front() + 100000);
    EXPECT_GE(events->back().timestamp + 100000, sensor.back());
#endif

    // A video with no sensor time says so and keeps its own times.
    ASSERT_EQ(camera.start(STREAM_APS), 0);
    ASSERT_EQ(camera.startRecording(pathOf("untied"), STREAM_APS), 0);
    const size_t before = pictures;
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return pictures >= before + 5; }));
    ASSERT_EQ(camera.stopRecording(STREAM_APS), 0);
    ASSERT_EQ(camera.stop(STREAM_BOTH), 0);
    Mp4FileReader untied(pathOf("untied.mp4"));
    ASSERT_TRUE(untied.loadFile());
    EXPECT_FALSE(untied.getSensorTimeOffset(offset));
    EXPECT_FALSE(untied.useSensorTimes(true));
    ASSERT_TRUE(untied.getTimeStamps(relative));
    ASSERT_FALSE(relative.empty());
    EXPECT_EQ(*std::min_element(relative.begin(), relative.end()), 0u);
}

// A Tandro replaying `source.raw` as fast as it is read, opened.
struct ReplayingFusion {
    ReplayingFusion(const std::string& stem, const std::string& replayFile)
        : plugged([&] {
              sim::DeviceConfig config = tandro(test::uniqueSerial(stem));
              config.pacing = sim::Pacing::AsFastAsRead;
              config.scene = sim::Scene::Replay;
              config.replayFile = replayFile;
              return config;
          }()) {
        manager.updateCameras();
        camera =
            std::dynamic_pointer_cast<TandroCamera>(manager.openFusionCamera(plugged.serial()));
        EXPECT_TRUE(camera && camera->isConnected());
    }
    test::PluggedDevice plugged;
    DvsCameraManager manager;
    std::shared_ptr<TandroCamera> camera;
};

// The buffers the device delivered while a slow callback held the event thread
// are decoded at stop, through the callbacks: the recording holds exactly what
// the callbacks were given.
TEST_F(FusionRecording, TheRecordingIsExactlyWhatTheCallbacksWereGiven) {
    // A finite stream, so that the recording can be held against what was sent.
    // Without trigger edges: each would close a 3.7 MB fusion image, which a
    // thread-sanitized build takes seconds over, and they play no part here.
    std::vector<test::Item> items = test::randomStream(31, 300000, 2);
    items.erase(std::remove_if(items.begin(), items.end(),
                               [](const test::Item& item) { return item.isTrigger; }),
                items.end());
    const std::vector<uint8_t> payload = test::encode(items);
    test::writeRawFile(pathOf("source.raw"), test::recordingHeader(), payload);
    ReplayingFusion open("MIDWAY", pathOf("source.raw"));
    ASSERT_TRUE(open.camera);
    TandroCamera& camera = *open.camera;
    const std::vector<Event2D> source = test::decodeEvents(payload);

    // A slow consumer: the first range waits until the test lets it go, while the
    // device delivers the rest of the stream into the host's queue.
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    std::vector<Event2D> delivered;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::unique_lock<std::mutex> lock(mutex);
        delivered.insert(delivered.end(), b, e);
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    ASSERT_EQ(camera.start(STREAM_DVS), 0);
    ASSERT_TRUE(waitFor(mutex, changed, [&] { return !delivered.empty(); }));
    ASSERT_EQ(camera.startRecording(pathOf("live"), STREAM_DVS), 0);
    ASSERT_TRUE(open.plugged.device().waitForEventsSent(source.size(), seconds(20)));
    test::LogCapture log(LOG_DEBUG);
    auto stopping = std::async(std::launch::async, [&] { return camera.stop(STREAM_DVS); });
    // stop() ends the loop before it takes the next buffer; then the range may finish.
    const bool loopStopping = log.waitFor(
        "Camera " + open.plugged.serial() + " events: the acquisition loop stops", seconds(10));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    ASSERT_TRUE(loopStopping);
    ASSERT_EQ(stopping.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopping.get(), 0);
    ASSERT_EQ(camera.stopRecording(STREAM_DVS), 0);
    EXPECT_EQ(camera.droppedBuffers(), 0u);

    // Every event the device sent reached the callbacks, and the file, decoded on
    // its own, is exactly their tail from where the recording began.
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(test::firstDifference(delivered, source), "");
    const std::vector<Event2D> recorded =
        test::decodeEvents(test::readRawFile(pathOf("live.raw")).payload);
    ASSERT_FALSE(recorded.empty());
    ASSERT_LE(recorded.size(), delivered.size());
    EXPECT_EQ(test::firstDifference(
                  recorded,
                  std::vector<Event2D>(delivered.end() - long(recorded.size()), delivered.end())),
              "");
}

// The device restarts its time base with every start: each run goes on after
// the last, live and in one recording that any decoder reads back to exactly
// what was delivered.
TEST_F(FusionRecording, TimesGoOnAcrossRestartsLiveAndInOneRecording) {
    const std::vector<uint8_t> payload = test::encode(test::steadyStream(31, 30000, 10));
    test::writeRawFile(pathOf("source.raw"), test::recordingHeader(), payload);
    const std::vector<Event2D> source = test::decodeEvents(payload);
    ASSERT_FALSE(source.empty());
    const uint64_t span = source.back().timestamp;
    ReplayingFusion open("RUNS", pathOf("source.raw"));
    ASSERT_TRUE(open.camera);
    TandroCamera& camera = *open.camera;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event2D> delivered;
    camera.addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.insert(delivered.end(), b, e);
        changed.notify_all();
    });
    ASSERT_EQ(camera.startRecording(pathOf("runs"), STREAM_DVS), 0);
    for (size_t run = 0; run < 3; ++run) {
        ASSERT_EQ(camera.start(STREAM_DVS), 0);
        ASSERT_TRUE(
            waitFor(mutex, changed, [&] { return delivered.size() >= (run + 1) * source.size(); }))
            << "run " << run;
        ASSERT_EQ(camera.stop(STREAM_DVS), 0);
    }
    ASSERT_EQ(camera.stopRecording(STREAM_DVS), 0);

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(test::runsJoinedDifference(source, delivered, 3), "");
    EXPECT_LT(delivered.back().timestamp, 3 * (span + 4096));
    const test::RawFile file = test::readRawFile(pathOf("runs.raw"));
    EXPECT_EQ(test::firstDifference(test::plainDecodeEvents(file.payload), delivered), "");
}

TEST_F(FusionRecording, UnplugWhileStreamingAndRecordingEndsBothLoops) {
    OpenFusion open("UNPLUG", 2e6);
    FusionCamera& camera = *open.camera;
    std::mutex mutex;
    std::condition_variable changed;
    size_t frames = 0;
    camera.addApsFrameCallback([&](const ApsFrame&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++frames;
        changed.notify_all();
    });
    std::vector<Event2D> batch;
    camera.setBatchEventsNum(1000);
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);
    ASSERT_EQ(camera.startRecording(pathOf("gone"), STREAM_BOTH), 0);
    EXPECT_TRUE(waitFor(mutex, changed, [&] { return frames >= 3; }));
    MessageWatch losses("Tandro loss connection.");
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> b;
        while (camera.getNextBatch(b) && !b.empty()) {
        }
    });
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug(open.plugged.serial()));
    EXPECT_TRUE(losses.waitFor(2)) << "both loops notice the loss on their own";
    auto stopped = std::async(std::launch::async, [&] {
        camera.stop(STREAM_BOTH);
        camera.stopRecording(STREAM_BOTH);
    });
    ASSERT_EQ(stopped.wait_for(seconds(10)), std::future_status::ready) << "stop hangs";
    ASSERT_EQ(waiter.wait_for(seconds(10)), std::future_status::ready) << "a waiter hangs";
    EXPECT_EQ(losses.lines().size(), 2u) << "once per loop";
    EXPECT_FALSE(camera.isConnected());
    auto reader = DvsFileReader::createFileReader(pathOf("gone.raw"));
    EXPECT_TRUE(reader && reader->loadFile());
}

}  // namespace
}  // namespace orvane
