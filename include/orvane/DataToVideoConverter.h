#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace orvane {

// Converts pictures between pixel formats and encodes them into an H.264 video
// file (MP4 for a ".mp4" path): 30 frames per second, 60 Mbit/s, no B-frames,
// timestamps in microseconds.
//
// Order of use: setConverterFrameSize, setConverterFmt (builds the scaler for the
// sizes set before), then either nv12ToRGB alone, or initVideoConverter, any
// number of nv12ToViedo / rgbToVideo matching the source format, and
// flushAndCloseVideo. Closing releases the encoder, the file and the scaler;
// the next file needs setConverterFmt and initVideoConverter again. A
// converter destroyed without flushAndCloseVideo leaves its file unfinished.
//
// Pictures handed in are tightly packed in the source format: NV12 is a luma
// plane of width x height bytes followed by the interleaved chroma plane; BGR24
// is rows of 3 x width bytes.
//
// Results are 0 on success and -1 on failure, with an error in the log (or on
// standard error, when the encoder refuses or fails on an NV12 picture). Once
// the encoder has refused an NV12 picture the converter takes no more pictures
// until the next initVideoConverter. Packet write failures are logged and do not change the
// result. One object serves one thread at a time.
//
// Copies: a copy gets every setting, the next presentation time and a scaler
// of its own, but not the open file: an output file has exactly one writer, so
// a copy of an open converter is configured, not open. Moves take everything.
class DataToVideoConverter {
  public:
    DataToVideoConverter();
    ~DataToVideoConverter();
    DataToVideoConverter(const DataToVideoConverter& other);
    DataToVideoConverter& operator=(const DataToVideoConverter& other);
    DataToVideoConverter(DataToVideoConverter&& other) noexcept;
    DataToVideoConverter& operator=(DataToVideoConverter&& other) noexcept;

    // Height before width, source before destination. Touches no FFmpeg object;
    // -1 (sizes unchanged) when a size is not a valid picture size.
    int setConverterFrameSize(int srcHeight, int srcWidth, int dstHeight, int dstWidth);
    // Replaces the scaler with a nearest-neighbour one for the sizes in force.
    int setConverterFmt(AVPixelFormat srcFormat, AVPixelFormat dstFormat);

    // The H.264 encoder's speed preset for the next initVideoConverter
    // ("ultrafast" .. "placebo"); empty (the default) keeps the encoder's own.
    // Faster presets keep up with more pictures at a lower quality per bit.
    void setEncoderPreset(std::string preset) { preset_ = std::move(preset); }

    // A text tag of the file (MP4: a metadata key of the movie), for the open
    // file if any, and for the files opened later. Written when the file is
    // finished, so a tag set while encoding still reaches it.
    void setMetadata(const std::string& key, const std::string& value);

    // Opens the output file and the encoder. Objects left by an earlier
    // initVideoConverter that was never closed are released first.
    int initVideoConverter(std::string path);

    // Converts one picture of the source format into `out`, laid out tightly in
    // the destination format (BGR24: rows of 3 x destination width bytes).
    int nv12ToRGB(const uint8_t* nv12, uint8_t* out);
    // Encodes one NV12 picture at `pts` microseconds, or at the next time of the
    // sequence (steps of 1000000 / 30 us) for -1. An explicit time must lie
    // after the previous picture's, and the sequence goes on from it.
    int nv12ToViedo(const uint8_t* nv12, int64_t pts = -1);
    // Encodes one packed BGR picture at the next time of the sequence.
    int rgbToVideo(const uint8_t* bgr);
    // Drains the encoder, finishes the file and releases every FFmpeg object.
    int flushAndCloseVideo();

  private:
    struct Scaler;
    struct Output;

    int encode(AVPixelFormat expected, const uint8_t* picture, int64_t pts);

    int srcFormat_ = AV_PIX_FMT_NONE;
    int dstFormat_ = AV_PIX_FMT_NONE;
    int dstWidth_ = 3840;
    int dstHeight_ = 2160;
    int srcWidth_ = 3840;
    int srcHeight_ = 2160;
    int frameRate_ = 30;
    int timeBaseNum_ = 1;
    int timeBaseDen_ = 1000000;
    // Given to the next picture that carries no time. Kept across files, so a
    // second file continues the times of the first.
    int64_t nextPts_ = 0;
    std::string preset_;
    std::map<std::string, std::string> metadata_;

    std::unique_ptr<Scaler> scaler_;  // empty until setConverterFmt
    std::unique_ptr<Output> output_;  // empty unless a file is being written
};

}  // namespace orvane
