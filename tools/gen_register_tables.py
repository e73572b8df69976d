#!/usr/bin/env python3
"""Generates hal/registers/Imx636RegisterTable.inc, the rows of the IMX636
register table, from the description below.

The register rows (names, addresses, order) are the sensor's map. Fields are
given where the library or its tools use them; the other registers get fields
that describe their layout plausibly. Counts are checked: 742 registers, 2011
fields and 126 aliases, 2879 rows.

Run: python3 tools/gen_register_tables.py  (rewrites the .inc; commit it)
"""
import os
import sys

# (name, address, [(field, start, len, default), ...])
R = []


def reg(name, address, *fields):
    R.append((name, address, list(fields)))


def f(name, start, length, default=0):
    assert 0 <= start < 32 and 1 <= length <= 32 and start + length <= 32, name
    assert default < (1 << length), name
    return (name, start, length, default)


def bias(name, address, idac, reserved):
    reg(name, address, f("idac_ctl", 0, 8, idac), f("Reserved_27_8", 8, 20, reserved),
        f("single_transfer", 28, 1, 0))


def lut4(prefix):
    return [f("%s%d" % (prefix, i), 8 * i, 5, 0) for i in range(4)]


def counter(name, address, field):
    reg(name, address, f(field, 0, 32, 0))


def shadow_block(block, base):
    reg(block + "/shadow_ctrl", base + 0xD4, f("timer_en", 0, 1), f("irq_sw_override", 1, 1),
        f("reset_on_copy", 2, 1, 1))
    reg(block + "/shadow_timer_threshold", base + 0xD8, f("timer_threshold", 0, 32, 1000))
    reg(block + "/shadow_status", base + 0xDC, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1))


def init_blocks(block, base, wait, timeout):
    reg(block + "/invalidation", base + 0xC0, f("dt_fifo_wait_time", 0, 12, wait),
        f("dt_fifo_timeout", 12, 12, timeout), f("in_parallel", 24, 4, 5), f("flag_inv_busy", 28, 1))
    reg(block + "/initialization", base + 0xC4, f("req_init", 0, 1), f("flag_init_busy", 1, 1),
        f("flag_init_done", 2, 1))


# --- no block prefix -------------------------------------------------------------
reg("roi_ctrl", 0x0004, f("roi_td_en", 1, 1), f("roi_td_shadow_trigger", 5, 1),
    f("td_roi_roni_n_en", 6, 1, 1), f("Reserved_8", 8, 1), f("px_td_rstn", 10, 1),
    f("Reserved_17_11", 11, 7, 0xA), f("Reserved_25", 25, 1), f("Reserved_29_28", 28, 2, 3),
    f("Reserved_31_30", 30, 2, 3))
reg("lifo_ctrl", 0x000C, f("lifo_en", 0, 1), f("lifo_out_en", 1, 1), f("lifo_cnt_en", 2, 1),
    f("Reserved_31_3", 3, 29))
reg("lifo_status", 0x0010, f("lifo_ton", 0, 29), f("lifo_ton_valid", 29, 1),
    f("Reserved_31_30", 30, 2))
reg("Reserved_0014", 0x0014, f("Reserved_31_0", 0, 32, 0xA0401806))
reg("spare0", 0x0018, f("Reserved_19_0", 0, 20), f("gcd_rstn", 20, 1), f("Reserved_31_21", 21, 11))
reg("refractory_ctrl", 0x0020, f("refr_counter", 0, 28), f("refr_valid", 28, 1),
    f("Reserved_29", 29, 1), f("refr_cnt_en", 30, 1), f("refr_en", 31, 1))
reg("roi_win_ctrl", 0x0034, f("roi_master_en", 0, 1), f("roi_win_done", 1, 1),
    f("Reserved_31_2", 2, 30))
