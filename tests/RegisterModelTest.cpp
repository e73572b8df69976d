// Register tables, the register model and the register controller.

#include <gtest/gtest.h>

#include <cstring>

#include "orvane/orvane.h"
#include "support/SimDevices.h"

namespace orvane {
namespace {

using sim::RegisterAccess;

TEST(RegisterTables, HoldTheSensorsMaps) {
    size_t registers = 0, fields = 0, aliases = 0;
    for (uint32_t i = 0; i < kImx636RegisterTableRows; ++i) {
        const RegisterInfo& row = imx636RegisterTable[i];
        registers += row.type == TYPE_REGISTER;
        fields += row.type == TYPE_FIELD;
        aliases += row.type == TYPE_ALIAS;
        if (row.type == TYPE_FIELD) {
            EXPECT_LE(row.address + row.length, 32u) << row.name;
            EXPECT_TRUE(row.length == 32 || row.defaultValue < (1u << row.length)) << row.name;
        }
        const RegisterInfo& copy = fusion::imx636RegisterTable[i];
        ASSERT_TRUE(row.type == copy.type && std::strcmp(row.name, copy.name) == 0 &&
                    row.address == copy.address && row.length == copy.length &&
                    row.defaultValue == copy.defaultValue)
            << "the fusion camera's copy differs at row " << i;
    }
    EXPECT_EQ(registers, 742u);
    EXPECT_EQ(fields, 2011u);
    EXPECT_EQ(aliases, 126u);

    RegisterMap map = RegisterMap::fromTable(imx636RegisterTable, kImx636RegisterTableRows);
    ASSERT_EQ(map.size(), 742u) << "register names are unique";
    EXPECT_EQ(map["roi_ctrl"].get_address(), 0x0004u);
    EXPECT_EQ(map["slvs/slvs_phy_logic_ctrl_00"].get_address(), 0xE150u);
    EXPECT_EQ(map["erc/Reserved_6B94"].get_address(), 0x6B94u);
    EXPECT_EQ(map["erc/t_drop_lut_255"].get_address(), 0x67FCu);
    const Register::Field& lifoCount = map["lifo_ctrl"]["lifo_cnt_en"];
    EXPECT_EQ(map["lifo_ctrl"].get_address(), 0x000Cu);
    EXPECT_EQ(lifoCount.get_start(), 2);
    EXPECT_EQ(lifoCount.get_len(), 1);
    EXPECT_EQ(lifoCount.get_mask(), 0x4u);
    const Register::Field& whole = map["Reserved_0014"]["Reserved_31_0"];
    EXPECT_EQ(whole.get_mask(), 0xFFFFFFFFu);
    EXPECT_EQ(whole.get_default_value(), 0xA0401806u);
    EXPECT_EQ(map["roi/td_roi_x39"]["effective"].get_aliases().at("disable"), 0xFFFFFFFFu);
    EXPECT_EQ(map["roi/td_roi_y22"]["effective"].get_aliases().at("disable"), 0xFFFFu);
    EXPECT_EQ(map["roi/td_roi_y22"]["effective"].get_aliases().at("enable"), 0u);
    EXPECT_EQ(map["bias/bias_diff"].get_default_value() & 0x0FFFFFFF, 0x1A1504Du);
    EXPECT_EQ(map["bias/bias_refr"]["Reserved_27_8"].get_default_value(), 0x38296u);

    // The frame sensor's odd last row is read as a field of the register before it.
    RegisterMap aps = RegisterMap::fromTable(imx415RegisterTable, kImx415RegisterTableRows);
    EXPECT_EQ(aps.size(), 5u);
    const Register::Field& offset = aps["aps_blk_level"]["aps_blk_level_offset"];
    EXPECT_EQ(offset.get_len(), 10);
    EXPECT_EQ(offset.get_default_value(), 50u);
    EXPECT_EQ(aps["aps_shutter"]["aps_shutter_sweep_time"].get_default_value(), 102u);
}

TEST(RegisterModel, LookupsCopiesAndMasks) {
    RegisterMap map = RegisterMap::fromTable(imx636RegisterTable, kImx636RegisterTableRows);
    try {
        (void)map[""];
        FAIL() << "an empty name must not be found";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "RegisterController: Register not found");
    }
    try {
        (void)map["lifo_ctrl"]["no_such_field"];
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Register: Field not found");
    }
    EXPECT_EQ(map.size(), 742u) << "lookups never insert";
    EXPECT_EQ(map["ro/ro_ctrl"].get_value(), 0u);

