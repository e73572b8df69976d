// Camera tools: each parameter changes exactly its register bits; bad values
// are refused and write nothing.

#include <gtest/gtest.h>

#include "orvane/orvane.h"
#include "support/SimDevices.h"

namespace orvane {
namespace {

using sim::RegisterAccess;
using Changes = std::map<uint32_t, uint32_t>;  // address -> new value

class ToolTest : public ::testing::Test {
  protected:
    // Runs `change` and returns the registers whose value it changed.
    template <typename F>
    Changes changedBy(F change) {
        auto before = plugged.device().registerFile();
        change();
        Changes changed;
        for (const auto& [address, value] : plugged.device().registerFile()) {
            auto old = before.find(address);
            if (old == before.end() || old->second != value) {
                changed[address] = value;
            }
        }
        return changed;
    }
    // True when `attempt` returns false and puts no write on the bus.
    template <typename F>
    bool refusedQuietly(F attempt) {
        plugged.device().clearTraffic();
        bool result = attempt();
        for (const auto& access : plugged.device().traffic()) {
            if (access.kind == RegisterAccess::Write ||
                access.kind == RegisterAccess::ControlFrame) {
                return false;
            }
        }
        return !result;
    }
    uint32_t reg(uint32_t address) { return plugged.device().peekRegister(address); }

