// Writing H.264 video through FFmpeg, and converting pictures on the way.
#include "orvane/DataToVideoConverter.h"

#include <iostream>
#include <limits>
#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "orvane/base/Logger.h"
#include "tools/FFmpegHandles.h"
#include "tools/FFmpegLog.h"
#include "tools/FFmpegPictures.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/tools/DataToVideoConverter";

constexpr int64_t kBitRate = 60000000;
constexpr int kPixelGroup = 16;

using av::allocatePicture;
using av::copyPicture;
using av::ensurePicture;
using av::Geometry;
using av::packedPlanes;
using av::Planes;
using av::scale;

// x264 refuses pictures whose sides do not hold whole chroma samples (odd sides
// in 4:2:0), and leaks part of its setup when it does: such sizes are refused
// before it is opened.
bool encodable(int width, int height, int format) {
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    const int stepX = layout != nullptr ? 1 << layout->log2_chroma_w : 1;
    const int stepY = layout != nullptr ? 1 << layout->log2_chroma_h : 1;
    if (width % stepX == 0 && height % stepY == 0) {
        return true;
    }
    ORVANE_LOG(LOG_ERROR,
               "Cannot encode pictures of %dx%d in format %s: H.264 needs a width that is a "
               "multiple of %d and a height that is a multiple of %d.",
               width, height, layout != nullptr ? layout->name : "unknown", stepX, stepY);
    return false;
}

}  // namespace

struct DataToVideoConverter::Scaler {
    av::ScalerPtr context;
    Geometry geometry;  // what `context` was built for
    // nv12ToRGB's detour for widths the scaler would overrun (made once).
    av::FramePtr stagingIn, stagingOut;

    // Nearest-neighbour: the system never resizes, and this is the cheapest.
    static std::unique_ptr<Scaler> create(const Geometry& g) {
        // FFmpeg aborts the process on a format it cannot convert (AV_PIX_FMT_NONE
        // among them) instead of failing the call.
        const auto src = static_cast<AVPixelFormat>(g.srcFormat);
        const auto dst = static_cast<AVPixelFormat>(g.dstFormat);
        if (sws_isSupportedInput(src) <= 0 || sws_isSupportedOutput(dst) <= 0) {
            ORVANE_LOG(LOG_ERROR, "Unsupported pixel format: source %d, destination %d.",
                       g.srcFormat, g.dstFormat);
            return nullptr;
        }
        av::ScalerPtr context(sws_getContext(g.srcWidth, g.srcHeight,
                                             static_cast<AVPixelFormat>(g.srcFormat), g.dstWidth,
                                             g.dstHeight, static_cast<AVPixelFormat>(g.dstFormat),
                                             SWS_POINT, nullptr, nullptr, nullptr));
        if (!context) {
            ORVANE_LOG(LOG_ERROR,
                       "Could not create a scaler from format %d (%dx%d) to format %d (%dx%d).",
                       g.srcFormat, g.srcWidth, g.srcHeight, g.dstFormat, g.dstWidth, g.dstHeight);
            return nullptr;
        }
        auto scaler = std::make_unique<Scaler>();
        scaler->context = std::move(context);
        scaler->geometry = g;
        return scaler;
    }
};

struct DataToVideoConverter::Output {
    av::OutputPtr container;
    av::CodecContextPtr encoder;
    AVStream* stream = nullptr;  // owned by the container
    const AVCodec* codec = nullptr;
    av::FramePtr dstPicture;  // released for good when the encoder refuses a picture
    av::FramePtr srcPicture;
    av::PacketPtr packet;
    Geometry geometry;          // of both pictures, fixed when the file was opened
    int64_t lastPts = -1;       // of the last picture the encoder took
    int64_t frameDuration = 0;  // one frame period, in the encoder's time base
    // Packets the file did not take (a full disk): the file is then unusable,
    // which flushAndCloseVideo reports.
    uint64_t lostPackets = 0;