reg("roi_win_start_addr", 0x0038, f("roi_win_start_x", 0, 11), f("roi_win_start_y", 16, 10))
reg("roi_win_end_addr", 0x003C, f("roi_win_end_x", 0, 11, 1279), f("roi_win_end_y", 16, 10, 719))
reg("dig_pad2_ctrl", 0x0044, f("Reserved_15_0", 0, 16, 0xFCCF), f("pad_sync", 16, 4, 0xF),
    f("Reserved_31_20", 20, 12, 0xCCF))
reg("adc_control", 0x004C, f("adc_en", 0, 1), f("adc_clk_en", 1, 1), f("adc_start", 2, 1),
    f("Reserved_31_3", 3, 29, 0xEC8))
reg("adc_status", 0x0050, f("adc_dac_dyn", 0, 10), f("adc_done_dyn", 10, 1),
    f("Reserved_31_11", 11, 21))
reg("adc_misc_ctrl", 0x0054, f("Reserved_0", 0, 1), f("adc_buf_cal_en", 1, 1),
    f("Reserved_9_2", 2, 8, 0x84), f("adc_rng", 10, 2), f("adc_temp", 12, 1),
    f("Reserved_14_13", 13, 2))
reg("temp_ctrl", 0x005C, f("temp_buf_cal_en", 0, 1), f("temp_buf_en", 1, 1),
    f("Reserved_31_2", 2, 30, 0x20))
reg("iph_mirr_ctrl", 0x0074, f("iph_mirr_en", 0, 1), f("iph_mirr_amp_en", 1, 1, 1),
    f("Reserved_31_2", 2, 30))
reg("gcd_ctrl1", 0x0078, f("gcd_en", 0, 1), f("gcd_diffamp_en", 1, 1), f("gcd_lpf_en", 2, 1),
    f("Reserved_31_3", 3, 29, 0x8003BE9))
reg("reqy_qmon_ctrl", 0x0088, f("reqy_qmon_en", 0, 1), f("reqy_qmon_rstn", 1, 1),
    f("Reserved_3_2", 2, 2), f("reqy_qmon_interrupt_en", 4, 1), f("reqy_qmon_trip_ctl", 10, 10),
    f("Reserved_31_20", 20, 12))
reg("reqy_qmon_status", 0x008C, f("Reserved_15_0", 0, 16), f("reqy_qmon_sum_irq", 16, 10),
    f("reqy_qmon_trip_irq", 26, 1), f("Reserved_31_27", 27, 5))
reg("gcd_shadow_ctrl", 0x0090, f("Reserved_0", 0, 1), f("gcd_irq_sw_override", 1, 1),
    f("gcd_reset_on_copy", 2, 1))
reg("gcd_shadow_status", 0x0094, f("gcd_shadow_valid", 0, 1), f("Reserved_31_1", 1, 31))
reg("gcd_shadow_counter", 0x0098, f("gcd_shadow_cnt_off", 0, 16), f("gcd_shadow_cnt_on", 16, 16))
reg("stop_sequence_control", 0x00C8, f("stop_sequence_enable", 0, 1, 1),
    f("Reserved_15_8", 8, 8, 1))

# --- bias -------------------------------------------------------------------------
bias("bias/bias_fo", 0x1004, 0, 0x3A1E8)
bias("bias/bias_hpf", 0x100C, 0, 0x3A1FF)
bias("bias/bias_diff_on", 0x1010, 0, 0x1A163)
bias("bias/bias_diff", 0x1014, 0x4D, 0x1A150)
bias("bias/bias_diff_off", 0x1018, 0, 0x1A137)
bias("bias/bias_refr", 0x1020, 0x14, 0x38296)
reg("bias/bgen_ctrl", 0x1100, f("burst_transfer_trigger", 0, 1),
    f("burst_transfer_bank_select", 1, 1), f("Reserved_31_2", 2, 30))

# --- roi: one mask bit per column (x) or row (y); 0 = inside the window -----------
ROI = []
for i in range(40):
    ROI.append(("roi/td_roi_x%02d" % i, 0x2000 + 4 * i, 32))
