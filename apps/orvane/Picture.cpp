// Event pictures and PNG files (FFmpeg's PNG encoder).

#include "Picture.h"

#include <fstream>
#include <memory>

#include "Output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace orvane::cli {

namespace {

// Blue, green, red: the colours of the library's video export.
constexpr uint8_t kGrey = 0x70;
constexpr uint8_t kOn[3] = {0xB4, 0xBC, 0xBF};
constexpr uint8_t kOff[3] = {0x33, 0x3D, 0x40};

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

}  // namespace

EventPicture::EventPicture(uint16_t width, uint16_t height)
    : width_(width), height_(height), bgr_(size_t{width} * height * 3, kGrey) {}

void EventPicture::clear() {
    std::fill(bgr_.begin(), bgr_.end(), kGrey);
}

void EventPicture::draw(const Event2D* begin, const Event2D* end) {
    for (const Event2D* e = begin; e < end; ++e) {
        if (e->x < width_ && e->y < height_) {
            const uint8_t* colour = e->polarity ? kOn : kOff;
            uint8_t* pixel = &bgr_[(size_t{e->y} * width_ + e->x) * 3];
            pixel[0] = colour[0];
            pixel[1] = colour[1];
            pixel[2] = colour[2];
        }
    }
}

void writePng(const std::string& path, const uint8_t* bgr, int width, int height) {
    auto refuse = [&](const std::string& why) { return Failure(path + ": " + why); };
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        throw refuse("FFmpeg has no PNG encoder");
    }
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!context || !frame || !packet) {
        throw refuse("out of memory");
    }
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        throw refuse("cannot start the PNG encoder");
    }
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_RGB24;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        throw refuse("out of memory");
    }
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = bgr + size_t(y) * width * 3;
        uint8_t* to = frame->data[0] + size_t(y) * frame->linesize[0];
        for (int x = 0; x < width; ++x) {
            to[3 * x] = from[3 * x + 2];
            to[3 * x + 1] = from[3 * x + 1];
            to[3 * x + 2] = from[3 * x];
        }
    }
    if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
        avcodec_send_frame(context.get(), nullptr) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0) {
        throw refuse("the PNG encoder failed");
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(packet->data), packet->size);
    out.close();
    if (!out) {
        throw refuse("cannot be written");
    }
}

}  // namespace orvane::cli
