// The live path of each camera family: the simulated camera replays a real
// recording as fast as it is read, and the acquisition thread decodes, batches
// by time, calls one callback and records the raw stream; the fusion camera
// also swaps the bytes of each buffer back (its USB bridge sends them swapped)
// and counts every event into the fusion image. Heap allocations are counted
// per thread, so the figure is the acquisition thread's alone (the simulator
// allocates its own buffers, as USB transfers would not).

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <new>

#include <time.h>

#include "Summary.h"
#include "orvane/orvane.h"
#include "orvane/sim/sim.h"
#include "support/SimDevices.h"
#include "support/Streams.h"

namespace {
thread_local uint64_t tAllocations = 0;
}

// Counting allocator for the whole benchmark program.
void* operator new(std::size_t size) {
    ++tAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace orvane;

// CPU time of the calling thread: the callback runs on the acquisition thread.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

// The calls that differ between the two families.
struct EventCameraPath {
    static constexpr sim::Product kProduct = sim::Product::EVK4;
    static constexpr const char* kName = "live path (decode + 1 ms batches + callback + recording)";
    static std::shared_ptr<DvsCamera> open(DvsCameraManager& manager, const std::string& serial) {
        return manager.openCamera(serial);
    }
    static void start(DvsCamera& camera, const std::string& path) {
        camera.startRecording(path);
        camera.start();
    }
    static void stop(DvsCamera& camera) {
        camera.stopRecording();
        camera.stop();
    }
};

struct FusionCameraPath {
    static constexpr sim::Product kProduct = sim::Product::Tandro;
    static constexpr const char* kName =
        "fusion live path (byte swap + decode + fusion image + 1 ms batches + callback + "
        "recording)";
    static std::shared_ptr<FusionCamera> open(DvsCameraManager& manager,
                                              const std::string& serial) {
        return manager.openFusionCamera(serial);
    }
    static void start(FusionCamera& camera, const std::string& path) {
        camera.startRecording(path, STREAM_DVS);
        camera.start(STREAM_DVS);
    }
    static void stop(FusionCamera& camera) {
        camera.stopRecording(STREAM_DVS);
        camera.stop(STREAM_DVS);
    }
};

// The event camera's rate per recording, for the fusion camera's note beside it.
std::map<std::string, double>& eventCameraRates() {
    static std::map<std::string, double> rates;
    return rates;
}

template <typename Path>
void BM_LivePath(benchmark::State& state, std::string source) {
    test::ScratchDir dir;
    std::vector<uint8_t> payload;
    {
        const std::vector<uint8_t> once = test::readRawFile(source).payload;
        while (payload.size() < (32u << 20)) {
            payload.insert(payload.end(), once.begin(), once.begin() + (once.size() & ~size_t{1}));
        }
    }
    const std::string replay = dir.file("replay.raw");
    test::writeRawFile(replay, "% evt 3.0\n% end\n", payload);
    const uint64_t expected = [&] {
        auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"));
        return decoder->decodeCounting(payload.data(), payload.data() + payload.size());
    }();

    double cpuSeconds = 0, wallSeconds = 0, perBuffer = 0, steadyAllocations = 0;
    // Buffers of the steady three quarters.
    const double buffers = double(payload.size()) * 0.75 / double(Imx6x6Sensor::kTransferBytes);
    for (auto _ : state) {
        sim::DeviceConfig config;
        config.product = Path::kProduct;
        config.serial = test::uniqueSerial("LIVE");
        config.scene = sim::Scene::Replay;
        config.replayFile = replay;
        config.pacing = sim::Pacing::AsFastAsRead;
        config.sleepDelays = false;
        test::PluggedDevice plugged(config);
        DvsCameraManager manager;
        manager.updateCameras();
        auto camera = Path::open(manager, plugged.serial());
        if (!camera) {
            state.SkipWithError("no simulated camera");
            return;
        }
        camera->setBatchEventsTime(1000);
        // The steady state: from a quarter of the stream to its end.
        std::mutex mutex;
        std::condition_variable done;
        uint64_t received = 0, allocationsAtQuarter = 0, allocationsAtEnd = 0;
        double cpuAtQuarter = 0, cpuAtEnd = 0;
        std::chrono::steady_clock::time_point wallAtQuarter, wallAtEnd;
        camera->addEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
            std::lock_guard<std::mutex> lock(mutex);
            const uint64_t before = received;
            received += static_cast<uint64_t>(e - b);
            if (before < expected / 4 && received >= expected / 4) {
                allocationsAtQuarter = tAllocations;
                cpuAtQuarter = threadSeconds();
                wallAtQuarter = std::chrono::steady_clock::now();
            }
            if (received >= expected) {
                allocationsAtEnd = tAllocations;
                cpuAtEnd = threadSeconds();
                wallAtEnd = std::chrono::steady_clock::now();
                done.notify_all();
            }
        });
        Path::start(*camera, dir.file("live.raw"));
        bool complete;
        {
            std::unique_lock<std::mutex> lock(mutex);
            complete =
                done.wait_for(lock, std::chrono::seconds(60), [&] { return received >= expected; });
        }
        Path::stop(*camera);
        if (!complete) {
            state.SkipWithError("the replay did not arrive whole within 60 s");
            return;
        }
        steadyAllocations = double(allocationsAtEnd - allocationsAtQuarter);
        perBuffer = steadyAllocations / buffers;
        cpuSeconds = cpuAtEnd - cpuAtQuarter;
        wallSeconds = std::chrono::duration<double>(wallAtEnd - wallAtQuarter).count();
    }
    // Rates over the steady three quarters: per CPU second of the acquisition
    // thread (one core), and per wall second (bounded by the simulator too).
    const double events = double(expected) * 0.75;
    state.counters["Mev_cpu"] = events / cpuSeconds / 1e6;
    state.counters["Mev_wall"] = events / wallSeconds / 1e6;
    state.counters["allocs_per_buffer"] = perBuffer;
    state.counters["allocs"] = steadyAllocations;
    const std::string name = source.substr(source.find_last_of('/') + 1);
    const double rate = events / cpuSeconds / 1e6;
    std::string beside;
    if (Path::kProduct == sim::Product::EVK4) {
        eventCameraRates()[name] = rate;
    } else if (eventCameraRates().count(name)) {
        beside = format(", %.2fx the event camera's", rate / eventCameraRates()[name]);
    }
    bench::addNote(std::string(Path::kName) + ", " + name +
                   format(": %.0f Mev/s per acquisition-thread CPU second (aim >= 150), %.0f Mev/s "
                          "wall, %.3f allocations per buffer (aim 0)",
                          rate, events / wallSeconds / 1e6, perBuffer) +
                   format(" (%.0f in %.0f buffers)", steadyAllocations, buffers) + beside);
}

}  // namespace

void registerLiveBenchmarks() {
    for (const std::string& path : test::realRecordings()) {
        if (path.find("1280x720") == std::string::npos) {
            continue;
        }
        const std::string file = path.substr(path.find_last_of('/') + 1);
        const std::string name = "BM_LivePath/" + file;
        benchmark::RegisterBenchmark(name.c_str(), BM_LivePath<EventCameraPath>, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
        const std::string fusion = "BM_FusionLivePath/" + file;
        benchmark::RegisterBenchmark(fusion.c_str(), BM_LivePath<FusionCameraPath>, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }
}
