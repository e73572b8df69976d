// The simulated cameras behind the transport: discovery, streaming that follows
// the registers, replay, fusion data, unplugging and slow consumers.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <future>

#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/LogCapture.h"
#include "support/SimDevices.h"
#include "support/Streams.h"

namespace orvane {
namespace {

using test::EventSensorRig;

sim::DeviceConfig configOf(sim::Product product, const std::string& stem,
                           sim::Pacing pacing = sim::Pacing::AsFastAsRead, double rate = 2e6) {
    sim::DeviceConfig config;
    config.product = product;
    config.serial = test::uniqueSerial(stem);
    config.pacing = pacing;
    config.eventRate = rate;
    config.sleepDelays = false;
    return config;
}

// Decodes buffers, checking that none exceeds the transfer size.
struct Decoded {
    explicit Decoded(uint32_t transferBytes) : limit(transferBytes) {
        decoder->setEventsStreamHandleCallback(
            [this](const Event2D* b, const Event2D* e) { events.insert(events.end(), b, e); });
        decoder->setTriggerInCallback([this](EventTriggerIn t) { triggers.push_back(t); });
    }
    void add(const RawBuffer& buffer, bool swapped = false) {
        ASSERT_LE(buffer->size(), limit);
        std::vector<uint8_t> bytes = *buffer;
        if (swapped) {
            convertEndian(bytes);
        }
        decoder->decode(bytes);
    }
    uint32_t limit;
    std::unique_ptr<Decoder> decoder =
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
};

TEST(SimulatedBus, DiscoveryFindsEachProductByItsIdentifiers) {
    test::PluggedDevice evk4(sim::Product::EVK4, test::uniqueSerial("D-EVK4"));
    test::PluggedDevice brisca(sim::Product::Brisca, test::uniqueSerial("D-BRISCA"));
    test::PluggedDevice tandro(sim::Product::Tandro, test::uniqueSerial("D-TANDRO"));
    auto has = [](const std::vector<CameraDescription>& found, const std::string& serial) {
        return std::any_of(found.begin(), found.end(),
                           [&](const auto& d) { return d.serial == serial; });
    };
    auto evk4s = UsbInterface::findUsbDvsCamera(0x04B4, 0x00F5);
    EXPECT_TRUE(has(evk4s, evk4.serial()));
    EXPECT_FALSE(has(evk4s, brisca.serial()));
    EXPECT_TRUE(has(UsbInterface::findUsbDvsCamera(0x04B5, 0x0001), brisca.serial()));
    EXPECT_TRUE(has(UsbInterface::findUsbFusionCamera(0x2207, 0x0006), tandro.serial()));
    EXPECT_TRUE(UsbInterface::findUsbDvsCamera(0x1234, 0x5678).empty());

    CameraDescription gone = evk4.device().description();
    gone.serial = "NOT-PLUGGED";
    EXPECT_EQ(UsbInterface::createUsbInterface(gone), nullptr);
    EXPECT_THROW(sim::SimulatedBus::instance().plug(evk4.device().config()), std::invalid_argument)
        << "a serial is plugged once";
}

TEST(SimulatedBus, EnvironmentGrammarIsParsedOrRefusedClearly) {
    auto configs = sim::SimulatedBus::parse(
        "evk4:SIM-EVK4-01;tandro:SIM-TD-01,rate=5e6,scene=noise,seed=7,pacing=fast,delays=log");
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].product, sim::Product::EVK4);
    EXPECT_EQ(configs[0].serial, "SIM-EVK4-01");
    EXPECT_EQ(configs[1].product, sim::Product::Tandro);
    EXPECT_DOUBLE_EQ(configs[1].eventRate, 5e6);
    EXPECT_EQ(configs[1].scene, sim::Scene::Noise);
    EXPECT_EQ(configs[1].seed, 7u);
    EXPECT_EQ(configs[1].pacing, sim::Pacing::AsFastAsRead);
    EXPECT_FALSE(configs[1].sleepDelays);
    // Rates beyond what the sensor can read out are refused by name.
    EXPECT_DOUBLE_EQ(sim::SimulatedBus::parse("evk4:X,rate=1.066e9")[0].eventRate, 1.066e9);
    for (const char* absurd : {"evk4:X,rate=1.1e9", "evk4:X,rate=1e30", "evk4:X,rate=inf"}) {
        try {
            sim::SimulatedBus::parse(absurd);
            ADD_FAILURE() << absurd << " must be refused";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("beyond the simulated sensor's peak of 1.066e+09"),
                      std::string::npos)
                << e.what();
        }
    }
    sim::DeviceConfig tooFast = configOf(sim::Product::EVK4, "TOO-FAST");
    tooFast.eventRate = 1e12;
    EXPECT_THROW(sim::SimulatedBus::instance().plug(tooFast), std::invalid_argument);
    EXPECT_EQ(sim::SimulatedBus::instance().device(tooFast.serial), nullptr);
    for (const char* bad : {"evk5:X", "evk4", "evk4:X,rate=fast", "evk4:X,colour=red",
                            "evk4:X,scene=replay", "evk4:X,pacing=slow"}) {
        try {
            sim::SimulatedBus::parse(bad);
            ADD_FAILURE() << bad << " must be refused";
        } catch (const std::invalid_argument& e) {
            EXPECT_GT(std::string(e.what()).size(), 10u) << bad;
        }
    }
}

