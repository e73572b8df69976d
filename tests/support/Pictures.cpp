#include "Pictures.h"

#include <algorithm>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace orvane::test {

const Colour kBlack{16, 128, 128, {0, 0, 0}};
const Colour kWhite{235, 128, 128, {255, 255, 255}};
const Colour kRed{81, 90, 240, {0, 0, 255}};
const Colour kGreen{145, 54, 34, {0, 255, 0}};
const Colour kBlue{41, 240, 110, {255, 0, 0}};

Colour grey(uint8_t y) {
    const auto level = static_cast<uint8_t>(std::clamp((y - 16) * 255 / 219, 0, 255));
    return {y, 128, 128, {level, level, level}};
}

namespace {

const Colour& quadrantAt(const Quadrants& quadrants, int width, int height, int x, int y) {
    return quadrants[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
}

}  // namespace

std::vector<uint8_t> nv12Picture(int width, int height, const Quadrants& quadrants) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2);
    uint8_t* chroma = picture.data() + static_cast<size_t>(width) * height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Colour& c = quadrantAt(quadrants, width, height, x, y);
            picture[static_cast<size_t>(y) * width + x] = c.y;
            if (y % 2 == 0 && x % 2 == 0) {
                uint8_t* pair = chroma + static_cast<size_t>(y / 2) * width + x;
                pair[0] = c.u;
                pair[1] = c.v;
            }
        }
    }
    return picture;
}

std::vector<uint8_t> bgrPicture(int width, int height, const Quadrants& quadrants) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Bgr& c = quadrantAt(quadrants, width, height, x, y).bgr;
            uint8_t* pixel = picture.data() + (static_cast<size_t>(y) * width + x) * 3;
            pixel[0] = c.b;
            pixel[1] = c.g;
            pixel[2] = c.r;
        }
    }
    return picture;
}

namespace {

uint32_t mix(uint32_t a, uint32_t b) {
    uint32_t h = a * 73856093u ^ b * 19349663u;
    h ^= h >> 13;
    return h * 0x5bd1e995u;
}

// Soft bands, 128 pixels wide, under a fine texture of +-4 levels; the whole
// view pans 4 pixels a picture.
uint8_t sceneLevel(int x, int y, int index) {
    const int u = x + 4 * index;
    const int phase = (u + y / 2) % 256;
    const int band = 60 + (phase < 128 ? phase : 255 - phase);
    return static_cast<uint8_t>(band + int(mix(uint32_t(u), uint32_t(y)) % 9) - 4);
}

}  // namespace

std::vector<uint8_t> nv12Scene(int width, int height, int index) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            picture[static_cast<size_t>(y) * width + x] = sceneLevel(x, y, index);
        }
    }
    uint8_t* chroma = picture.data() + static_cast<size_t>(width) * height;
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width; x += 2) {
            chroma[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(112 + x * 32 / width);
            chroma[static_cast<size_t>(y) * width + x + 1] =
                static_cast<uint8_t>(112 + y * 64 / height);
        }
    }
    return picture;
}

std::vector<uint8_t> bgrEventPicture(int width, int height, int index, double fraction) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3, 0x70);
    const Bgr on{0xB4, 0xBC, 0xBF}, off{0x33, 0x3D, 0x40};
    const auto events = static_cast<size_t>(double(width) * height * fraction);
    for (size_t i = 0; i < events; ++i) {
        const uint32_t h = mix(uint32_t(i), uint32_t(index) + 1);
        const int x = int(h % uint32_t(width));
        const int y = int((h / uint32_t(width)) % uint32_t(height));
        const Bgr& c = h & 0x80000000u ? on : off;
        uint8_t* pixel = picture.data() + (static_cast<size_t>(y) * width + x) * 3;
        pixel[0] = c.b;
        pixel[1] = c.g;
        pixel[2] = c.r;
    }
    return picture;
}

void quietFFmpegLog() {
    av_log_set_level(AV_LOG_WARNING);
}

Bgr pixelAt(const uint8_t* bgr, int width, int x, int y) {
    const uint8_t* pixel = bgr + (static_cast<size_t>(y) * width + x) * 3;
    return {pixel[0], pixel[1], pixel[2]};
}

int distance(Bgr a, Bgr b) {
    return std::max({std::abs(a.b - b.b), std::abs(a.g - b.g), std::abs(a.r - b.r)});
}

int largestDistance(const uint8_t* bgr, int width, int height, const Quadrants& quadrants,
                    int margin) {
    int largest = 0;
    for (int y = 0; y < height; ++y) {
        if (std::abs(y - height / 2) < margin) {
            continue;
        }
        for (int x = 0; x < width; ++x) {
            if (std::abs(x - width / 2) < margin) {
                continue;
            }
            const Bgr expected = quadrantAt(quadrants, width, height, x, y).bgr;
            largest = std::max(largest, distance(pixelAt(bgr, width, x, y), expected));
        }
    }
    return largest;
}

}  // namespace orvane::test
