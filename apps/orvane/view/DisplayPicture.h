#pragma once

// Frame-sensor pictures for the page: a packed BGR picture scaled down to fit
// the display (a 4K picture is 25 MB; the page shows at most about 1000 pixels
// across) and sent as a JPEG. FFmpeg scales and encodes.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/FFmpegHandles.h"

namespace orvane::cli {

class DisplayPicture {
  public:
    // Pictures of `width` x `height` shown within `maxWidth` x `maxHeight`,
    // never enlarged. Throws Failure when FFmpeg cannot set this up.
    DisplayPicture(int width, int height, int maxWidth, int maxHeight);

    int width() const { return width_; }
    int height() const { return height_; }
    // A picture of the display size for scale() to fill.
    av::FramePtr newPicture() const;
    // Scales a packed BGR picture of the source size into `into`; a thread of
    // its own may do this while another calls message().
    void scale(const uint8_t* bgr, AVFrame& into);
    // The viewer's message of a scaled picture shown at `timeUs` (the format
    // is ViewPicture's); empty when the encoder fails.
    std::string message(const AVFrame& picture, uint64_t timeUs);

  private:
    int sourceWidth_, width_, height_;
    std::vector<uint32_t> columns_, rows_;  // the source pixel of each shown one
    av::ScalerPtr converter_;
    av::FramePtr yuv_;
    av::CodecContextPtr encoder_;
    av::PacketPtr packet_;
};

}  // namespace orvane::cli
