#include "orvane/RegisterSequences.h"

namespace orvane {

namespace {

constexpr RegisterOperation write(uint32_t address, uint32_t value) {
    return {OP_WRITE, address, value, 0, 0};
}
constexpr RegisterOperation maskedWrite(uint32_t address, uint32_t value, uint32_t mask) {
    return {OP_MASKED_WRITE, address, value, mask, 0};
}
constexpr RegisterOperation delay(uint32_t microseconds) {
    return {OP_DELAY, 0, 0, 0, microseconds};
}

}  // namespace

// Output off: pixels held in reset, readout and time base stopped, link idle.
const std::vector<RegisterOperation> imx636StopSequence = {
    maskedWrite(0x0004, 0xF0005042, 0x400),  // roi_ctrl
    write(0x002C, 0x22C324),
    write(0x9028, 0x2),  // ro/ro_ctrl
    delay(1000),
    maskedWrite(0x9008, 0x644, 0x1),  // ro/time_base_ctrl
    write(0xB000, 0x2F8),             // mipi_csi/mipi_control
    delay(300),
};

// Clocks, supplies and the link, before the sensor leaves reset.
const std::vector<RegisterOperation> imx636PreInitSequence = {
    write(0x0070, 0x400008),
    write(0x006C, 0xEE47114),
    delay(500),
    write(0xA00C, 0x20400),
    delay(500),
    write(0xA010, 0x8068),
    delay(200),
    write(0x1104, 0x0),
    delay(200),
    write(0xA020, 0x50),
    delay(200),
    write(0xA004, 0xB0500),
    delay(200),
    write(0xA008, 0x2404),
    delay(200),
    write(0xA000, 0xB0500),
    write(0xB044, 0x0),
    write(0xB004, 0xA),
    write(0xB040, 0xE),
    write(0xB0C8, 0x0),
    write(0xB040, 0x6),
    write(0xB040, 0x4),
    write(0x0000, 0x4F006442),
    write(0x0000, 0xF006442),
    write(0x00B8, 0x401),
    write(0x00B8, 0x400),
    write(0xB07C, 0x0),
};

// Reset release and the configuration of link, readout and biases; the output
// stays off until the start sequence.
const std::vector<RegisterOperation> imx636InitSequence = {
    write(0x001C, 0x1),
    delay(1000000),
    write(0x400004, 0x1),
    delay(500000),
    write(0x400004, 0x0),
    delay(1000000),
    write(0xB000, 0x158),  // mipi_csi/mipi_control
    delay(300),
    write(0xB044, 0x0),
    write(0xB004, 0xA),
    write(0xB040, 0x0),
    write(0xB0C8, 0x0),
    write(0xB040, 0x0),
    write(0xB040, 0x0),
    write(0x0000, 0x4F006442),
    write(0x0000, 0xF006442),
    write(0x00B8, 0x400),
    write(0x00B8, 0x400),
    write(0xB07C, 0x0),
    write(0xB074, 0x2),
    write(0xB078, 0xA0),
    write(0x00C0, 0x110),
    write(0x00C0, 0x210),
    write(0xB120, 0x1),
    write(0xE120, 0x0),
    write(0xB068, 0x4),
    write(0xB07C, 0x1),
    delay(10),
    write(0xB07C, 0x3),
    delay(1000),
    write(0x00B8, 0x401),
    write(0x00B8, 0x409),
    write(0x0000, 0x4F006442),
    write(0x0000, 0x4F00644A),
    write(0xB080, 0x77),
    write(0xB084, 0xF),
    write(0xB088, 0x37),
    write(0xB08C, 0x37),
    write(0xB090, 0xDF),
    write(0xB094, 0x57),
    write(0xB098, 0x37),
    write(0xB09C, 0x67),
    write(0xB0A0, 0x37),
    write(0xB0A4, 0x2F),
    write(0xB0AC, 0x28),
    write(0xB0CC, 0x1),
    write(0xB000, 0x2F8),  // mipi_csi/mipi_control
    write(0xB004, 0x8A),
    write(0xB01C, 0x30),
    write(0xB020, 0x2000),  // mipi_csi/mipi_packet_size
    write(0xB02C, 0xFF),    // mipi_csi/mipi_line_blanking
    write(0xB030, 0x3E80),  // mipi_csi/mipi_frame_blanking
    write(0xB028, 0xFA0),   // mipi_csi/mipi_frame_period
    write(0xA000, 0xB0501),
    delay(200),
    write(0xA008, 0x2405),
    delay(200),
    write(0xA004, 0xB0501),
    delay(200),
    write(0xA020, 0x150),
    delay(200),
    write(0xB040, 0x7),
    write(0xB064, 0x6),
    write(0xB040, 0xF),
    delay(100),
    write(0xB004, 0x8A),
    delay(200),
    write(0xB0C8, 0x3),
    delay(200),
    write(0xB044, 0x1),
    write(0xB000, 0x2F9),  // mipi_csi/mipi_control
    write(0x7008, 0x1),
    write(0x7000, 0x70001),     // edf/pipeline_control
    write(0x8000, 0x1E085),     // eoi/Reserved_8000
    write(0x9008, 0x644),       // ro/time_base_ctrl
    write(0x0004, 0xF0005042),  // roi_ctrl
    write(0x0018, 0x200),       // spare0
    write(0x1014, 0x11A1504D),  // bias/bias_diff
    write(0x9004, 0x0),         // ro/ro_fsm_ctrl
    delay(1000),
    write(0x9000, 0x200),  // ro/readout_ctrl
};

// Output on: link, readout, time base, pixels.
const std::vector<RegisterOperation> imx636StartSequence = {
    write(0xB000, 0x2F9),             // mipi_csi/mipi_control
    write(0x9028, 0x0),               // ro/ro_ctrl
    maskedWrite(0x9008, 0x645, 0x1),  // ro/time_base_ctrl
    write(0x002C, 0x22C724),
    maskedWrite(0x0004, 0xF0005442, 0x400),  // roi_ctrl
};

}  // namespace orvane