for i in range(23):
    ROI.append(("roi/td_roi_y%02d" % i, 0x4000 + 4 * i, 16 if i == 22 else 32))
for name, address, width in ROI:
    reg(name, address, f("effective", 0, width, 0))

# --- erc --------------------------------------------------------------------------
reg("erc/Reserved_6000", 0x6000, f("Reserved_1_0", 0, 2), f("Reserved_31_2", 2, 30))
reg("erc/in_drop_rate_control", 0x6004, f("cfg_event_delay_fifo_en", 0, 1), f("Reserved_1", 1, 1),
    f("Reserved_10_2", 2, 9))
reg("erc/reference_period", 0x6008, f("erc_reference_period", 0, 10, 200))
reg("erc/td_target_event_rate", 0x600C, f("target_event_rate", 0, 22, 4000))
reg("erc/erc_enable", 0x6028, f("erc_en", 0, 1), f("Reserved_1", 1, 1, 1), f("Reserved_31_2", 2, 30))
reg("erc/Reserved_602C", 0x602C, f("Reserved_0", 0, 1), f("Reserved_31_1", 1, 31))
reg("erc/t_dropping_control", 0x6050, f("t_dropping_en", 0, 1), f("t_dropping_lut_en", 1, 1))
reg("erc/h_dropping_control", 0x6060, f("h_dropping_en", 0, 1), f("h_dropping_lut_en", 1, 1))
reg("erc/v_dropping_control", 0x6070, f("v_dropping_en", 0, 1), f("v_dropping_lut_en", 1, 1))
for i in range(8):
    reg("erc/h_drop_lut_%02d" % i, 0x6080 + 4 * i, *lut4("hlut"))
for i in range(8):
    reg("erc/v_drop_lut_%02d" % i, 0x60C0 + 4 * i, *lut4("vlut"))
for i in range(256):
    reg("erc/t_drop_lut_%02d" % i, 0x6400 + 4 * i, *lut4("tlut"))
FILLER_FIRST = len(R)
for address in range(0x6800, 0x6B98, 4):
    reg("erc/Reserved_%04X" % address, address, f("Reserved_31_0", 0, 32))
FILLER_END = len(R)

# --- edf, eoi ---------------------------------------------------------------------
reg("edf/pipeline_control", 0x7000, f("Reserved_0", 0, 1, 1), f("format", 1, 1), f("Reserved_2", 2, 1),
    f("Reserved_3", 3, 1), f("Reserved_4", 4, 1), f("Reserved_31_16", 16, 16, 0xFFFF))
reg("edf/trigger_in", 0x7004, f("ch0_enable", 0, 1), f("ch1_enable", 1, 1), f("Reserved_31_2", 2, 30))
reg("eoi/Reserved_8000", 0x8000, f("Reserved_7_6", 6, 2, 2))

# --- ro ---------------------------------------------------------------------------
reg("ro/readout_ctrl", 0x9000, f("Reserved_0", 0, 1), f("ro_td_self_test_en", 1, 1),
    f("Reserved_3", 3, 1, 1), f("Reserved_4", 4, 1), f("ro_inv_pol_td", 5, 1), f("Reserved_7_6", 6, 2),
    f("Reserved_31_8", 8, 24, 2))
reg("ro/ro_fsm_ctrl", 0x9004, f("readout_wait", 0, 16, 0x1E), f("Reserved_31_16", 16, 16))
reg("ro/time_base_ctrl", 0x9008, f("time_base_enable", 0, 1), f("time_base_mode", 1, 1),
    f("external_mode", 2, 1), f("external_mode_enable", 3, 1), f("Reserved_10_4", 4, 7, 0x64))
reg("ro/dig_ctrl", 0x900C, f("dig_crop_enable", 0, 1), f("dig_crop_reset_orig", 1, 1),
    f("Reserved_31_4", 4, 28))
