// EVT 3.0 decoding and byte-order conversion, one core.

#include <benchmark/benchmark.h>

#include <cstring>

#include "Summary.h"
#include "orvane/orvane.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

std::vector<uint8_t> encoded(const std::vector<Event2D>& events) {
    Evt3Encoder encoder;
    std::vector<uint8_t> bytes;
    encoder.encode(events, bytes);
    return bytes;
}

const std::vector<uint8_t>& vectorHeavy() {
    static const std::vector<uint8_t> bytes = encoded(test::denseRowEvents(8'000'000));
    return bytes;
}
const std::vector<uint8_t>& singleEventStream() {
    static const std::vector<uint8_t> bytes = encoded(test::singleEvents(4'000'000));
    return bytes;
}

// Decodes the whole payload per iteration into a consumer that only counts, so
// the figure is the decoder's own.
void decodeAll(benchmark::State& state, const std::vector<uint8_t>& payload) {
    auto decoder = test::evt3Decoder();
    size_t events = 0;
    decoder->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        events += static_cast<size_t>(end - begin);
    });
    for (auto _ : state) {
        decoder->decode(payload);
        benchmark::ClobberMemory();
    }
    state.counters["Mev"] = benchmark::Counter(double(events) / 1e6, benchmark::Counter::kIsRate);
    state.counters["MB"] = benchmark::Counter(
        double(payload.size()) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void countAll(benchmark::State& state, const std::vector<uint8_t>& payload) {
    auto decoder = test::evt3Decoder();
    size_t events = 0;
    for (auto _ : state) {
        events += decoder->decodeCounting(payload.data(), payload.data() + payload.size());
    }
    state.counters["Mev"] = benchmark::Counter(double(events) / 1e6, benchmark::Counter::kIsRate);
    state.counters["MB"] = benchmark::Counter(
        double(payload.size()) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void BM_DecodeVectorHeavy(benchmark::State& state) {
    decodeAll(state, vectorHeavy());
}
void BM_DecodeSingleEvents(benchmark::State& state) {
    decodeAll(state, singleEventStream());
}
void BM_DecodeCountingVectorHeavy(benchmark::State& state) {
    countAll(state, vectorHeavy());
}
void BM_DecodeCountingSingleEvents(benchmark::State& state) {
    countAll(state, singleEventStream());
}
BENCHMARK(BM_DecodeVectorHeavy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeSingleEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeCountingVectorHeavy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeCountingSingleEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

// Byte-order conversion of a fusion camera buffer, against memcpy of the same size.
std::vector<uint8_t>& byteBuffer(size_t size) {
    static std::vector<uint8_t> buffer;
    buffer.assign(size, 0x5A);
    return buffer;
}

void BM_ConvertEndian(benchmark::State& state) {
    auto& buffer = byteBuffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        convertEndian(buffer);
        benchmark::ClobberMemory();
    }
    state.counters["GB"] = benchmark::Counter(
        double(buffer.size()) * double(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

// The portable path, as on a CPU without SSE2 or AVX2.
void BM_ConvertEndianScalar(benchmark::State& state) {
    auto& buffer = byteBuffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        convertEndian(buffer.data(), buffer.size(), ByteSwapPath::Scalar);
        benchmark::ClobberMemory();
    }
    state.counters["GB"] = benchmark::Counter(
        double(buffer.size()) * double(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

void BM_Memcpy(benchmark::State& state) {
    auto& buffer = byteBuffer(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> target(buffer.size());
    for (auto _ : state) {
        std::memcpy(target.data(), buffer.data(), buffer.size());
        benchmark::ClobberMemory();
    }
    state.counters["GB"] = benchmark::Counter(
        double(buffer.size()) * double(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertEndian)->Arg(1 << 20)->Arg(64 << 20)->UseRealTime();
BENCHMARK(BM_ConvertEndianScalar)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_Memcpy)->Arg(1 << 20)->Arg(64 << 20)->UseRealTime();

const bool kRatios = [] {
    using orvane::bench::addRatio;
    addRatio("convertEndian / memcpy, 1 MiB (GB/s ratio; aim >= 0.5)",
             "BM_ConvertEndian/1048576/real_time", "BM_Memcpy/1048576/real_time", "GB");
    addRatio("convertEndian / memcpy, 64 MiB (GB/s ratio; aim >= 0.5)",
             "BM_ConvertEndian/67108864/real_time", "BM_Memcpy/67108864/real_time", "GB");
    addRatio("convertEndian scalar path / chosen path, 1 MiB (GB/s ratio)",
             "BM_ConvertEndianScalar/1048576/real_time", "BM_ConvertEndian/1048576/real_time",
             "GB");
    addRatio("decodeCounting / decode, vector-heavy (Mev/s ratio)",
             "BM_DecodeCountingVectorHeavy/real_time", "BM_DecodeVectorHeavy/real_time", "Mev");
    return true;
}();

}  // namespace

// Each real recording, when ../shared is present.
void registerDynamicBenchmarks() {
    static std::vector<std::vector<uint8_t>> payloads;
    auto paths = orvane::test::realRecordings();
    if (paths.empty()) {
        std::printf(
            "note: real recordings absent (../shared/data/evt3); skipping their benchmarks\n");
    }
    payloads.reserve(paths.size());
    for (const std::string& path : paths) {
        payloads.push_back(orvane::test::readRawFile(path).payload);
        const std::vector<uint8_t>* payload = &payloads.back();
        std::string name = "BM_DecodeReal/" + path.substr(path.find_last_of('/') + 1);
        benchmark::RegisterBenchmark(
            name.c_str(), [payload](benchmark::State& state) { decodeAll(state, *payload); })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
}