TEST(SimulatedCamera, StreamsOnlyBetweenStartAndStopSequences) {
    EventSensorRig rig(configOf(sim::Product::EVK4, "GATE"));
    rig.stream().start();  // the transfers run, but the sensor's output is still off
    EXPECT_EQ(rig.next(5), nullptr);
    EXPECT_EQ(rig.device().eventsSent(), 0u);

    rig.controller->ApplyRegisterOperationSequence(imx636StartSequence);
    Decoded decoded(Imx6x6Sensor::kTransferBytes);
    while (decoded.events.size() < 20000) {
        RawBuffer buffer = rig.next();
        ASSERT_NE(buffer, nullptr);
        decoded.add(buffer);
    }
    ASSERT_EQ(rig.sensor.stop(), 0);
    const uint64_t sent = rig.device().eventsSent();
    while (RawBuffer buffer = rig.next(1)) {
        decoded.add(buffer);
    }
    EXPECT_EQ(decoded.events.size(), sent)
        << "every event sent before the stop arrives, and no more";
    EXPECT_EQ(rig.device().eventsSent(), sent);
    for (size_t i = 1; i < decoded.events.size(); ++i) {
        ASSERT_LE(decoded.events[i - 1].timestamp, decoded.events[i].timestamp);
    }
}

TEST(SimulatedCamera, ToolsShapeWhatTheSensorSends) {
    EventSensorRig rig(configOf(sim::Product::EVK4, "ROI", sim::Pacing::AsFastAsRead, 5e6));
    Imx636ROI roi(rig.controller);
    ASSERT_TRUE(roi.setParam("x_width", 200));
    ASSERT_TRUE(roi.setParam("y_height", 100));
    ASSERT_TRUE(roi.setParam("x", 500));
    ASSERT_TRUE(roi.setParam("y", 300));
    ASSERT_TRUE(roi.setParam("enable", true));
    Imx636TriggerIn trigger(rig.controller);
    ASSERT_TRUE(trigger.setParam("enable", true));
    ASSERT_EQ(rig.sensor.start(), 0);
    Decoded decoded(Imx6x6Sensor::kTransferBytes);
    // The bar reaches the window after about half a second of sensor time.
    while (decoded.events.size() < 1000) {
        RawBuffer buffer = rig.next();
        ASSERT_NE(buffer, nullptr);
        decoded.add(buffer);
    }
    rig.sensor.stop();
    ASSERT_GE(decoded.triggers.size(), 4u);
    for (const Event2D& e : decoded.events) {
        ASSERT_TRUE(e.x >= 500 && e.x < 700 && e.y >= 300 && e.y < 400) << e.x << "," << e.y;
    }
    EXPECT_EQ(decoded.triggers[0].timestamp % 5000, 0u) << "edges of a 100 Hz square wave";
    EXPECT_NE(decoded.triggers[0].polarity, decoded.triggers[1].polarity);
}