reg("ro/dig_start_pos", 0x9010, f("dig_crop_start_x", 0, 11), f("dig_crop_start_y", 16, 10))
reg("ro/dig_end_pos", 0x9014, f("dig_crop_end_x", 0, 11), f("dig_crop_end_y", 16, 10))
reg("ro/ro_ctrl", 0x9028, f("area_cnt_en", 0, 1), f("output_disable", 1, 1), f("keep_th", 2, 1))
for i in range(5):
    reg("ro/area_x%d_addr" % i, 0x902C + 4 * i, f("x%d_addr" % i, 0, 11, 320 * i))
for i in range(5):
    reg("ro/area_y%d_addr" % i, 0x9040 + 4 * i, f("y%d_addr" % i, 0, 10, 180 * i))
reg("ro/counter_ctrl", 0x9054, f("count_en", 0, 1), f("use_timer", 1, 1), f("Reserved_31_2", 2, 30))
reg("ro/counter_timer_threshold", 0x9058, f("timer_threshold", 0, 32, 1000))
for i in range(64):
    reg("ro/digital_mask_pixel_%02d" % i, 0x9100 + 4 * i, f("x", 0, 11), f("y", 16, 10),
        f("valid", 31, 1))
for i in range(16):
    counter("ro/area_cnt%02d" % i, 0x9200 + 4 * i, "area_cnt_val")
counter("ro/evt_vector_cnt_val", 0x9244, "evt_vector_cnt_val")

# --- mipi_csi ---------------------------------------------------------------------
reg("mipi_csi/mipi_control", 0xB000, f("mipi_csi_enable", 0, 1), f("Reserved_1", 1, 1),
    f("Reserved_2", 2, 1), f("mipi_data_lane1", 3, 1, 1), f("mipi_data_lane2", 4, 1, 1),
    f("mipi_packet_timeout_enable", 5, 1), f("line_blanking_clk_disable", 6, 1, 1),
    f("Reserved_7", 7, 1), f("line_blanking_en", 8, 1, 1), f("frame_blanking_en", 9, 1),
    f("Reserved_31_10", 10, 22))
reg("mipi_csi/mipi_packet_size", 0xB020, f("mipi_packet_size", 0, 15, 0x2000))
reg("mipi_csi/mipi_packet_timeout", 0xB024, f("mipi_packet_timeout", 0, 16, 0x40))
reg("mipi_csi/mipi_frame_period", 0xB028, f("mipi_frame_period", 4, 12, 0x7D))
reg("mipi_csi/mipi_line_blanking", 0xB02C, f("mipi_line_blanking", 0, 8, 0xA))
reg("mipi_csi/mipi_frame_blanking", 0xB030, f("mipi_frame_blanking", 0, 16, 0))

# --- afk: anti-flicker; periods in units of 128 us ---------------------------------
reg("afk/pipeline_control", 0xC000, f("enable", 0, 1), f("bypass", 1, 1, 1), f("Reserved_2", 2, 1))
reg("afk/param", 0xC004, f("counter_low", 0, 3, 4), f("counter_high", 3, 3, 6), f("invert", 6, 1),
    f("drop_disable", 7, 1))
reg("afk/filter_period", 0xC008, f("min_cutoff_period", 0, 8, 15), f("max_cutoff_period", 8, 8, 156),
    f("inverted_duty_cycle", 16, 4, 8))
init_blocks("afk", 0xC000, 0x5A0, 0x5A)
shadow_block("afk", 0xC000)
counter("afk/total_evt_count", 0xC0E0, "total_evt_count")
counter("afk/flicker_evt_count", 0xC0E4, "flicker_evt_count")
counter("afk/vector_evt_count", 0xC0E8, "vector_evt_count")

