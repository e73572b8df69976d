#include "orvane/Mp4FileReader.h"

#include <limits>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
}

#include "orvane/base/FileCheck.h"
#include "orvane/base/Logger.h"
#include "tools/FFmpegHandles.h"
#include "tools/FFmpegLog.h"

namespace orvane {

namespace {

constexpr const char* kLogModule = "src/FileReader/Mp4FileReader";

// Bytes the scaler may write beyond a packed picture: groups of up to 16 BGR
// pixels, rounded up.
constexpr size_t kScalerOverrun = 64;

// In integers, rounded to the nearest microsecond: a product in double precision
// puts times just below an integer (33333 * 3 gives 99998.99...), and truncating
// it would give pictures 1 us earlier than the time index says. Times before the
// stream's zero read as 0.
uint64_t toMicroseconds(int64_t pts, AVRational timeBase) {
    if (pts <= 0 || pts == AV_NOPTS_VALUE) {
        return 0;
    }
    const int64_t us = av_rescale_q(pts, timeBase, AVRational{1, 1000000});
    return us < 0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(us);
}

// sws_getContext aborts the process on a format it cannot read (a damaged
// file's AV_PIX_FMT_NONE among them) instead of failing the call.
bool convertible(int format) {
    return format != AV_PIX_FMT_NONE &&
           sws_isSupportedInput(static_cast<AVPixelFormat>(format)) > 0;
}

// A whole non-negative decimal number, as the recorder writes it.
bool parseMicroseconds(const char* text, uint64_t& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t v = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || v > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(*c - '0');
    }
    value = v;
    return true;
}

}  // namespace

struct Mp4FileReader::Media {
    av::InputPtr container;
    int videoStreamIndex = -1;
    AVStream* videoStream = nullptr;  // owned by the container
    const AVCodec* decoder = nullptr;
    av::CodecContextPtr decoderContext;
    av::ScalerPtr scaler;
    av::BufferPtr pictureBuffer;  // packed BGR, rows without padding, spare bytes after
    av::PacketPtr packet;
    av::FramePtr decoded;
    uint8_t* planes[4] = {};
    int strides[4] = {};
    int outputWidth = 0;
    int outputHeight = 0;
    AVPixelFormat outputFormat = AV_PIX_FMT_BGR24;
    bool draining = false;  // the end of the file was sent to the decoder
};

Mp4FileReader::Mp4FileReader(std::string path) : path_(std::move(path)) {}
Mp4FileReader::~Mp4FileReader() = default;
Mp4FileReader::Mp4FileReader(Mp4FileReader&& other) noexcept = default;
Mp4FileReader& Mp4FileReader::operator=(Mp4FileReader&& other) noexcept = default;

Mp4FileReader::Mp4FileReader(const Mp4FileReader& other)
    : ApsFileReader(),
      path_(other.path_),
      hasSensorTime_(other.hasSensorTime_),
      sensorTimeOffset_(other.sensorTimeOffset_),
      sensorTimes_(other.sensorTimes_) {
    if (other.media_) {
        media_ = openMedia();
        if (media_) {
            timeIndex_ = other.timeIndex_;
            width = other.width;
            height = other.height;
        } else {
            ORVANE_LOG(LOG_ERROR, "The copy could not open %s again; it is not loaded.",
                       path_.c_str());
        }
    }
}

Mp4FileReader& Mp4FileReader::operator=(const Mp4FileReader& other) {
    if (this != &other) {
        *this = Mp4FileReader(other);
    }
    return *this;
}