TEST(SimulatedCamera, RateControlCapsAndThresholdsThinTheStream) {
    sim::DeviceConfig config = configOf(sim::Product::EVK4, "ERC", sim::Pacing::AsFastAsRead, 5e6);
    config.scene = sim::Scene::Noise;  // half ON, half OFF
    EventSensorRig rig(config);
    Imx636EventRateControl erc(rig.controller);
    ASSERT_TRUE(erc.setParam("max_event_rate", 1'000'000));  // 200 per 200 us
    ASSERT_TRUE(erc.setParam("enable", true));
    Imx636Biases biases(rig.controller);
    ASSERT_TRUE(biases.setParam("bias_diff_on", 255));
    ASSERT_EQ(rig.sensor.start(), 0);
    Decoded decoded(Imx6x6Sensor::kTransferBytes);
    while (decoded.events.size() < 50000) {
        RawBuffer buffer = rig.next();
        ASSERT_NE(buffer, nullptr);
        decoded.add(buffer);
    }
    rig.sensor.stop();
    std::map<uint64_t, size_t> perWindow;
    size_t on = 0;
    for (const Event2D& e : decoded.events) {
        ++perWindow[e.timestamp / 200];
        on += e.polarity;
    }
    for (const auto& [window, count] : perWindow) {
        ASSERT_LE(count, 200u) << "window " << window;
    }
    EXPECT_LT(on * 3, decoded.events.size()) << "a high ON threshold leaves far fewer ON events";
}

TEST(SimulatedCamera, ReplayStreamsARecordingByteForByte) {
    std::vector<uint8_t> payload;
    std::string path;
    test::ScratchDir scratch;
    auto real = test::realRecordings();
    if (!real.empty()) {
        path = real.front();
        payload = test::readRawFile(path).payload;
    } else {
        path = scratch.file("replay.raw");
        payload = test::encode(test::randomStream(3, 50000, 1));
        std::ofstream out(path, std::ios::binary);
        out << "% evt 3.0\n% end\n";
        out.write(reinterpret_cast<const char*>(payload.data()), static_cast<long>(payload.size()));
    }
    sim::DeviceConfig config = configOf(sim::Product::EVK4, "REPLAY");
    config.scene = sim::Scene::Replay;
    config.replayFile = path;
    EventSensorRig rig(config);
    ASSERT_EQ(rig.sensor.start(), 0);
    std::vector<uint8_t> received;
    while (received.size() < payload.size()) {
        RawBuffer buffer = rig.next();
        ASSERT_NE(buffer, nullptr)
            << "after " << received.size() << " of " << payload.size() << " bytes";
        ASSERT_LE(buffer->size(), Imx6x6Sensor::kTransferBytes);
        received.insert(received.end(), buffer->begin(), buffer->end());
    }
    rig.sensor.stop();
    EXPECT_TRUE(received == payload);
}

