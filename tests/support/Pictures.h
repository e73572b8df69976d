#pragma once

// Pictures of known colours for the video tests and benchmarks.

#include <array>
#include <cstdint>
#include <vector>

namespace orvane::test {

struct Bgr {
    uint8_t b = 0, g = 0, r = 0;
};

// A colour as studio-range BT.601 YUV (what FFmpeg assumes for NV12) and the
// BGR it converts to.
struct Colour {
    uint8_t y, u, v;
    Bgr bgr;
};
extern const Colour kBlack, kWhite, kRed, kGreen, kBlue;
// Grey of luma y: BGR (y - 16) * 255 / 219.
Colour grey(uint8_t y);

// A picture in four quadrants: top left, top right, bottom left, bottom right.
// Width and height even.
using Quadrants = std::array<Colour, 4>;
// NV12: luma rows of `width` bytes, then interleaved chroma rows of `width` bytes.
std::vector<uint8_t> nv12Picture(int width, int height, const Quadrants& quadrants);
// Packed BGR: rows of 3 * `width` bytes.
std::vector<uint8_t> bgrPicture(int width, int height, const Quadrants& quadrants);

// Picture `index` of a moving scene, as a camera might see it: soft bands
// under a fine texture, panning 4 pixels a picture.
std::vector<uint8_t> nv12Scene(int width, int height, int index);
// Picture `index` of an event export: grey 0x70 with `fraction` of the pixels
// in the ON or OFF colour, at places that change with every picture.
std::vector<uint8_t> bgrEventPicture(int width, int height, int index, double fraction);

// FFmpeg logs warnings and errors only (libx264 prints statistics otherwise).
void quietFFmpegLog();

// The pixel (x, y) of a packed BGR picture.
Bgr pixelAt(const uint8_t* bgr, int width, int x, int y);
// Largest difference of a channel between two colours.
int distance(Bgr a, Bgr b);
// Largest distance between a packed BGR picture and the quadrants it shows,
// skipping `margin` pixels on each side of the quadrant borders (where a lossy
// codec smears).
int largestDistance(const uint8_t* bgr, int width, int height, const Quadrants& quadrants,
                    int margin = 0);

}  // namespace orvane::test