    Register::Field field = map["roi/td_roi_x00"]["effective"];
    field.add_alias("enable", 1);
    EXPECT_EQ(field.get_aliases().size(), 2u);
    EXPECT_EQ(field.get_aliases().at("enable"), 1u);
    Register::Field narrow("f", 0, 2, 0, {});
    narrow.set_start(4);
    EXPECT_EQ(narrow.get_mask(), 0x30u);
    narrow.set_len(3);
    EXPECT_EQ(narrow.get_mask(), 0x70u);

    std::string name = "taken";
    Register::Field taken(std::move(name), 1, 1, 0, {});
    EXPECT_EQ(taken.get_name(), "taken");

    RegisterMap copy = map;
    RegisterMap moved = std::move(map);
    EXPECT_EQ(map.size(), 0u) << "a move leaves the source empty";
    EXPECT_EQ(moved.size(), 742u);
    EXPECT_EQ(copy["ro/time_base_ctrl"]["Reserved_10_4"].get_default_value(), 0x64u);
}

class RegisterControllerTest : public ::testing::Test {
  protected:
    test::PluggedDevice plugged{sim::Product::EVK4, test::uniqueSerial("REG")};
    RegisterController controller{plugged.interface(), imx636RegisterTable,
                                  kImx636RegisterTableRows, "PSEE/IMX636/"};
};

TEST_F(RegisterControllerTest, FieldWritesAreReadModifyWriteByNameWithOrWithoutPrefix) {
    auto& device = plugged.device();
    device.clearTraffic();
    const uint32_t before = device.peekRegister(0x9008);
    controller.writeRegisterField("PSEE/IMX636/ro/time_base_ctrl", "external_mode", 1);
    controller.writeRegisterField("ro/time_base_ctrl", "Reserved_10_4", 0x11);
    auto traffic = device.traffic();
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[0].kind, RegisterAccess::Read);
    EXPECT_EQ(traffic[1].kind, RegisterAccess::Write);
    EXPECT_EQ(traffic[1].address, 0x9008u);
    EXPECT_EQ(traffic[1].value, before | 0x4);
    EXPECT_EQ(device.peekRegister(0x9008), ((before | 0x4) & ~0x7F0u) | (0x11u << 4));
    EXPECT_EQ(controller.readRegisterField("ro/time_base_ctrl", "Reserved_10_4"), 0x11u);

    device.clearTraffic();
    EXPECT_THROW(controller.writeRegisterField("ro/time_base_ctrl", "Reserved_10_4", 0x80),
                 std::invalid_argument);
    EXPECT_THROW(controller.writeRegisterField("no/such", "x", 0), std::runtime_error);
    EXPECT_THROW(controller.writeRegisterField("lifo_ctrl", "nope", 0), std::runtime_error);
    EXPECT_TRUE(device.traffic().empty()) << "refused writes reach no device";
}

TEST_F(RegisterControllerTest, SequencesRunInOrderWithMaskedWritesAndDelays) {
    auto& device = plugged.device();
    device.writeRegister(0x0004, 0xF0005042);
    device.clearTraffic();
    controller.ApplyRegisterOperationSequence({
        {OP_WRITE, 0x002C, 0x22C724, 0, 0},
        {OP_DELAY, 0, 0, 0, 1500},
        {OP_MASKED_WRITE, 0x0004, 0xFFFFFFFF, 0x400, 0},
    });
    auto traffic = device.traffic();
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[0].kind, RegisterAccess::Write);
    EXPECT_EQ(traffic[1].kind, RegisterAccess::Delay);
    EXPECT_EQ(traffic[1].delayUs, 1500u);
    EXPECT_EQ(traffic[2].kind, RegisterAccess::Read);
    EXPECT_EQ(traffic[3].value, 0xF0005442u) << "only the masked bit changes";
    EXPECT_THROW(controller.ApplyRegisterOperationSequence({{7, 0, 0, 0, 0}}),
                 std::invalid_argument);
}

TEST(RegisterControllerFrameSensor, WritesRegistersWithControlFrames) {
    test::PluggedDevice plugged(sim::Product::Tandro, test::uniqueSerial("APS"));
    RegisterController aps(plugged.interface(), imx415RegisterTable, kImx415RegisterTableRows, " ");
    plugged.device().clearTraffic();
    EXPECT_EQ(aps.writeRegisterWithControlTransfer("aps_ctrl", 1), 0u);
    EXPECT_EQ(aps.writeRegisterWithControlTransfer(" aps_exposure", 0), 0u);
    auto traffic = plugged.device().traffic();
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[0].kind, RegisterAccess::ControlFrame);
    EXPECT_EQ(traffic[0].address, RegisterController::kWriteRegisterProperty);
    EXPECT_EQ(plugged.device().peekRegister(0x5000), 1u);
    EXPECT_EQ(plugged.device().peekRegister(0x5001), 0u);
}

}  // namespace
}  // namespace orvane