// Everything a reader needs but the index, standing at the start of the file.
std::unique_ptr<Mp4FileReader::Media> Mp4FileReader::openMedia() const {
    routeFFmpegLog();  // a damaged file's complaints reach our log, at our levels
    // FFmpeg would wait on a FIFO for a writer, or read a device without end.
    if (const FileCheck file = checkRegularFile(path_); !file) {
        ORVANE_LOG(LOG_ERROR, "%s: %s.", path_.c_str(), file.problem.c_str());
        return nullptr;
    }
    auto media = std::make_unique<Media>();
    AVFormatContext* container = nullptr;
    if (avformat_open_input(&container, path_.c_str(), nullptr, nullptr) < 0) {
        return nullptr;  // FFmpeg freed the context
    }
    media->container.reset(container);
    if (avformat_find_stream_info(container, nullptr) < 0) {
        return nullptr;
    }
    for (unsigned i = 0; i < container->nb_streams; ++i) {
        if (container->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            media->videoStreamIndex = static_cast<int>(i);
            media->videoStream = container->streams[i];
        }
    }
    if (media->videoStream == nullptr) {
        return nullptr;
    }

    const AVCodecParameters* parameters = media->videoStream->codecpar;
    if (parameters->width <= 0 || parameters->height <= 0 ||
        parameters->width > std::numeric_limits<uint16_t>::max() ||
        parameters->height > std::numeric_limits<uint16_t>::max()) {
        ORVANE_LOG(LOG_ERROR, "%s: unsupported picture size %dx%d.", path_.c_str(),
                   parameters->width, parameters->height);
        return nullptr;
    }
    media->outputWidth = parameters->width;
    media->outputHeight = parameters->height;

    media->decoded.reset(av_frame_alloc());
    media->packet.reset(av_packet_alloc());
    const int bufferSize =
        av_image_get_buffer_size(media->outputFormat, media->outputWidth, media->outputHeight, 1);
    if (bufferSize > 0) {
        // The scaler's SIMD code writes whole groups of pixels, past the end of
        // the last row when the width is not a multiple of the group.
        media->pictureBuffer.reset(
            static_cast<uint8_t*>(av_malloc(static_cast<size_t>(bufferSize) + kScalerOverrun)));
    }
    if (!media->decoded || !media->packet || !media->pictureBuffer) {
        ORVANE_LOG(LOG_ERROR, "%s: no memory for pictures of %dx%d.", path_.c_str(),
                   media->outputWidth, media->outputHeight);
        return nullptr;
    }
    av_image_fill_arrays(media->planes, media->strides, media->pictureBuffer.get(),
                         media->outputFormat, media->outputWidth, media->outputHeight, 1);

    media->decoder = avcodec_find_decoder(parameters->codec_id);
    if (media->decoder == nullptr) {
        ORVANE_LOG(LOG_ERROR, "%s: no decoder for the video codec %s.", path_.c_str(),
                   avcodec_get_name(parameters->codec_id));
        return nullptr;
    }
    media->decoderContext.reset(avcodec_alloc_context3(media->decoder));
    if (!media->decoderContext ||
        avcodec_parameters_to_context(media->decoderContext.get(), parameters) < 0 ||
        avcodec_open2(media->decoderContext.get(), media->decoder, nullptr) < 0) {
        ORVANE_LOG(LOG_ERROR, "%s: could not open the %s decoder.", path_.c_str(),
                   media->decoder->name);
        return nullptr;
    }
    const AVCodecContext* decoder = media->decoderContext.get();
    if (decoder->width <= 0 || decoder->height <= 0 || !convertible(decoder->pix_fmt)) {
        const char* format = av_get_pix_fmt_name(decoder->pix_fmt);
        ORVANE_LOG(LOG_ERROR,
                   "%s: the %s decoder cannot tell its pictures' size and format (%dx%d, %s); "
                   "the file may be damaged.",
                   path_.c_str(), media->decoder->name, decoder->width, decoder->height,
                   format != nullptr ? format : "unknown");
        return nullptr;
    }
    media->scaler.reset(sws_getContext(decoder->width, decoder->height, decoder->pix_fmt,
                                       media->outputWidth, media->outputHeight, media->outputFormat,
                                       SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!media->scaler) {
        ORVANE_LOG(LOG_ERROR, "%s: cannot convert pictures of format %d to BGR.", path_.c_str(),
                   decoder->pix_fmt);
        return nullptr;
    }
    return media;
}

bool Mp4FileReader::loadFile() {
    // The first load's objects go before anything is opened again; a failed
    // load leaves the reader unloaded.
    media_.reset();
    timeIndex_.clear();
    width = 0;
    height = 0;
    hasSensorTime_ = false;
    sensorTimeOffset_ = 0;

    std::unique_ptr<Media> media = openMedia();
    if (!media) {
        return false;
    }
    std::vector<uint64_t> index;
    AVPacket* packet = media->packet.get();
    int read;
    while ((read = av_read_frame(media->container.get(), packet)) >= 0) {
        if (packet->stream_index == media->videoStreamIndex) {
            index.push_back(static_cast<uint64_t>(packet->pts));
        }
        av_packet_unref(packet);
    }
    if (read != AVERROR_EOF) {
        ORVANE_LOG(LOG_WARNING, "%s: reading stopped after %zu pictures: %s.", path_.c_str(),
                   index.size(), av::errorText(read).c_str());
    }
    // A file without pictures has nothing to go back to (and some demuxers
    // refuse to seek in it).
    if (!index.empty() && av_seek_frame(media->container.get(), media->videoStreamIndex, 0,
                                        AVSEEK_FLAG_BACKWARD) < 0) {
        ORVANE_LOG(LOG_ERROR, "Seek frame failed!");
        return false;
    }
    width = static_cast<uint16_t>(media->outputWidth);
    height = static_cast<uint16_t>(media->outputHeight);
    if (const AVDictionaryEntry* tag =
            av_dict_get(media->container->metadata, kSensorTimeTag, nullptr, 0)) {
        hasSensorTime_ = parseMicroseconds(tag->value, sensorTimeOffset_);
        if (!hasSensorTime_) {
            ORVANE_LOG(LOG_WARNING, "%s: the tag %s holds \"%s\", not a time; ignored.",
                       path_.c_str(), kSensorTimeTag, tag->value);
        }
    }
    timeIndex_ = std::move(index);
    media_ = std::move(media);
    return true;
}

bool Mp4FileReader::getTimeStamps(std::vector<uint64_t>& timestamps) {
    if (&timestamps != &timeIndex_) {
        timestamps = timeIndex_;
        for (uint64_t& t : timestamps) {
            t += sensorShift();
        }
    }
    return true;
}

bool Mp4FileReader::getSensorTimeOffset(uint64_t& offset) const {
    if (hasSensorTime_) {
        offset = sensorTimeOffset_;
    }
    return hasSensorTime_;
}

bool Mp4FileReader::useSensorTimes(bool on) {
    if (on && !hasSensorTime_) {
        return false;
    }
    sensorTimes_ = on;
    return true;
}

uint64_t Mp4FileReader::sensorShift() const {
    return sensorTimes_ && hasSensorTime_ ? sensorTimeOffset_ : 0;
}

bool Mp4FileReader::getNextFrame(ApsFrame& frame) {
    int64_t pts = 0;
    return decodeNext(frame, pts);
}

bool Mp4FileReader::getNFrame(int n, ApsFrame& frame) {
    // Unloaded, the answer is false as for every read; only a loaded index
    // raises for an n outside it.
    if (!media_) {
        return false;
    }
    if (n < 0 || static_cast<size_t>(n) >= timeIndex_.size()) {
        throw std::out_of_range("invalid vector subscript");
    }
    const uint64_t target = timeIndex_[static_cast<size_t>(n)];
    if (av_seek_frame(media_->container.get(), media_->videoStreamIndex,
                      static_cast<int64_t>(target), AVSEEK_FLAG_BACKWARD) < 0) {
        ORVANE_LOG(LOG_ERROR, "Seek frame failed!");
        return false;
    }
    // Pictures decoded before the seek, and an earlier end of stream, are stale.
    avcodec_flush_buffers(media_->decoderContext.get());
    media_->draining = false;

    ApsFrame picture;
    int64_t pts = 0;
    while (decodeNext(picture, pts)) {
        if (static_cast<uint64_t>(pts) == target) {
            frame = picture;
            return true;
        }
    }
    return false;
}

// One picture: decodes on through packets of other streams, packets that
// complete no picture and packets the decoder refuses, then drains the decoder
// at the end of the file.
bool Mp4FileReader::decodeNext(ApsFrame& frame, int64_t& pts) {
    if (!media_) {
        return false;
    }
    Media& m = *media_;
    AVCodecContext* decoder = m.decoderContext.get();
    AVFrame* decoded = m.decoded.get();
    for (;;) {
        const int received = avcodec_receive_frame(decoder, decoded);
        if (received == 0) {
            break;
        }
        if (received == AVERROR_EOF) {
            return false;
        }
        if (received != AVERROR(EAGAIN) || m.draining) {
            ORVANE_LOG(LOG_ERROR, "%s: decoding failed: %s.", path_.c_str(),
                       av::errorText(received).c_str());
            return false;
        }
        const int read = av_read_frame(m.container.get(), m.packet.get());
        if (read < 0) {
            if (read != AVERROR_EOF) {
                ORVANE_LOG(LOG_WARNING, "%s: reading stopped: %s.", path_.c_str(),
                           av::errorText(read).c_str());
            }
            avcodec_send_packet(decoder, nullptr);
            m.draining = true;
            continue;
        }
        if (m.packet->stream_index == m.videoStreamIndex) {
            // An edit list may mark packets to be dropped (the last picture of a
            // file whose last packet has no duration, for one); the time index
            // lists every packet, so every packet's picture is delivered.
            m.packet->flags &= ~AV_PKT_FLAG_DISCARD;
            const int sent = avcodec_send_packet(decoder, m.packet.get());
            if (sent < 0) {
                ORVANE_LOG(LOG_WARNING, "%s: skipped a packet at %lld: %s.", path_.c_str(),
                           static_cast<long long>(m.packet->pts), av::errorText(sent).c_str());
            }
        }
        av_packet_unref(m.packet.get());
    }

    if (decoded->width <= 0 || decoded->height <= 0 || !convertible(decoded->format)) {
        ORVANE_LOG(LOG_ERROR, "%s: a picture of %dx%d in format %d cannot be converted to BGR.",
                   path_.c_str(), decoded->width, decoded->height, decoded->format);
        av_frame_unref(decoded);
        return false;
    }
    pts = decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp;
    // The pictures may change size or format inside a stream; the cached scaler
    // follows them, and is reused as long as they do not.
    m.scaler.reset(sws_getCachedContext(m.scaler.release(), decoded->width, decoded->height,
                                        static_cast<AVPixelFormat>(decoded->format), m.outputWidth,
                                        m.outputHeight, m.outputFormat, SWS_BICUBIC, nullptr,
                                        nullptr, nullptr));
    const bool scaled = m.scaler && sws_scale(m.scaler.get(), decoded->data, decoded->linesize, 0,
                                              decoded->height, m.planes, m.strides) >= 0;
    const AVRational timeBase = m.videoStream->time_base;
    av_frame_unref(decoded);
    if (!scaled) {
        return false;
    }
    frame.data = m.pictureBuffer.get();
    frame.dataSize = static_cast<uint32_t>(m.outputWidth) * m.outputHeight * 3;
    frame.timestamp = toMicroseconds(pts, timeBase) + sensorShift();
    return true;
}

}  // namespace orvane
