// The fusion camera: its event path beside the event camera's, and recording
// 4K pictures on this machine's cores (encoder presets, memory).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "Summary.h"
#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/Pictures.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

constexpr size_t kEvents = 1 << 20;
constexpr size_t kRange = 4096;        // events per decoded range
constexpr uint64_t kPulseUs = 33'333;  // a frame pulse every 1/30 s of sensor time
constexpr double kEventsPerUs = 10.0;  // 10 Mev/s of sensor time
constexpr uint64_t kBatchEvents = 100'000;

// Events scattered over the sensor, time-ordered.
const std::vector<Event2D>& scatteredEvents() {
    static const std::vector<Event2D> events = [] {
        std::mt19937 random(7);
        std::vector<Event2D> list(kEvents);
        for (size_t i = 0; i < kEvents; ++i) {
            list[i] = Event2D(uint16_t(random() % 1280), uint16_t(random() % 720),
                              uint8_t(random() & 1), uint64_t(double(i) / kEventsPerUs));
        }
        return list;
    }();
    return events;
}

struct EventFeeder : DvsEventCamera {
    EventFeeder() : DvsEventCamera(CameraDescription{}) {}
    void feed(const Event2D* b, const Event2D* e) { eventStreamArrvied(b, e); }
    void pulse(uint64_t) {}
};

struct FusionFeeder : TandroCamera {
    FusionFeeder() : TandroCamera(CameraDescription{}) {}
    void feed(const Event2D* b, const Event2D* e) { eventStreamArrvied(b, e); }
    void pulse(uint64_t t) { triggerInArrvied(EventTriggerIn(0, 1, t)); }
};

