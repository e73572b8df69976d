#pragma once

// Owning pointers for FFmpeg objects: each is released exactly once, by the
// function FFmpeg pairs with its allocator, whichever path the owner leaves by.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace orvane::av {

struct FrameFree {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct ScalerFree {
    void operator()(SwsContext* scaler) const noexcept { sws_freeContext(scaler); }
};
struct BufferFree {
    void operator()(uint8_t* buffer) const noexcept { av_free(buffer); }
};
// An opened input: closing frees the context and its I/O.
struct InputClose {
    void operator()(AVFormatContext* input) const noexcept { avformat_close_input(&input); }
};
// An output: its I/O, when the format has one, is closed before the context is
// freed. No trailer is written here; only an explicit close finishes a file.
struct OutputFree {
    void operator()(AVFormatContext* output) const noexcept {
        if (output->oformat != nullptr && !(output->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&output->pb);
        }
        avformat_free_context(output);
    }
};

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFree>;
using BufferPtr = std::unique_ptr<uint8_t, BufferFree>;
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputFree>;

// FFmpeg's text for an error code.
inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace orvane::av
