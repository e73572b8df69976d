#pragma once

#include <cstdint>

namespace orvane {

// Key of a camera's tool table and first field of every ToolInfo.
enum ToolType : int32_t {
    TOOL_BIASES = 0,
    TOOL_TRIGGER_IN = 1,
    TOOL_SYNC = 2,
    TOOL_ANTI_FLICKER = 3,
    TOOL_EVENT_TRAIL_FILTER = 4,
    TOOL_EVENT_RATE_CONTROL = 5,
    TOOL_ROI = 6,
    TOOL_APS_CTRL = 7,
};

// Selects a stream of a fusion camera.
enum STREAM_TYPE : int32_t {
    STREAM_DVS = 0,
    STREAM_APS = 1,
    STREAM_BOTH = 2,
};

// Camera family for discovery; any other value finds nothing.
enum CAMERA_TYPE : int32_t {
    CAMERA_EVK4 = 0,
    CAMERA_BRISCA = 1,
    CAMERA_TANDRO = 2,
};

enum INTERFACE_TYPE : int32_t {
    INTERFACE_USB = 0,
};

static_assert(sizeof(ToolType) == 4 && sizeof(STREAM_TYPE) == 4 && sizeof(CAMERA_TYPE) == 4 &&
                  sizeof(INTERFACE_TYPE) == 4,
              "enumerations are stored as 32-bit integers");

}  // namespace orvane