// What the acquisition thread does per decoded range: batching by count, one
// callback, and on the fusion camera counting into the image and a pulse per frame.
template <typename Feeder>
void eventPath(benchmark::State& state) {
    Feeder feeder;
    uint64_t seen = 0;
    feeder.addEventsStreamHandleCallback(
        [&](const Event2D* b, const Event2D* e) { seen += uint64_t(e - b); });
    feeder.setBatchEventsNum(kBatchEvents);
    const std::vector<Event2D>& events = scatteredEvents();
    uint64_t base = 0;
    for (auto _ : state) {
        uint64_t nextPulse = base + kPulseUs;
        for (size_t i = 0; i < events.size(); i += kRange) {
            feeder.feed(events.data() + i, events.data() + std::min(i + kRange, events.size()));
            const uint64_t t = base + events[std::min(i + kRange, events.size()) - 1].timestamp;
            if (t >= nextPulse) {
                feeder.pulse(nextPulse);
                nextPulse += kPulseUs;
            }
        }
        base += events.back().timestamp + 1;
    }
    benchmark::DoNotOptimize(seen);
    state.counters["Mev"] = benchmark::Counter(
        double(events.size()) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void BM_EventCameraEventPath(benchmark::State& state) {
    eventPath<EventFeeder>(state);
}
void BM_FusionEventPath(benchmark::State& state) {
    eventPath<FusionFeeder>(state);
}
BENCHMARK(BM_EventCameraEventPath)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FusionEventPath)->Unit(benchmark::kMillisecond)->UseRealTime();

// A simulated Tandro streaming both streams in real time, shared by the
// recording benchmarks.
struct LiveTandro {
    LiveTandro() {
        sim::DeviceConfig config;
        config.product = sim::Product::Tandro;
        config.serial = "BENCH-TANDRO";
        config.sleepDelays = false;
        config.eventRate = 2e6;
        sim::SimulatedBus::instance().plug(config);
        manager.updateCameras();
        camera = std::dynamic_pointer_cast<TandroCamera>(manager.openFusionCamera(config.serial));
        if (camera && camera->start(STREAM_BOTH) != 0) {
            camera.reset();
        }
    }
    ~LiveTandro() {
        if (camera) {
            camera->stop(STREAM_BOTH);
        }
        sim::SimulatedBus::instance().unplug("BENCH-TANDRO");
    }
    DvsCameraManager manager;
    std::shared_ptr<TandroCamera> camera;
};

LiveTandro& liveTandro() {
    static LiveTandro live;
    return live;
}

// Records `seconds` of both streams; the seconds the recording took, stop included.
double record(TandroCamera& camera, const std::string& base, double seconds, STREAM_TYPE type) {
    const auto started = std::chrono::steady_clock::now();
    camera.startRecording(base, type);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the recording's length
    camera.stopRecording(type);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// Each preset the live recording could use, and the converter's default ("").
template <typename Function>
int registerPresets(const char* name, Function function) {
    for (const char* preset : {"ultrafast", "superfast", "veryfast", ""}) {
        const std::string full = std::string(name) + "/" + (*preset ? preset : "default");
        benchmark::RegisterBenchmark(full.c_str(), function, preset)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }
    return 0;
}

// Pictures kept per second of 4K at 30/s, by encoder preset ("" = the
// encoder's default, which the general converter keeps).
void BM_Record4KPreset(benchmark::State& state, const char* preset) {
    test::quietFFmpegLog();
    LiveTandro& live = liveTandro();
    if (!live.camera) {
        state.SkipWithError("no simulated fusion camera");
        return;
    }
    test::ScratchDir dir;
    constexpr double kSeconds = 3.0;
    double took = 0;
    for (auto _ : state) {
        live.camera->setVideoPreset(preset);
        took = record(*live.camera, dir.file("preset"), kSeconds, STREAM_APS);
    }
    live.camera->setVideoPreset(TandroCamera::kLiveVideoPreset);
    const double kept = double(live.camera->recordedPicturesKept());
    const double received = double(live.camera->recordedPicturesReceived());
    state.counters["kept/s"] = kept / kSeconds;
    state.counters["received/s"] = received / kSeconds;
    char note[160];
    std::snprintf(note, sizeof note,
                  "4K recording, preset %-9s: kept %3.0f of %3.0f pictures in %.0f s "
                  "(%4.1f/s), stop took %.1f s",
                  *preset ? preset : "default", kept, received, kSeconds, kept / kSeconds,
                  took - kSeconds);
    bench::addNote(note);
}
const int kRecord4KPresetRegistered = registerPresets("BM_Record4KPreset", BM_Record4KPreset);

// The same presets on a camera-like 4K scene (soft bands under a fine texture,
// panning), which costs the encoder more than the simulator's plain bands:
// pictures encoded per second, the flush included.
void BM_Encode4KScenePreset(benchmark::State& state, const char* preset) {
    test::quietFFmpegLog();
    constexpr int kPictures = 15;
    std::vector<std::vector<uint8_t>> scene;
    for (int i = 0; i < 4; ++i) {
        scene.push_back(test::nv12Scene(3840, 2160, i));
    }
    test::ScratchDir dir;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DataToVideoConverter converter;
        converter.setConverterFrameSize(2160, 3840, 2160, 3840);
        converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
        converter.setEncoderPreset(preset);
        if (converter.initVideoConverter(dir.file("scene.mp4")) != 0) {
            state.SkipWithError("encoder did not open");
            return;
        }
        for (int i = 0; i < kPictures; ++i) {
            converter.nv12ToViedo(scene[size_t(i) % scene.size()].data(), -1);
        }
        converter.flushAndCloseVideo();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = kPictures * double(state.iterations()) / seconds;
    state.counters["pictures"] = rate;
    char note[160];
    std::snprintf(note, sizeof note,
                  "4K camera-like scene, preset %-9s: %4.1f pictures/s encoded (%.2fx real time)",
                  *preset ? preset : "default", rate, rate / 30.0);
    bench::addNote(note);
}
const int kEncode4KScenePresetRegistered =
    registerPresets("BM_Encode4KScenePreset", BM_Encode4KScenePreset);

// Resident set size figures of this process, kB: "VmRSS" or "VmHWM" (peak).
long statusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// The peak memory a 10 s recording of both streams adds to a streaming camera.
void BM_Record10sBothPeakMemory(benchmark::State& state) {
    test::quietFFmpegLog();
    LiveTandro& live = liveTandro();
    if (!live.camera) {
        state.SkipWithError("no simulated fusion camera");
        return;
    }
    test::ScratchDir dir;
    long before = 0, peak = 0;
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak from now
        before = statusKb("VmRSS");
        record(*live.camera, dir.file("both"), 10.0, STREAM_BOTH);
        peak = statusKb("VmHWM");
    }
    state.counters["peak MB"] = double(peak - before) / 1024.0;
    char note[160];
    std::snprintf(note, sizeof note,
                  "10 s recording of both streams: peak memory %.0f MB above streaming "
                  "(%.0f MB before); video kept %llu of %llu pictures",
                  double(peak - before) / 1024.0, double(before) / 1024.0,
                  static_cast<unsigned long long>(live.camera->recordedPicturesKept()),
                  static_cast<unsigned long long>(live.camera->recordedPicturesReceived()));
    bench::addNote(note);
}
BENCHMARK(BM_Record10sBothPeakMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

const bool kRatios = [] {
    bench::addRatio("fusion event path / event camera's (Mev/s ratio)",
                    "BM_FusionEventPath/real_time", "BM_EventCameraEventPath/real_time", "Mev");
    return true;
}();

}  // namespace
