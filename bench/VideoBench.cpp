// Video: picture conversion, H.264 encoding and MP4 reading, on this machine's
// cores (libx264 and FFmpeg's decoder run their own threads, so times are real).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "Summary.h"
#include "orvane/orvane.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

constexpr int kFrameRate = 30;
constexpr int kPicturesPerFile = 30;  // one second of video
constexpr int kScenePictures = 8;     // distinct pictures, cycled
// An export picture of a busy slice: 2 % of the pixels had an event.
constexpr double kEventFraction = 0.02;

struct Size {
    int width, height;
};
constexpr Size k4K{3840, 2160};
constexpr Size k720p{1280, 720};

// What each encoder user hands in: camera scenes as NV12 (fusion recording),
// event pictures as BGR (export).
std::vector<std::vector<uint8_t>> scene(Size size, AVPixelFormat format) {
    test::quietFFmpegLog();
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < kScenePictures; ++i) {
        pictures.push_back(format == AV_PIX_FMT_NV12
                               ? test::nv12Scene(size.width, size.height, i)
                               : test::bgrEventPicture(size.width, size.height, i, kEventFraction));
    }
    return pictures;
}

// Writes one second of video as the recorders do: open, 30 pictures, close.
bool writeFile(const std::string& path, Size size, AVPixelFormat format,
               const std::vector<std::vector<uint8_t>>& pictures) {
    DataToVideoConverter converter;
    converter.setConverterFrameSize(size.height, size.width, size.height, size.width);
    converter.setConverterFmt(format, AV_PIX_FMT_YUV420P);
    if (converter.initVideoConverter(path) != 0) {
        return false;
    }
    for (int i = 0; i < kPicturesPerFile; ++i) {
        const uint8_t* picture = pictures[i % pictures.size()].data();
        const int result = format == AV_PIX_FMT_NV12 ? converter.nv12ToViedo(picture, -1)
                                                     : converter.rgbToVideo(picture);
        if (result != 0) {
            return false;
        }
    }
    return converter.flushAndCloseVideo() == 0;
}

// The fusion camera's frame thread: one 4K NV12 picture to BGR per frame.
void BM_Nv12ToBgr4K(benchmark::State& state) {
    const std::vector<uint8_t> nv12 = test::nv12Scene(k4K.width, k4K.height, 0);
    std::vector<uint8_t> bgr(size_t(k4K.width) * k4K.height * 3);
    DataToVideoConverter converter;
    converter.setConverterFrameSize(k4K.height, k4K.width, k4K.height, k4K.width);
    converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_BGR24);
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (converter.nv12ToRGB(nv12.data(), bgr.data()) != 0) {
            state.SkipWithError("conversion failed");
            return;
        }
        benchmark::ClobberMemory();
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count() /
        double(state.iterations());
    char note[128];
    std::snprintf(note, sizeof note,
                  "4K NV12 -> BGR: %.1f ms per picture (%.0f%% of a frame at %d/s)", ms,
                  ms * kFrameRate / 10.0, kFrameRate);
    bench::addNote(note);
    state.counters["GB"] = benchmark::Counter(double(bgr.size()) * double(state.iterations()) / 1e9,
                                              benchmark::Counter::kIsRate);
}

// Baseline: copying the BGR picture it writes.
void BM_MemcpyBgr4K(benchmark::State& state) {
    const std::vector<uint8_t> source(size_t(k4K.width) * k4K.height * 3, 0x70);
    std::vector<uint8_t> target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    state.counters["GB"] = benchmark::Counter(
        double(source.size()) * double(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

// One iteration is a whole one-second file, flush included: libx264 holds up
// to its look-ahead of pictures back, so per-call figures would flatter it.
void encodeFiles(benchmark::State& state, Size size, AVPixelFormat format, const char* label) {
    const auto pictures = scene(size, format);
    test::ScratchDir dir;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!writeFile(dir.file("bench.mp4"), size, format, pictures)) {
            state.SkipWithError("encoding failed");
            return;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = kPicturesPerFile * double(state.iterations()) / seconds;
    state.counters["pictures"] = benchmark::Counter(
        double(kPicturesPerFile) * double(state.iterations()), benchmark::Counter::kIsRate);
    char note[160];
    std::snprintf(note, sizeof note, "%s encoding: %.1f pictures/s = %.2f x real time (%d/s)%s",
                  label, rate, rate / kFrameRate, kFrameRate,
                  rate >= kFrameRate ? "" : ": cannot keep up live");
    bench::addNote(note);
}

void BM_EncodeBgr720p(benchmark::State& state) {
    encodeFiles(state, k720p, AV_PIX_FMT_BGR24, "1280x720 BGR (event pictures)");
}
void BM_EncodeNv12_4K(benchmark::State& state) {
    encodeFiles(state, k4K, AV_PIX_FMT_NV12, "3840x2160 NV12 (camera scene)");
}

// Mp4FileReader on a one-second 4K recording: load (index) and every picture
// as BGR.
void BM_Mp4Read4K(benchmark::State& state) {
    test::ScratchDir dir;
    const std::string path = dir.file("read.mp4");
    if (!writeFile(path, k4K, AV_PIX_FMT_NV12, scene(k4K, AV_PIX_FMT_NV12))) {
        state.SkipWithError("could not write the file to read");
        return;
    }
    int64_t pictures = 0;
    for (auto _ : state) {
        Mp4FileReader reader(path);
        if (!reader.loadFile()) {
            state.SkipWithError("could not load the file");
            return;
        }
        ApsFrame frame;
        while (reader.getNextFrame(frame)) {
            ++pictures;
        }
    }
    if (pictures != kPicturesPerFile * int64_t(state.iterations())) {
        state.SkipWithError("pictures went missing");
    }
    state.counters["pictures"] = benchmark::Counter(double(pictures), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Nv12ToBgr4K)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);
BENCHMARK(BM_MemcpyBgr4K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeBgr720p)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_EncodeNv12_4K)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Mp4Read4K)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

const bool kRatios = [] {
    using orvane::bench::addRatio;
    addRatio("4K NV12 -> BGR / memcpy of the BGR picture (GB/s ratio)",
             "BM_Nv12ToBgr4K/iterations:30/real_time", "BM_MemcpyBgr4K/real_time", "GB");
    addRatio("4K NV12 / 720p BGR encoding (pictures/s ratio; 9x the pixels)",
             "BM_EncodeNv12_4K/iterations:1/real_time", "BM_EncodeBgr720p/iterations:2/real_time",
             "pictures");
    addRatio("4K reading / 4K encoding (pictures/s ratio)", "BM_Mp4Read4K/iterations:2/real_time",
             "BM_EncodeNv12_4K/iterations:1/real_time", "pictures");
    return true;
}();

}  // namespace