    // Writes every packet the encoder has ready. A negative result is the
    // encoder's failure; write failures are logged and do not stop the loop.
    int drain() {
        for (;;) {
            const int received = avcodec_receive_packet(encoder.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return 0;
            }
            if (received < 0) {
                return received;
            }
            if (writePacket() != 0) {
                ORVANE_LOG(LOG_ERROR, "Write frame to file failed!");
                ++lostPackets;
            }
        }
    }

    int writePacket() {
        // Without a duration the last picture lasts no time: players skip it,
        // and a video of one picture has none.
        if (packet->duration == 0) {
            packet->duration = frameDuration;
        }
        av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        const int written = av_interleaved_write_frame(container.get(), packet.get());
        av_packet_unref(packet.get());
        return written;
    }
};

DataToVideoConverter::DataToVideoConverter() = default;
DataToVideoConverter::~DataToVideoConverter() = default;
DataToVideoConverter::DataToVideoConverter(DataToVideoConverter&& other) noexcept = default;
DataToVideoConverter& DataToVideoConverter::operator=(DataToVideoConverter&& other) noexcept =
    default;

// The copy leaves the open file, if any, to `other`: two writers of one file
// would interleave their packets and release its handles twice. The scaler is
// cheap to rebuild, so the copy converts pictures at once.
DataToVideoConverter::DataToVideoConverter(const DataToVideoConverter& other)
    : srcFormat_(other.srcFormat_),
      dstFormat_(other.dstFormat_),
      dstWidth_(other.dstWidth_),
      dstHeight_(other.dstHeight_),
      srcWidth_(other.srcWidth_),
      srcHeight_(other.srcHeight_),
      frameRate_(other.frameRate_),
      timeBaseNum_(other.timeBaseNum_),
      timeBaseDen_(other.timeBaseDen_),
      nextPts_(other.nextPts_),
      preset_(other.preset_),
      metadata_(other.metadata_) {
    if (other.scaler_) {
        scaler_ = Scaler::create(other.scaler_->geometry);
    }
}

DataToVideoConverter& DataToVideoConverter::operator=(const DataToVideoConverter& other) {
    if (this != &other) {
        *this = DataToVideoConverter(other);
    }
    return *this;
}

int DataToVideoConverter::setConverterFrameSize(int srcHeight, int srcWidth, int dstHeight,
                                                int dstWidth) {
    if (av_image_check_size(static_cast<unsigned>(srcWidth), static_cast<unsigned>(srcHeight), 0,
                            nullptr) < 0 ||
        av_image_check_size(static_cast<unsigned>(dstWidth), static_cast<unsigned>(dstHeight), 0,
                            nullptr) < 0) {
        ORVANE_LOG(LOG_ERROR, "Invalid frame size: source %dx%d, destination %dx%d.", srcWidth,
                   srcHeight, dstWidth, dstHeight);
        return -1;
    }
    srcHeight_ = srcHeight;
    srcWidth_ = srcWidth;
    dstHeight_ = dstHeight;
    dstWidth_ = dstWidth;
    return 0;
}

int DataToVideoConverter::setConverterFmt(AVPixelFormat srcFormat, AVPixelFormat dstFormat) {
    scaler_.reset();
    srcFormat_ = srcFormat;
    dstFormat_ = dstFormat;
    scaler_ = Scaler::create(
        Geometry{srcWidth_, srcHeight_, srcFormat_, dstWidth_, dstHeight_, dstFormat_});
    return scaler_ ? 0 : -1;
}