# --- stc: event trail filter; thresholds in microseconds ---------------------------
reg("stc/pipeline_control", 0xD000, f("enable", 0, 1), f("bypass", 1, 1, 1), f("Reserved_2", 2, 1))
reg("stc/stc_param", 0xD004, f("enable", 0, 1), f("threshold", 1, 19, 10000))
reg("stc/trail_param", 0xD008, f("enable", 0, 1), f("threshold", 1, 19, 10000))
reg("stc/timestamping", 0xD00C, f("prescaler", 0, 5, 13), f("multiplier", 5, 4, 1),
    f("Reserved_9", 9, 1), f("enable_last_ts_update_at_every_event", 16, 1, 1))
init_blocks("stc", 0xD000, 4, 0x118)
shadow_block("stc", 0xD000)
counter("stc/total_evt_count", 0xD0E0, "total_evt_count")
counter("stc/stc_evt_count", 0xD0E4, "stc_evt_count")
counter("stc/trail_evt_count", 0xD0E8, "trail_evt_count")
counter("stc/output_vector_count", 0xD0EC, "output_vector_count")

# --- slvs -------------------------------------------------------------------------
reg("slvs/slvs_control", 0xE000, f("slvs_en", 0, 1), f("slvs_packet_timeout_enable", 5, 1),
    f("slvs_line_blanking_en", 8, 1, 1), f("slvs_frame_blanking_en", 9, 1))
reg("slvs/slvs_packet_size", 0xE020, f("slvs_packet_size", 0, 14, 0x1000))
reg("slvs/slvs_packet_timeout", 0xE024, f("slvs_packet_timeout", 0, 16, 0x40))
reg("slvs/slvs_line_blanking", 0xE02C, f("slvs_line_blanking", 0, 8, 0xA))
reg("slvs/slvs_frame_blanking", 0xE030, f("slvs_frame_blanking", 0, 16, 0))
reg("slvs/slvs_phy_logic_ctrl_00", 0xE150, f("oportsel", 0, 2), f("Reserved_31_2", 2, 30))

# The reserved ERC registers take up the difference to the sensor's 2011 fields:
# the first ones are described as two half words instead of one word.
FIELDS = 2011
missing = FIELDS - sum(len(fields) for _, _, fields in R)
assert 0 <= missing <= FILLER_END - FILLER_FIRST, missing
for i in range(FILLER_FIRST, FILLER_FIRST + missing):
    name, address, _ = R[i]
    R[i] = (name, address, [f("Reserved_15_0", 0, 16), f("Reserved_31_16", 16, 16)])

assert len(R) == 742, len(R)
assert sum(len(fields) for _, _, fields in R) == FIELDS
addresses = [address for _, address, _ in R]
assert addresses == sorted(set(addresses)), "register addresses must rise strictly"
assert len({name for name, _, _ in R}) == len(R), "register names must be unique"
assert R[0][1] == 0x0004 and R[-1][1] == 0xE150

rows = []
for name, address, fields in R:
    rows.append('{TYPE_REGISTER, "%s", 0x%04X, 0, 0},' % (name, address))
    for field, start, length, default in fields:
        rows.append('{TYPE_FIELD, "%s", %d, %d, 0x%X},' % (field, start, length, default))
        if name.startswith("roi/td_roi_") and field == "effective":
            rows.append('{TYPE_ALIAS, "enable", 0x0, 0, 0},')
            rows.append('{TYPE_ALIAS, "disable", 0x%X, 0, 0},' % ((1 << length) - 1))
assert len(rows) == 2879, len(rows)
assert sum(1 for r in rows if r.startswith("{TYPE_ALIAS")) == 126

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hal", "registers",
                   "Imx636RegisterTable.inc")
with open(out, "w") as stream:
    stream.write("// Generated by tools/gen_register_tables.py; edit that, not this.\n")
    stream.write("// clang-format off\n")
    stream.write("\n".join(rows) + "\n")
    stream.write("// clang-format on\n")
print("wrote %s: %d rows, %d registers, %d fields" % (out, len(rows), len(R), FIELDS))
