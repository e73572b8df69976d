#pragma once

// Pictures as FFmpeg holds them: the geometry of a conversion, a caller's
// packed picture seen as planes, and allocation, copy and scaling.

#include "tools/FFmpegHandles.h"

namespace orvane::av {

// Sizes and formats of a conversion. Caller pictures are laid out by it with
// rows packed tightly (alignment 1), FFmpeg's pictures with their own strides.
struct Geometry {
    int srcWidth = 0, srcHeight = 0, srcFormat = AV_PIX_FMT_NONE;
    int dstWidth = 0, dstHeight = 0, dstFormat = AV_PIX_FMT_NONE;

    bool operator==(const Geometry& o) const {
        return srcWidth == o.srcWidth && srcHeight == o.srcHeight && srcFormat == o.srcFormat &&
               dstWidth == o.dstWidth && dstHeight == o.dstHeight && dstFormat == o.dstFormat;
    }
    bool operator!=(const Geometry& o) const { return !(*this == o); }
};

struct Planes {
    uint8_t* data[4] = {};
    int strides[4] = {};
};

// A caller's tightly packed picture seen as FFmpeg planes. False for a format or
// size FFmpeg cannot lay out.
bool packedPlanes(const uint8_t* picture, int format, int width, int height, Planes& planes);
// 0, or -1 (logged) when FFmpeg fails.
int scale(SwsContext* scaler, uint8_t* const src[], const int srcStrides[], int srcHeight,
          uint8_t* const dst[], const int dstStrides[]);
// Row by row, so that each side keeps its own stride.
void copyPicture(uint8_t* dst[], int dstStrides[], uint8_t* const src[], const int srcStrides[],
                 int format, int width, int height);
// Empty (logged) when FFmpeg cannot allocate it.
FramePtr allocatePicture(int format, int width, int height);
// Allocates `picture` when it is empty; false when that fails.
bool ensurePicture(FramePtr& picture, int format, int width, int height);

}  // namespace orvane::av
