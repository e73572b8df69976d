#pragma once

#include <cstdint>

namespace orvane {

// One picture of the frame sensor as packed BGR, 3 bytes per pixel, rows top to
// bottom. `data` belongs to the producer (camera or reader) and stays valid only
// until the producer's next frame.
struct ApsFrame {
    uint8_t* data = nullptr;
    uint32_t dataSize = 0;        // width * height * 3
    uint64_t startTimestamp = 0;  // exposure start (trigger edge with level 0); 0 from files
    uint64_t timestamp = 0;       // frame time; the value stored with recorded frames
};

}  // namespace orvane
