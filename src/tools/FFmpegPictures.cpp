// Pictures as FFmpeg holds them: allocation, copy and scaling.
#include "tools/FFmpegPictures.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include "orvane/base/Logger.h"

namespace orvane::av {

namespace {
constexpr const char* kLogModule = "src/tools/DataToVideoConverter";
constexpr int kPictureAlignment = 32;
}  // namespace

bool packedPlanes(const uint8_t* picture, int format, int width, int height, Planes& planes) {
    return av_image_fill_arrays(planes.data, planes.strides, picture,
                                static_cast<AVPixelFormat>(format), width, height, 1) >= 0;
}

int scale(SwsContext* scaler, uint8_t* const src[], const int srcStrides[], int srcHeight,
          uint8_t* const dst[], const int dstStrides[]) {
    if (sws_scale(scaler, src, srcStrides, 0, srcHeight, dst, dstStrides) < 0) {
        ORVANE_LOG(LOG_ERROR, "Picture conversion failed.");
        return -1;
    }
    return 0;
}

void copyPicture(uint8_t* dst[], int dstStrides[], uint8_t* const src[], const int srcStrides[],
                 int format, int width, int height) {
    const uint8_t* planes[4] = {src[0], src[1], src[2], src[3]};
    av_image_copy(dst, dstStrides, planes, srcStrides, static_cast<AVPixelFormat>(format), width,
                  height);
}

FramePtr allocatePicture(int format, int width, int height) {
    FramePtr picture(av_frame_alloc());
    if (!picture) {
        ORVANE_LOG(LOG_ERROR, "Could not allocate video frame");
        return nullptr;
    }
    picture->format = format;
    picture->width = width;
    picture->height = height;
    if (av_frame_get_buffer(picture.get(), kPictureAlignment) < 0) {
        ORVANE_LOG(LOG_ERROR, "Could not allocate the video frame data");
        return nullptr;
    }
    return picture;
}

bool ensurePicture(FramePtr& picture, int format, int width, int height) {
    if (!picture) {
        picture = allocatePicture(format, width, height);
    }
    return static_cast<bool>(picture);
}

}  // namespace orvane::av
