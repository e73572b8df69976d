// Scaling and JPEG encoding of frame-sensor pictures for the page.

#include "DisplayPicture.h"

#include <algorithm>
#include "../Output.h"
#include "ViewSource.h"

namespace orvane::cli {

namespace {

// Good enough to judge a scene and focus; a 960 x 540 picture is ~60 KB.
constexpr int kQuality = 5;  // MJPEG's qscale: 2 best .. 31 worst

}  // namespace

DisplayPicture::DisplayPicture(int width, int height, int maxWidth, int maxHeight)
    : sourceWidth_(width) {
    if (width <= 0 || height <= 0) {
        throw Failure("a picture of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels cannot be shown");
    }
    const double shrink = std::min({1.0, double(maxWidth) / width, double(maxHeight) / height});
    // Even sizes: the encoder's chroma is halved both ways.
    width_ = std::max(2, static_cast<int>(width * shrink) & ~1);
    height_ = std::max(2, static_cast<int>(height * shrink) & ~1);
    // Shrinking picks the nearest pixel by hand: a 4K picture shrinks so in
    // well under 1 ms on the camera's frame thread, where FFmpeg's scaler,
    // which reads every source line, takes ~7 ms even picking pixels and makes
    // the thread lag. The colours convert at display size, on the viewer's
    // thread.
    for (int x = 0; x < width_; ++x) {
        columns_.push_back(static_cast<uint32_t>(3 * (int64_t{x} * width / width_)));
    }
    for (int y = 0; y < height_; ++y) {
        rows_.push_back(static_cast<uint32_t>(int64_t{y} * height / height_));
    }
    converter_.reset(sws_getContext(width_, height_, AV_PIX_FMT_BGR24, width_, height_,
                                    AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr));
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!converter_ || codec == nullptr) {
        throw Failure("FFmpeg cannot scale pictures to JPEG here");
    }
    // Full-range output, as JPEG expects.
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(converter_.get(), coefficients, 1, coefficients, 1, 0, 1 << 16,
                             1 << 16);
    encoder_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    if (!encoder_ || !packet_) {
        throw Failure("out of memory for the picture encoder");
    }
    encoder_->width = width_;
    encoder_->height = height_;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->color_range = AVCOL_RANGE_JPEG;
    encoder_->time_base = AVRational{1, 30};
    encoder_->flags |= AV_CODEC_FLAG_QSCALE;
    encoder_->global_quality = FF_QP2LAMBDA * kQuality;
    if (avcodec_open2(encoder_.get(), codec, nullptr) < 0) {
        throw Failure("cannot start FFmpeg's JPEG encoder");
    }
    yuv_.reset(av_frame_alloc());
    if (!yuv_) {
        throw Failure("out of memory for a picture");
    }
    yuv_->width = width_;
    yuv_->height = height_;
    yuv_->format = AV_PIX_FMT_YUV420P;
    yuv_->color_range = AVCOL_RANGE_JPEG;
    if (av_frame_get_buffer(yuv_.get(), 0) < 0) {
        throw Failure("out of memory for a picture");
    }
}

av::FramePtr DisplayPicture::newPicture() const {
    av::FramePtr picture(av_frame_alloc());
    if (!picture) {
        throw Failure("out of memory for a picture");
    }
    picture->width = width_;
    picture->height = height_;
    picture->format = AV_PIX_FMT_BGR24;
    if (av_frame_get_buffer(picture.get(), 0) < 0) {
        throw Failure("out of memory for a picture");
    }
    return picture;
}

void DisplayPicture::scale(const uint8_t* bgr, AVFrame& into) {
    const size_t stride = size_t{3} * sourceWidth_;
    for (int y = 0; y < height_; ++y) {
        const uint8_t* from = bgr + rows_[y] * stride;
        uint8_t* to = into.data[0] + size_t(y) * into.linesize[0];
        for (uint32_t column : columns_) {
            to[0] = from[column];
            to[1] = from[column + 1];
            to[2] = from[column + 2];
            to += 3;
        }
    }
}

std::string DisplayPicture::message(const AVFrame& picture, uint64_t timeUs) {
    sws_scale(converter_.get(), picture.data, picture.linesize, 0, height_, yuv_->data,
              yuv_->linesize);
    if (avcodec_send_frame(encoder_.get(), yuv_.get()) < 0 ||
        avcodec_receive_packet(encoder_.get(), packet_.get()) < 0) {
        return {};
    }
    std::string out;
    out.reserve(16 + static_cast<size_t>(packet_->size));
    out.push_back('J');
    out.push_back(1);
    appendLittleEndian<uint16_t>(out, static_cast<uint16_t>(width_));
    appendLittleEndian<uint16_t>(out, static_cast<uint16_t>(height_));
    appendLittleEndian<uint16_t>(out, 0);
    appendLittleEndian<uint64_t>(out, timeUs);
    out.append(reinterpret_cast<const char*>(packet_->data), static_cast<size_t>(packet_->size));
    av_packet_unref(packet_.get());
    return out;
}

}  // namespace orvane::cli
