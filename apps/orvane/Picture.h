#pragma once

// Pictures of events (grey, ON and OFF in the colours of the library's video
// export) and PNG files of packed BGR pictures.

#include <cstdint>
#include <string>
#include <vector>

#include "orvane/Event2D.h"

namespace orvane::cli {

class EventPicture {
  public:
    EventPicture(uint16_t width, uint16_t height);

    // Back to the grey background.
    void clear();
    // Each pixel shows the last event drawn on it; events outside are skipped.
    void draw(const Event2D* begin, const Event2D* end);

    const std::vector<uint8_t>& bgr() const { return bgr_; }
    uint16_t width() const { return width_; }
    uint16_t height() const { return height_; }

  private:
    uint16_t width_, height_;
    std::vector<uint8_t> bgr_;
};

// Writes a packed BGR picture (rows of 3 x width bytes) as an RGB PNG. Throws
// Failure naming the path.
void writePng(const std::string& path, const uint8_t* bgr, int width, int height);

}  // namespace orvane::cli
