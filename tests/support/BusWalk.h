#pragma once

// Checks a simulated device's traffic log step by step against what a driver
// should have put on the bus.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvane/RegisterSequences.h"
#include "orvane/hal/Register.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/RegisterOperation.h"
#include "orvane/sim/DeviceConfig.h"

namespace orvane::test {

using sim::RegisterAccess;

// Walks a device's traffic log and checks it step by step.
class BusWalk {
  public:
    explicit BusWalk(std::vector<RegisterAccess> traffic) : traffic_(std::move(traffic)) {}

    void sequence(const std::vector<RegisterOperation>& steps, const char* name) {
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(std::string(name) + " step " + std::to_string(i + 1));
            const RegisterOperation& op = steps[i];
            if (op.type == OP_WRITE) {
                write(op.address, op.value);
            } else if (op.type == OP_MASKED_WRITE) {
                uint32_t read = this->read(op.address);
                write(op.address, (read & ~op.mask) | (op.value & op.mask));
            } else {
                delay(op.delay);
            }
        }
    }
    void field(const Register& reg, const std::string& name, uint32_t value) {
        SCOPED_TRACE(reg.get_name() + "." + name + " = " + std::to_string(value));
        const Register::Field& f = reg[name];
        uint32_t read = this->read(reg.get_address());
        write(reg.get_address(), (read & ~f.get_mask()) | (value << f.get_start()));
    }
    uint32_t read(uint32_t address) {
        const RegisterAccess& a = next();
        EXPECT_EQ(a.kind, RegisterAccess::Read);
        EXPECT_EQ(a.address, address);
        return a.value;
    }
    void write(uint32_t address, uint32_t value) {
        const RegisterAccess& a = next();
        EXPECT_EQ(a.kind, RegisterAccess::Write);
        EXPECT_EQ(a.address, address);
        EXPECT_EQ(a.value, value);
    }
    void delay(uint64_t us) {
        const RegisterAccess& a = next();
        EXPECT_EQ(a.kind, RegisterAccess::Delay);
        EXPECT_EQ(a.delayUs, us);
    }
    // An IMX636 driver's whole bring-up: its three sequences, then its field
    // writes and waits.
    void imx636BringUp(const RegisterController& registers) {
        sequence(imx636StopSequence, "stop");
        sequence(imx636PreInitSequence, "pre-init");
        sequence(imx636InitSequence, "init");
        field(registers.resolve("adc_control"), "adc_en", 1);
        field(registers.resolve("adc_control"), "adc_clk_en", 1);
        field(registers.resolve("adc_misc_ctrl"), "adc_buf_cal_en", 1);
        delay(100);
        field(registers.resolve("temp_ctrl"), "temp_buf_en", 1);
        field(registers.resolve("temp_ctrl"), "temp_buf_cal_en", 1);
        delay(100);
        field(registers.resolve("adc_control"), "adc_clk_en", 0);
        field(registers.resolve("iph_mirr_ctrl"), "iph_mirr_en", 1);
        delay(20);
        field(registers.resolve("iph_mirr_ctrl"), "iph_mirr_amp_en", 1);
        delay(20);
        delay(1000);
        field(registers.resolve("lifo_ctrl"), "lifo_en", 1);
        delay(1000);
        field(registers.resolve("lifo_ctrl"), "lifo_out_en", 1);
        delay(1000);
        field(registers.resolve("lifo_ctrl"), "lifo_cnt_en", 1);
        field(registers.resolve("ro/time_base_ctrl"), "time_base_mode", 0);
        field(registers.resolve("ro/time_base_ctrl"), "external_mode", 1);
        field(registers.resolve("ro/time_base_ctrl"), "external_mode_enable", 0);
        field(registers.resolve("ro/time_base_ctrl"), "Reserved_10_4", 100);
    }

    void end() { EXPECT_EQ(at_, traffic_.size()) << "unexpected traffic after the last step"; }

  private:
    const RegisterAccess& next() {
        static const RegisterAccess none{RegisterAccess::ControlFrame, 0xDEAD, 0, 0};
        if (at_ >= traffic_.size()) {
            ADD_FAILURE() << "traffic ends early";
            return none;
        }
        return traffic_[at_++];
    }
    std::vector<RegisterAccess> traffic_;
    size_t at_ = 0;
};

}  // namespace orvane::test
