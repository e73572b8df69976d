// The sensor drivers as the bus sees them: every access, value and wait in order.

#include <gtest/gtest.h>

#include "orvane/orvane.h"
#include "support/BusWalk.h"
#include "support/LogCapture.h"
#include "support/SimDevices.h"

namespace orvane {
namespace {

using sim::RegisterAccess;
using test::BusWalk;

class Imx6x6SensorTest : public ::testing::Test {
  protected:
    void bind(Sensor& sensor) { test::bindEventSensor(sensor, controller); }
    const Register& reg(const char* name) { return controller->resolve(name); }

    test::PluggedDevice plugged{sim::Product::EVK4, test::uniqueSerial("IMX636")};
    std::shared_ptr<RegisterController> controller = std::make_shared<RegisterController>(
        plugged.interface(), imx636RegisterTable, kImx636RegisterTableRows, "PSEE/IMX636/");
};

TEST_F(Imx6x6SensorTest, BringUpStartAndStopOnTheBus) {
    ASSERT_EQ(imx636StopSequence.size(), 7u);
    ASSERT_EQ(imx636PreInitSequence.size(), 27u);
    ASSERT_EQ(imx636InitSequence.size(), 81u);
    ASSERT_EQ(imx636StartSequence.size(), 5u);
    Imx6x6Sensor sensor;
    bind(sensor);
    plugged.device().clearTraffic();
    test::LogCapture log;
    ASSERT_EQ(sensor.init(plugged.interface()), 0);
    EXPECT_TRUE(log.has(LOG_INFO, "Imx6x6Sensor init success!"));
    ASSERT_NE(sensor.eventStream(), nullptr);

    const auto traffic = plugged.device().traffic();
    BusWalk bus(traffic);
    bus.imx636BringUp(*controller);
    bus.end();
    // The sensor needs 2.5 s to settle: the bring-up asks the bus to wait that
    // long (the simulator sleeps these waits only when told to).
    uint64_t waited = 0;
    for (const RegisterAccess& access : traffic) {
        waited += access.kind == RegisterAccess::Delay ? access.delayUs : 0;
    }
    EXPECT_GE(waited, 2'500'000u);

    // Output and time base are off after bring-up, on after start, off after stop.
    auto outputOn = [&] {
        return (plugged.device().peekRegister(0x0004) & 0x400) != 0 &&
               (plugged.device().peekRegister(0x9008) & 0x1) != 0;
    };
    EXPECT_FALSE(outputOn());
    plugged.device().clearTraffic();
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_TRUE(outputOn());
    BusWalk started(plugged.device().traffic());
    started.sequence(imx636StartSequence, "start");
    started.end();
    plugged.device().clearTraffic();
    ASSERT_EQ(sensor.stop(), 0);
    EXPECT_FALSE(outputOn());
    BusWalk stopped(plugged.device().traffic());
    stopped.sequence(imx636StopSequence, "stop");
    stopped.end();
}

TEST_F(Imx6x6SensorTest, MissingCallbacksAreReportedAndRefused) {
    test::LogCapture log;
    Imx6x6Sensor bare;
    EXPECT_EQ(bare.start(), -1);
    EXPECT_TRUE(log.has(LOG_ERROR, "Please initialize the Imx6x6Sensor first!"));
    EXPECT_EQ(bare.eventStream(), nullptr) << "start before init touches no stream";
    EXPECT_EQ(bare.init(plugged.interface()), -1);
    EXPECT_TRUE(log.has(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!"));
    EXPECT_NE(bare.eventStream(), nullptr) << "the stream is made before the callback is checked";
    EXPECT_EQ(bare.start(), -1);

    Imx6x6Sensor sequencesOnly;
    sequencesOnly.setApplyRegisterOperationSequenceCallback(
        [c = controller](const std::vector<RegisterOperation>& s) {
            c->ApplyRegisterOperationSequence(s);
        });
    log.clear();
    EXPECT_EQ(sequencesOnly.init(plugged.interface()), 0);
    EXPECT_EQ(
        log.count(LOG_ERROR, "Imx6x6Sensor init failed! No write register callback provided!"), 4u);
    EXPECT_TRUE(sequencesOnly.isInitialized());
}

TEST(Imx415Sensor, SwitchesFramesWithOneRegisterWrite) {
    test::PluggedDevice plugged(sim::Product::Tandro, test::uniqueSerial("IMX415"));
    auto controller = std::make_shared<RegisterController>(plugged.interface(), imx415RegisterTable,
                                                           kImx415RegisterTableRows, " ");
    Imx415Sensor sensor;
    sensor.setWriteRegisterCallback([controller](const std::string& r, uint32_t v) {
        controller->writeRegisterWithControlTransfer(r, v);
    });
    plugged.device().clearTraffic();
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_TRUE(plugged.device().traffic().empty()) << "nothing reaches the bus before init";

    EXPECT_EQ(sensor.init(plugged.interface()), 0);
    ASSERT_NE(sensor.eventStream(), nullptr);
    EXPECT_EQ(sensor.eventStream()->bufferBytes(), 12'441'600u);
    const EventStream* first = sensor.eventStream();
    EXPECT_EQ(sensor.init(plugged.interface()), 0);
    EXPECT_NE(sensor.eventStream(), first) << "a second init makes a fresh stream";

    ASSERT_EQ(sensor.start(), 0);
    EXPECT_EQ(plugged.device().peekRegister(0x5000), 1u);
    ASSERT_EQ(sensor.stop(), 0);
    EXPECT_EQ(plugged.device().peekRegister(0x5000), 0u);
    auto traffic = plugged.device().traffic();
    ASSERT_EQ(traffic.size(), 4u);  // a control frame and the register it wrote, twice
    EXPECT_EQ(traffic[0].kind, RegisterAccess::ControlFrame);
    EXPECT_EQ(traffic[3].kind, RegisterAccess::Write);
}

}  // namespace
}  // namespace orvane
