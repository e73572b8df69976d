#include "orvane/hal/Imx636ROI.h"

#include <cstdio>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "hal/tools/Imx636ROI";
constexpr int kColumnRegisters = 40, kRowRegisters = 23;

// One bit per column (or row) from `first`, set where the pixel lies outside
// [begin, end): the mask registers mark what is outside the window.
uint32_t outside(int first, int bits, int begin, int end) {
    uint32_t mask = 0;
    for (int b = 0; b < bits; ++b) {
        const int at = first + b;
        if (at < begin || at >= end) {
            mask |= 1u << b;
        }
    }
    return mask;
}
}  // namespace

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBool("enable", false, "apply the window");
    addEnum("mode", {"roi", "roni"}, "roi",
            "keep the events inside the window (roi) or drop them (roni)");
    addInt("x", 0, kWidth - 1, 0, "left column of the window");
    addInt("y", 0, kHeight - 1, 0, "top row of the window");
    addInt("x_width", 1, kWidth, kWidth, "width of the window, columns");
    addInt("y_height", 1, kHeight, kHeight, "height of the window, rows");

    onBool(
        "enable",
        [this](const bool& on) {
            return writeField("roi_ctrl", "roi_td_en", on ? 1 : 0) &&
                   writeField("roi_ctrl", "roi_td_shadow_trigger", 1);
        },
        [this](bool& on) {
            uint32_t raw = 0;
            bool ok = readField("roi_ctrl", "roi_td_en", raw);
            on = raw != 0;
            return ok;
        });
    onEnum("mode", [this](const std::string& mode) {
        return writeField("roi_ctrl", "td_roi_roni_n_en", mode == "roi" ? 1 : 0) &&
               writeField("roi_ctrl", "roi_td_shadow_trigger", 1);
    });
    onInt("x", [this](const int& x) {
        return writeWindow(x, current<int>("y"), current<int>("x_width"), current<int>("y_height"));
    });
    onInt("y", [this](const int& y) {
        return writeWindow(current<int>("x"), y, current<int>("x_width"), current<int>("y_height"));
    });
    onInt("x_width", [this](const int& w) {
        return writeWindow(current<int>("x"), current<int>("y"), w, current<int>("y_height"));
    });
    onInt("y_height", [this](const int& h) {
        return writeWindow(current<int>("x"), current<int>("y"), current<int>("x_width"), h);
    });
}

Imx636ROI::~Imx636ROI() = default;

bool Imx636ROI::writeWindow(int x, int y, int width, int height) {
    if (x + width > kWidth || y + height > kHeight) {
        ORVANE_LOG(
            LOG_WARNING,
            "%s: window %d,%d %dx%d refused, it leaves the %dx%d sensor (set the size first)",
            getToolInfo().description.c_str(), x, y, width, height, kWidth, kHeight);
        return false;
    }
    char name[32];
    for (int i = 0; i < kColumnRegisters; ++i) {
        std::snprintf(name, sizeof name, "roi/td_roi_x%02d", i);
        if (!writeField(name, "effective", outside(32 * i, 32, x, x + width))) {
            return false;
        }
    }
    for (int i = 0; i < kRowRegisters; ++i) {
        std::snprintf(name, sizeof name, "roi/td_roi_y%02d", i);
        const int bits = i == kRowRegisters - 1 ? kHeight - 32 * i : 32;
        if (!writeField(name, "effective", outside(32 * i, bits, y, y + height))) {
            return false;
        }
    }
    return writeField("roi_ctrl", "roi_td_shadow_trigger", 1);
}

const ToolInfo Imx636ROI::getToolInfo() {
    return ToolInfo{TOOL_ROI,
                    {"enable", "mode", "x", "y", "x_width", "y_height"},
                    "ROI of DVS cameras with IMX636 sensor"};
}

}  // namespace orvane