int DataToVideoConverter::initVideoConverter(std::string path) {
    routeFFmpegLog();
    // Leftovers of an unclosed file go first; that file stays unfinished, as on
    // destruction.
    output_.reset();
    // Built aside and kept only when complete, so a failed call leaves nothing open.
    auto out = std::make_unique<Output>();

    AVFormatContext* container = nullptr;
    avformat_alloc_output_context2(&container, nullptr, nullptr, path.c_str());
    if (container == nullptr) {
        ORVANE_LOG(LOG_ERROR, "Failed to create output context.");
        return -1;
    }
    out->container.reset(container);

    out->codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (out->codec == nullptr) {
        ORVANE_LOG(LOG_ERROR, "H.264 encoder not found.");
        return -1;
    }

    // The pictures are made for the scaler, so it must describe the sizes and
    // formats in force now.
    const Geometry wanted{srcWidth_, srcHeight_, srcFormat_, dstWidth_, dstHeight_, dstFormat_};
    if (!scaler_ || scaler_->geometry != wanted) {
        ORVANE_LOG(LOG_ERROR, "Set the frame size and then the formats before initVideoConverter.");
        return -1;
    }
    out->geometry = wanted;
    if (!encodable(dstWidth_, dstHeight_, dstFormat_)) {
        return -1;
    }

    out->stream = avformat_new_stream(container, nullptr);
    out->encoder.reset(avcodec_alloc_context3(out->codec));
    if (out->stream == nullptr || !out->encoder) {
        ORVANE_LOG(LOG_ERROR, "Could not allocate the video stream and encoder.");
        return -1;
    }
    AVCodecContext* encoder = out->encoder.get();
    encoder->width = dstWidth_;
    encoder->height = dstHeight_;
    encoder->pix_fmt = static_cast<AVPixelFormat>(dstFormat_);
    encoder->time_base = AVRational{timeBaseNum_, timeBaseDen_};
    encoder->framerate = AVRational{frameRate_, 1};
    out->frameDuration = timeBaseDen_ / timeBaseNum_ / frameRate_;
    encoder->max_b_frames = 0;
    encoder->bit_rate = kBitRate;

    AVDictionary* options = nullptr;
    if (!preset_.empty()) {
        av_dict_set(&options, "preset", preset_.c_str(), 0);
    }
    int result = avcodec_open2(encoder, out->codec, &options);
    av_dict_free(&options);
    if (result < 0) {
        ORVANE_LOG(LOG_ERROR, "Could not open the H.264 encoder for %dx%d, format %d: %s.",
                   dstWidth_, dstHeight_, dstFormat_, av::errorText(result).c_str());
        return -1;
    }
    if (avcodec_parameters_from_context(out->stream->codecpar, encoder) < 0) {
        ORVANE_LOG(LOG_ERROR, "Could not copy the encoder parameters to the stream.");
        return -1;
    }
    out->stream->time_base = encoder->time_base;

    if (!(container->oformat->flags & AVFMT_NOFILE)) {
        result = avio_open(&container->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (result < 0) {
            ORVANE_LOG(LOG_ERROR, "Could not open %s: %s.", path.c_str(),
                       av::errorText(result).c_str());
            ORVANE_LOG(LOG_ERROR, "Failed to write video header.");
            return -1;
        }
    }
    for (const auto& [key, value] : metadata_) {
        av_dict_set(&container->metadata, key.c_str(), value.c_str(), 0);
    }
    // MP4 keeps only its few standard tags unless told to keep them all.
    AVDictionary* muxerOptions = nullptr;
    av_dict_set(&muxerOptions, "movflags", "use_metadata_tags", 0);
    result = avformat_write_header(container, &muxerOptions);
    av_dict_free(&muxerOptions);
    if (result < 0) {
        ORVANE_LOG(LOG_ERROR, "Failed to write video header.");
        return -1;
    }

    out->dstPicture = allocatePicture(dstFormat_, dstWidth_, dstHeight_);
    if (!out->dstPicture) {
        return -1;
    }
    out->srcPicture = allocatePicture(srcFormat_, srcWidth_, srcHeight_);
    if (!out->srcPicture) {
        return -1;
    }
    out->packet.reset(av_packet_alloc());
    if (!out->packet) {
        ORVANE_LOG(LOG_ERROR, "Could not allocate the video packet.");
        return -1;
    }
    output_ = std::move(out);
    return 0;
}

void DataToVideoConverter::setMetadata(const std::string& key, const std::string& value) {
    metadata_[key] = value;
    if (output_) {
        av_dict_set(&output_->container->metadata, key.c_str(), value.c_str(), 0);
    }
}

int DataToVideoConverter::nv12ToRGB(const uint8_t* nv12, uint8_t* out) {
    if (!scaler_) {
        ORVANE_LOG(LOG_ERROR, "No scaler: call setConverterFrameSize, then setConverterFmt.");
        return -1;
    }
    if (nv12 == nullptr || out == nullptr) {
        ORVANE_LOG(LOG_ERROR, "No picture to convert.");
        return -1;
    }
    // Laid out by the scaler's own geometry, which later size changes do not touch.
    const Geometry& g = scaler_->geometry;
    Planes src, dst;
    if (!packedPlanes(nv12, g.srcFormat, g.srcWidth, g.srcHeight, src) ||
        !packedPlanes(out, g.dstFormat, g.dstWidth, g.dstHeight, dst)) {
        ORVANE_LOG(LOG_ERROR, "Cannot lay out pictures of format %d or %d.", g.srcFormat,
                   g.dstFormat);
        return -1;
    }
    // The scaler's SIMD code reads and writes whole groups of up to 16 pixels,
    // so for other widths it would run past the ends of the caller's buffers:
    // those go through padded pictures of our own.
    SwsContext* context = scaler_->context.get();
    if (g.srcWidth % kPixelGroup == 0 && g.dstWidth % kPixelGroup == 0) {
        return scale(context, src.data, src.strides, g.srcHeight, dst.data, dst.strides);
    }
    if (!ensurePicture(scaler_->stagingIn, g.srcFormat, g.srcWidth, g.srcHeight) ||
        !ensurePicture(scaler_->stagingOut, g.dstFormat, g.dstWidth, g.dstHeight)) {
        return -1;
    }
    AVFrame* in = scaler_->stagingIn.get();
    AVFrame* converted = scaler_->stagingOut.get();
    copyPicture(in->data, in->linesize, src.data, src.strides, g.srcFormat, g.srcWidth,
                g.srcHeight);
    if (scale(context, in->data, in->linesize, g.srcHeight, converted->data, converted->linesize) !=
        0) {
        return -1;
    }
    copyPicture(dst.data, dst.strides, converted->data, converted->linesize, g.dstFormat,
                g.dstWidth, g.dstHeight);
    return 0;
}

int DataToVideoConverter::nv12ToViedo(const uint8_t* nv12, int64_t pts) {
    return encode(AV_PIX_FMT_NV12, nv12, pts);
}

int DataToVideoConverter::rgbToVideo(const uint8_t* bgr) {
    return encode(AV_PIX_FMT_BGR24, bgr, -1);
}

// NV12 failures go to standard error and BGR failures to the log: the fusion
// recorder's messages have always been read on the console.
int DataToVideoConverter::encode(AVPixelFormat expected, const uint8_t* picture, int64_t pts) {
    const bool nv12 = expected == AV_PIX_FMT_NV12;
    if (srcFormat_ != expected) {
        ORVANE_LOG(LOG_ERROR, nv12 ? "Sws scale fmt is not AV_PIX_FMT_NV12"
                                   : "Sws scale fmt is not AV_PIX_FMT_BGR24");
        return -1;
    }
    if (!output_) {
        ORVANE_LOG(LOG_ERROR, "No video file is open: call initVideoConverter first.");
        return -1;
    }
    Output& out = *output_;
    if (!out.dstPicture) {
        // The encoder refused a picture before; it is not fed again.
        ORVANE_LOG(LOG_ERROR, "The encoder failed earlier: call initVideoConverter again.");
        return -1;
    }
    if (!scaler_ || scaler_->geometry != out.geometry) {
        ORVANE_LOG(LOG_ERROR, "The scaler changed after initVideoConverter; pictures are refused.");
        return -1;
    }
    if (picture == nullptr) {
        ORVANE_LOG(LOG_ERROR, "No picture to encode.");
        return -1;
    }
    // Once a picture has an explicit time the sequence continues one frame after
    // it, so times never repeat; a time that does not advance is refused, as the
    // file could not store it.
    const int64_t period = out.frameDuration;
    if (pts != -1 && (pts < 0 || pts <= out.lastPts)) {
        ORVANE_LOG(LOG_ERROR, "Presentation time %lld us does not follow the previous %lld us.",
                   static_cast<long long>(pts), static_cast<long long>(out.lastPts));
        return -1;
    }

    const Geometry& g = out.geometry;
    Planes given;
    packedPlanes(picture, g.srcFormat, g.srcWidth, g.srcHeight, given);
    AVFrame* src = out.srcPicture.get();
    AVFrame* dst = out.dstPicture.get();
    copyPicture(src->data, src->linesize, given.data, given.strides, g.srcFormat, g.srcWidth,
                g.srcHeight);
    // The encoder may still hold the previous picture's buffer.
    if (av_frame_make_writable(dst) < 0) {
        ORVANE_LOG(LOG_ERROR, "Could not allocate the video frame data");
        return -1;
    }
    if (scale(scaler_->context.get(), src->data, src->linesize, g.srcHeight, dst->data,
              dst->linesize) != 0) {
        return -1;
    }

    if (pts == -1) {
        pts = nextPts_;
    }
    // The sequence must be able to continue past this picture.
    if (pts > std::numeric_limits<int64_t>::max() - period) {
        ORVANE_LOG(LOG_ERROR, "Presentation time %lld us is too large.",
                   static_cast<long long>(pts));
        return -1;
    }
    nextPts_ = pts + period;
    src->pts = pts;
    dst->pts = pts;

    if (avcodec_send_frame(out.encoder.get(), dst) < 0) {
        if (nv12) {
            std::cerr << "Error sending a frame for encoding\n";
            // An encoder that refused a picture is in no known state: it gets
            // nothing more, which encode() checks through the missing picture.
            out.dstPicture.reset();
        } else {
            ORVANE_LOG(LOG_ERROR, "Error sending a frame for encoding");
        }
        return -1;
    }
    out.lastPts = pts;
    if (out.drain() < 0) {
        if (nv12) {
            std::cerr << "Error during encoding\n";
        } else {
            ORVANE_LOG(LOG_ERROR, "Error during encoding");
        }
        return -1;
    }
    return 0;
}

int DataToVideoConverter::flushAndCloseVideo() {
    if (!output_) {
        ORVANE_LOG(LOG_ERROR, "No video file is open: nothing to close.");
        return -1;
    }
    Output& out = *output_;
    av_packet_unref(out.packet.get());
    bool endSent = false;
    for (;;) {
        const int received = avcodec_receive_packet(out.encoder.get(), out.packet.get());
        if (received == AVERROR_EOF) {
            break;
        }
        if (received == AVERROR(EAGAIN)) {
            // Waiting packets were written first; now the end of the stream. An
            // encoder still hungry after that would only spin.
            if (endSent) {
                ORVANE_LOG(LOG_ERROR, "Error receiving packet from encoder.");
                return -1;
            }
            const int sent = avcodec_send_frame(out.encoder.get(), nullptr);
            endSent = true;
            if (sent < 0 && sent != AVERROR_EOF) {
                ORVANE_LOG(LOG_ERROR, "Error receiving packet from encoder.");
                return -1;
            }
            continue;
        }
        if (received < 0) {
            ORVANE_LOG(LOG_ERROR, "Error receiving packet from encoder.");
            return -1;
        }
        if (out.writePacket() != 0) {
            ORVANE_LOG(LOG_ERROR, "Write frame to file failed!");
            ++out.lostPackets;
        }
    }

    int finished = av_write_trailer(out.container.get());
    if (!(out.container->oformat->flags & AVFMT_NOFILE)) {
        // Buffered bytes that found no room show only in the I/O context's error.
        const int unwritten = out.container->pb != nullptr ? out.container->pb->error : 0;
        const int closed = avio_closep(&out.container->pb);
        finished = finished < 0 ? finished : unwritten < 0 ? unwritten : closed;
    }
    if (finished >= 0 && out.lostPackets > 0) {
        finished = AVERROR(EIO);
    }
    output_.reset();
    scaler_.reset();
    // Unlike a lost packet, a file without its trailer cannot be read at all.
    if (finished < 0) {
        ORVANE_LOG(LOG_ERROR, "Failed to finish the video file: %s.",
                   av::errorText(finished).c_str());
        return -1;
    }
    ORVANE_LOG(LOG_INFO, "Video created successfully");
    return 0;
}

}  // namespace orvane