TEST(SimulatedCamera, FusionCameraSwapsEventBytesAndFramesItsPictures) {
    sim::DeviceConfig config = configOf(sim::Product::Tandro, "FUSION");
    EventSensorRig rig(config);
    auto aps = std::make_shared<RegisterController>(rig.plugged.interface(), imx415RegisterTable,
                                                    kImx415RegisterTableRows, " ");
    Imx415Sensor frames;
    frames.setWriteRegisterCallback(
        [aps](const std::string& r, uint32_t v) { aps->writeRegisterWithControlTransfer(r, v); });
    ASSERT_EQ(frames.init(rig.plugged.interface()), 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    ASSERT_EQ(frames.start(), 0);

    auto picture = frames.getNextBuffer();
    for (int i = 0; i < 100 && !picture; ++i) {
        picture = frames.getNextBuffer();
    }
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ((*picture)->size(), 3840u * 2160u * 3 / 2);

    Decoded decoded(Imx6x6Sensor::kTransferBytes);
    while (decoded.triggers.size() < 4) {
        RawBuffer buffer = rig.next();
        ASSERT_NE(buffer, nullptr);
        decoded.add(buffer, /*swapped=*/true);
    }
    frames.stop();
    rig.sensor.stop();
    EXPECT_FALSE(decoded.events.empty());
    for (const Event2D& e : decoded.events) {
        ASSERT_TRUE(e.x < 1280 && e.y < 720)
            << "swapped back, the words decode to the sensor's pixels";
    }
    // Exposure start (level 0), then the frame time (level 1) on the 30 Hz grid.
    EXPECT_EQ(decoded.triggers[0].polarity, 0);
    EXPECT_EQ(decoded.triggers[1].polarity, 1);
    EXPECT_EQ(decoded.triggers[1].timestamp % sim::SimulatedDevice::kFramePeriodUs, 0u);
    EXPECT_EQ(decoded.triggers[1].timestamp - decoded.triggers[0].timestamp,
              sim::SimulatedDevice::kExposureUs);
}

// At the sensor's peak rate a step of the simulator holds millions of events;
// a stop still ends the stream without waiting for them all.
TEST(SimulatedCamera, StopEndsTheStreamAtThePeakRate) {
    for (sim::Pacing pacing : {sim::Pacing::RealTime, sim::Pacing::AsFastAsRead}) {
        EventSensorRig rig(configOf(sim::Product::EVK4, "PEAK", pacing, sim::kPeakEventRate));
        ASSERT_EQ(rig.sensor.start(), 0);
        ASSERT_NE(rig.next(), nullptr) << "events flow at the peak rate";
        EXPECT_EQ(rig.sensor.stop(), 0);
    }
}

TEST(SimulatedCamera, UnplugWakesABlockedReaderAtOnce) {
    EventSensorRig rig(configOf(sim::Product::EVK4, "UNPLUG", sim::Pacing::RealTime));
    DataTransfer transfer(rig.plugged.interface(), 2, 4096, ENDPOINT_EVENTS);
    transfer.start();  // output off: the reader waits in vain
    // One long wait: only the unplug can end it within the test's patience.
    auto reader = std::async(std::launch::async,
                             [&] { return transfer.queue().wait(std::chrono::seconds(60)); });
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "nothing to read yet";
    ASSERT_TRUE(sim::SimulatedBus::instance().unplug(rig.plugged.serial()));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    EXPECT_TRUE(transfer.queue().closed());
    EXPECT_FALSE(rig.plugged.interface()->isConnected());
    EXPECT_THROW(rig.plugged.interface()->readWord(0x9028), std::runtime_error);
    // The driver stops its stream, then its stop sequence finds no device.
    EXPECT_THROW(rig.sensor.stop(), std::runtime_error);
}

TEST(SimulatedCamera, AnEndpointServesOneConsumerAndStopsRaceStartsSafely) {
    EventSensorRig rig(configOf(sim::Product::EVK4, "ENDPOINT", sim::Pacing::AsFastAsRead));
    DataTransfer first(rig.plugged.interface(), 2, 4096, ENDPOINT_EVENTS);
    DataTransfer second(rig.plugged.interface(), 2, 4096, ENDPOINT_EVENTS);
    first.start();
    EXPECT_THROW(second.start(), std::runtime_error) << "no silent take-over";
    rig.controller->ApplyRegisterOperationSequence(imx636StartSequence);
    EXPECT_TRUE(first.queue().wait(std::chrono::seconds(10)))
        << "the first consumer still gets data";
    first.stop();

    // Starts and stops from two threads at once: each start either claims the
    // endpoint or is refused; no thread is left behind or destroyed running.
    sim::SimulatedDevice& device = rig.device();
    auto queue = std::make_shared<BufferQueue>(4, 4096, "race");
    auto starter = std::async(std::launch::async, [&] {
        for (int i = 0; i < 300; ++i) {
            try {
                device.startEndpoint(ENDPOINT_EVENTS, 2, 4096, queue);
            } catch (const std::runtime_error&) {
            }
        }
    });
    for (int i = 0; i < 300; ++i) {
        device.stopEndpoint(ENDPOINT_EVENTS);
    }
    starter.get();
    device.stopEndpoint(ENDPOINT_EVENTS);
    rig.controller->ApplyRegisterOperationSequence(imx636StopSequence);
}

TEST(SimulatedCamera, ASlowConsumerSeesDropsCountedAndWarned) {
    EventSensorRig rig(configOf(sim::Product::EVK4, "SLOW", sim::Pacing::RealTime, 5e6));
    test::LogCapture log;
    // Small transfers fill the host's queue quickly.
    constexpr uint32_t kSmall = 4096;
    EventStream stream(
        createDataTransferUniquePtr(rig.plugged.interface(), 2, kSmall, ENDPOINT_EVENTS));
    stream.start();
    rig.controller->ApplyRegisterOperationSequence(imx636StartSequence);
    // Nobody reads while the device sends three times what the queue holds.
    const uint64_t enough = 3 * DataTransfer::queueDepth(kSmall) * (kSmall / 2);
    EXPECT_TRUE(rig.device().waitForEventsSent(enough, std::chrono::seconds(60)));
    stream.stop();
    rig.controller->ApplyRegisterOperationSequence(imx636StopSequence);
    EXPECT_GT(stream.droppedBuffers(), 0u);
    auto warning = std::find_if(log.lines.begin(), log.lines.end(),
                                [](const auto& l) { return l.level == LOG_WARNING; });
    ASSERT_NE(warning, log.lines.end());
    EXPECT_NE(warning->message.find("dropped"), std::string::npos) << warning->message;
}

}  // namespace
}  // namespace orvane
