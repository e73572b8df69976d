#pragma once

// What `orvane view` shows: a live camera, a recording or a video. The server
// calls a source from its one thread only.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../Output.h"

namespace orvane::cli {

// A picture for the page, as the binary WebSocket message that carries it.
//
// Event pictures (little-endian): 'E', version 1, u16 width, u16 height,
// u8 encoding (0: two bits a pixel as LiveEventImage packs them, 1: the same
// deflated with zlib), u8 0, u64 window end (us), u64 window (us), u32 pixels
// with an ON event, u32 pixels with an OFF event, u64 events in the window,
// then the picture. Fusion images (the events counted over one frame-sensor
// picture): 'F', then as an event picture whose window ends at the picture's
// time. Frame-sensor and video pictures: 'J', version 1, u16 width, u16
// height, u16 0, u64 time (us), then a JPEG.
struct ViewPicture {
    std::string message;
};

template <typename T>
void appendLittleEndian(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // little-endian hosts only, as x86 and ARM are
    out.append(bytes, sizeof(T));
}

class ViewSource {
  public:
    virtual ~ViewSource() = default;
    // Sent to every page that connects: {"kind", "name", "width", "height", ...}.
    virtual Json describe() = 0;
    // The picture to show now, if there is a new one; `windowUs` is the time
    // the page accumulates events over.
    virtual std::optional<ViewPicture> picture(uint64_t windowUs) = 0;
    // Frame-sensor pictures and fusion images that are new since the last call.
    virtual std::vector<ViewPicture> framePictures() { return {}; }
    // A few times a second: rates, drops, playback position, recording.
    virtual Json status() = 0;
    // A request from a page ({"op": ...}); the answer goes back to that page.
    // Throws UsageError for a request that is malformed or out of range.
    virtual Json control(const Json& request) = 0;
    // Ctrl-C: recordings are finished, the camera is stopped.
    virtual void finish() = 0;
    // A page connected.
    virtual void viewerJoined() {}
};

}  // namespace orvane::cli
