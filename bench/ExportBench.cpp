// Rendering a recording to video: the reader's time slices, the event pictures
// and the H.264 encoder together, as `exportEventDataToVideo` runs them.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "Summary.h"
#include "orvane/orvane.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

// About 3 s of the dense bench scene (about 12 Mev/s).
constexpr uint64_t kPayloadBytes = uint64_t{40} << 20;

void BM_ExportToVideo(benchmark::State& state) {
    test::quietFFmpegLog();
    test::ScratchDir dir;
    const std::string path = dir.file("export.raw");
    test::writeSceneRecording(path, kPayloadBytes, 2);
    RawFileReader reader(path);
    if (!reader.loadFile()) {
        state.SkipWithError("could not load the recording");
        return;
    }
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    const double recorded = double(end - start) / 1e6;

    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!reader.exportEventDataToVideo(start, end, dir.file("export.mp4"))) {
            state.SkipWithError("export failed");
            return;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = recorded * double(state.iterations()) / wall;
    state.counters["recording_s"] =
        benchmark::Counter(recorded * double(state.iterations()), benchmark::Counter::kIsRate);
    // The scene is dense: every slice holds events, so every slice is a picture.
    const double pictures = std::ceil(double(end - start) / 33333.0);
    state.counters["pictures"] =
        benchmark::Counter(pictures * double(state.iterations()), benchmark::Counter::kIsRate);
    char note[160];
    std::snprintf(note, sizeof note,
                  "export to video: %.2f recording-seconds per second (%.1f s of 1280x720 "
                  "events)",
                  rate, recorded);
    bench::addNote(note);
}

BENCHMARK(BM_ExportToVideo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

const bool kRatios = [] {
    bench::addRatio("export / 720p BGR encoding alone (pictures/s ratio)",
                    "BM_ExportToVideo/iterations:2/real_time",
                    "BM_EncodeBgr720p/iterations:2/real_time", "pictures");
    return true;
}();

}  // namespace