    test::PluggedDevice plugged{sim::Product::Tandro, test::uniqueSerial("TOOLS")};
    std::shared_ptr<RegisterController> events = std::make_shared<RegisterController>(
        plugged.interface(), imx636RegisterTable, kImx636RegisterTableRows, "PSEE/IMX636/");
    std::shared_ptr<RegisterController> frames = std::make_shared<RegisterController>(
        plugged.interface(), imx415RegisterTable, kImx415RegisterTableRows, " ");
};

TEST_F(ToolTest, BiasesSetTheCurrentOfTheirRegister) {
    Imx636Biases biases(events);
    int value = -1;
    ASSERT_TRUE(biases.getParam("bias_diff", value));
    EXPECT_EQ(value, 0x4D);
    const uint32_t before = reg(0x1010);
    EXPECT_EQ(changedBy([&] { EXPECT_TRUE(biases.setParam("bias_diff_on", 120)); }),
              (Changes{{0x1010, (before & ~0xFFu) | 120}}));
    ASSERT_TRUE(biases.getParam("bias_diff_on", value));
    EXPECT_EQ(value, 120);

    EXPECT_TRUE(refusedQuietly([&] { return biases.setParam("bias_diff_on", 256); }));
    EXPECT_TRUE(refusedQuietly([&] { return biases.setParam("bias_diff_on", -1); }));
    EXPECT_TRUE(refusedQuietly([&] { return biases.setParam("bias_nope", 1); }));
    EXPECT_TRUE(refusedQuietly([&] { return biases.setParam("bias_fo", 1.5); }));
    EXPECT_TRUE(refusedQuietly([&] { return biases.setParam("bias_fo", "high"); }));
    bool flag = false;
    EXPECT_FALSE(biases.getParam("bias_fo", flag));
    IntParameterInfo info;
    ASSERT_TRUE(biases.getParamInfo("bias_refr", info));
    EXPECT_EQ(info.max, 255);
    EXPECT_EQ(info.defaultValue, 0x14);
}

TEST_F(ToolTest, SwitchesOfTriggerSyncRateControlAndTrailFilter) {
    Imx636TriggerIn trigger(events);
    EXPECT_EQ(changedBy([&] { EXPECT_TRUE(trigger.setParam("enable", true)); }),
              (Changes{{0x7004, reg(0x7004) | 1}}));

    Imx636Sync sync(events);
    const uint32_t timeBase = reg(0x9008), pads = reg(0x0044);
    EXPECT_EQ(changedBy([&] { EXPECT_TRUE(sync.setParam("mode", "master")); }),
              (Changes{{0x9008, timeBase | 0xE}, {0x0044, (pads & ~0xF0000u) | 0xC0000}}));
    std::string mode;
    ASSERT_TRUE(sync.getParam("mode", mode));
    EXPECT_EQ(mode, "master");
    ASSERT_TRUE(sync.setParam("mode", std::string("slave")));
    ASSERT_TRUE(sync.getParam("mode", mode));
    EXPECT_EQ(mode, "slave");
    EXPECT_EQ(reg(0x0044) & 0xF0000, 0xF0000u);
    EXPECT_TRUE(refusedQuietly([&] { return sync.setParam("mode", "leader"); }));

    Imx636EventRateControl erc(events);
    EXPECT_TRUE(erc.setParam("enable", true));
    EXPECT_EQ(reg(0x6028) & 1, 1u);
    EXPECT_EQ(changedBy([&] { EXPECT_TRUE(erc.setParam("max_event_rate", 5'000'000)); }),
              (Changes{{0x600C, 1000}}));  // events per 200 us reference period
    EXPECT_TRUE(refusedQuietly([&] { return erc.setParam("max_event_rate", 10); }));
    int rate = 0;
    ASSERT_TRUE(erc.getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 5'000'000);

    Imx636EventTrailFilter trail(events);
    ASSERT_TRUE(trail.setParam("type", "stc_keep_trail"));
    EXPECT_EQ(reg(0xD004) & 1, 1u);
    EXPECT_EQ(reg(0xD008) & 1, 0u);
    ASSERT_TRUE(trail.setParam("threshold", 5000));
    EXPECT_EQ(reg(0xD004) >> 1, 5000u);
    EXPECT_EQ(reg(0xD008) >> 1, 5000u);
    ASSERT_TRUE(trail.setParam("enable", true));
    EXPECT_EQ(reg(0xD000) & 3, 1u) << "enabled and not bypassed";
    EXPECT_TRUE(refusedQuietly([&] { return trail.setParam("threshold", 999); }));
    EXPECT_TRUE(refusedQuietly([&] { return trail.setParam("threshold", true); }));
}

TEST_F(ToolTest, AntiFlickerProgramsItsBand) {
    Imx636AntiFlicker afk(events);
    ASSERT_TRUE(afk.setParam("low_frequency", 100));
    EXPECT_EQ((reg(0xC008) >> 8) & 0xFF, 78u);  // 10000 us in steps of 128 us
    EXPECT_TRUE(refusedQuietly([&] { return afk.setParam("high_frequency", 60); }))
        << "the band cannot be inverted";
    ASSERT_TRUE(afk.setParam("duty_cycle", 25.0));  // the double overload goes to the float one
    EXPECT_EQ((reg(0xC008) >> 16) & 0xF, 11u);
    float duty = 0;
    ASSERT_TRUE(afk.getParam("duty_cycle", duty));
    EXPECT_FLOAT_EQ(duty, 25.0f);
    ASSERT_TRUE(afk.setParam("filter_mode", "band_pass"));
    EXPECT_EQ(reg(0xC004) & 0x40, 0x40u);
    ASSERT_TRUE(afk.setParam("enable", true));
    EXPECT_EQ(reg(0xC000) & 3, 1u);
    EXPECT_TRUE(refusedQuietly([&] { return afk.setParam("duty_cycle", 101.0f); }));
}

TEST_F(ToolTest, RoiWritesTheWindowMasks) {
    Imx636ROI roi(events);
    ASSERT_TRUE(roi.setParam("x_width", 100));
    ASSERT_TRUE(roi.setParam("x", 1000));
    ASSERT_TRUE(roi.setParam("y_height", 50));
    ASSERT_TRUE(roi.setParam("y", 10));
    ASSERT_TRUE(roi.setParam("mode", "roni"));
    ASSERT_TRUE(roi.setParam("enable", true));
    // A set bit marks a column (or row) outside the window [1000, 1100) x [10, 60).
    EXPECT_EQ(reg(0x2000 + 4 * 30), 0xFFFFFFFFu);
    EXPECT_EQ(reg(0x2000 + 4 * 31), 0x000000FFu);
    EXPECT_EQ(reg(0x2000 + 4 * 32), 0u);
    EXPECT_EQ(reg(0x2000 + 4 * 34), 0xFFFFF000u);
    EXPECT_EQ(reg(0x4000), 0x3FFu);
    EXPECT_EQ(reg(0x4000 + 4), 0xF0000000u);
    EXPECT_EQ(reg(0x4000 + 4 * 22), 0xFFFFu);
    EXPECT_EQ(reg(0x0004) & 0x42, 0x02u) << "enabled, dropping the window";

    EXPECT_TRUE(refusedQuietly([&] { return roi.setParam("x", 1250); })) << "window off the sensor";
    EXPECT_TRUE(refusedQuietly([&] { return roi.setParam("y_height", 0); }));
    int x = 0;
    ASSERT_TRUE(roi.getParam("x", x));
    EXPECT_EQ(x, 1000);
}

TEST_F(ToolTest, ApsControlWritesTheFrameSensorByControlFrames) {
    Imx415ApsCtrl aps(frames);
    int level = 0;
    ASSERT_TRUE(aps.getParam("black_level", level));
    EXPECT_EQ(level, 50) << "the device starts from the table's default";
    plugged.device().clearTraffic();
    ASSERT_TRUE(aps.setParam("black_level", 100));
    EXPECT_EQ(reg(0x5004) & 0x3FF, 100u);
    bool sawFrame = false;
    for (const auto& access : plugged.device().traffic()) {
        sawFrame = sawFrame || access.kind == RegisterAccess::ControlFrame;
    }
    EXPECT_TRUE(sawFrame);
    ASSERT_TRUE(aps.setParam("auto_exposure", false));
    EXPECT_EQ(reg(0x5001) & 1, 0u);
    EXPECT_TRUE(refusedQuietly([&] { return aps.setParam("shutter_time", 0); }));
    EXPECT_TRUE(refusedQuietly([&] { return aps.setParam("black_level", 1024); }));
}

TEST_F(ToolTest, DescriptorsNameEachToolAndItsParameters) {
    std::vector<std::unique_ptr<CameraTool>> tools;
    tools.push_back(std::make_unique<Imx636Biases>(events));
    tools.push_back(std::make_unique<Imx636TriggerIn>(events));
    tools.push_back(std::make_unique<Imx636Sync>(events));
    tools.push_back(std::make_unique<Imx636AntiFlicker>(events));
    tools.push_back(std::make_unique<Imx636EventTrailFilter>(events));
    tools.push_back(std::make_unique<Imx636EventRateControl>(events));
    tools.push_back(std::make_unique<Imx636ROI>(events));
    tools.push_back(std::make_unique<Imx415ApsCtrl>(frames));
    const std::vector<ToolInfo> expected = {
        {TOOL_BIASES,
         {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
         "Biases of DVS cameras with IMX636 sensor"},
        {TOOL_TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"},
        {TOOL_SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors"},
        {TOOL_ANTI_FLICKER,
         {"duty_cycle", "enable", "filter_mode", "high_frequency", "low_frequency"},
         "Anti flicker of DVS cameras with IMX636 sensor."},
        {TOOL_EVENT_TRAIL_FILTER,
         {"enable", "threshold", "type"},
         "Event Trail Filter of DVS cameras with IMX636 sensor"},
        {TOOL_EVENT_RATE_CONTROL,
         {"enable", "max_event_rate"},
         "ERC of DVS cameras with IMX636 sensor"},
        {TOOL_ROI,
         {"enable", "mode", "x", "y", "x_width", "y_height"},
         "ROI of DVS cameras with IMX636 sensor"},
        {TOOL_APS_CTRL,
         {"auto_exposure", "auto_white_balance", "black_level", "shutter_time"},
         "Ctrl of APS cameras with IMX415 sonsors"},
    };
    for (size_t i = 0; i < tools.size(); ++i) {
        const ToolInfo first = tools[i]->getToolInfo();
        EXPECT_TRUE(first == expected[i]) << "tool " << i << ": " << first.description;
        EXPECT_TRUE(first == tools[i]->getToolInfo()) << "descriptors are stable";
        EXPECT_EQ(tools[i]->getAllParamInfo().size(), expected[i].paramNames.size());
    }
}

}  // namespace
}  // namespace orvane
