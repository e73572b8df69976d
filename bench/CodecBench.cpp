// EVT 3.0 decoding and byte-order conversion, one core. Every stream is decoded
// by our decoder and by a plain switch-per-word decoder in the same run; the
// summary gives both rates and their ratio.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "Summary.h"
#include "orvane/orvane.h"
#include "support/PlainEvt3Decoder.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

std::vector<uint8_t> encoded(const std::vector<Event2D>& events) {
    Evt3Encoder encoder;
    std::vector<uint8_t> bytes;
    encoder.encode(events, bytes);
    return bytes;
}

// A stream as a camera delivers it: 16 KiB buffers.
constexpr size_t kBufferBytes = 16384;
// Real recordings are short; each is repeated to about this size so that one
// pass takes long enough to time.
constexpr size_t kRealStreamBytes = 32u << 20;

struct Stream {
    std::string name;
    std::vector<std::vector<uint8_t>> buffers;
    size_t bytes = 0;
    size_t events = 0;
};

Stream makeStream(const std::string& name, const std::vector<uint8_t>& payload, size_t atLeast) {
    Stream stream;
    stream.name = name;
    std::vector<uint8_t> all;
    const size_t whole = payload.size() & ~size_t{1};
    do {
        all.insert(all.end(), payload.begin(), payload.begin() + static_cast<long>(whole));
    } while (all.size() < atLeast);
    for (size_t pos = 0; pos < all.size(); pos += kBufferBytes) {
        stream.buffers.emplace_back(
            all.begin() + static_cast<long>(pos),
            all.begin() + static_cast<long>(std::min(all.size(), pos + kBufferBytes)));
    }
    stream.bytes = all.size();
    stream.events = test::decodeEvents(all).size();
    return stream;
}

void setRates(benchmark::State& state, const Stream& stream) {
    const double passes = double(state.iterations());
    state.counters["Mev"] =
        benchmark::Counter(double(stream.events) * passes / 1e6, benchmark::Counter::kIsRate);
    state.counters["MB"] =
        benchmark::Counter(double(stream.bytes) * passes / 1e6, benchmark::Counter::kIsRate);
}

// Our decoder into a consumer that only counts, so the figure is the decoder's own.
void decodeOurs(benchmark::State& state, const Stream& stream) {
    auto decoder = test::evt3Decoder();
    size_t events = 0;
    decoder->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        events += static_cast<size_t>(end - begin);
    });
    for (auto _ : state) {
        for (const auto& buffer : stream.buffers) {
            decoder->decode(buffer);
        }
        benchmark::ClobberMemory();
    }
    setRates(state, stream);
}

// The baseline: the plain decoder appends each buffer's events to a vector that
// keeps its capacity, as a consumer of a plain decoder would.
void decodePlain(benchmark::State& state, const Stream& stream) {
    test::PlainEvt3Decoder decoder;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    for (auto _ : state) {
        for (const auto& buffer : stream.buffers) {
            events.clear();
            triggers.clear();
            decoder.decode(buffer.data(), buffer.data() + buffer.size(), events, triggers);
            benchmark::DoNotOptimize(events.data());
        }
        benchmark::ClobberMemory();
    }
    setRates(state, stream);
}

// What no decoder that hands its events over in ranges of 2048 (the decoder's
// range, 32 KiB, which stays in L1) can beat: the stream's events written as
// bytes into such a range with memset, range after range.
void storeCeiling(benchmark::State& state, const Stream& stream) {
    constexpr size_t kRangeEvents = 2048;
    std::vector<Event2D> range(kRangeEvents);
    for (auto _ : state) {
        for (size_t left = stream.events; left > 0;) {
            const size_t n = std::min(left, kRangeEvents);
            std::memset(static_cast<void*>(range.data()), static_cast<int>(left & 0xFF),
                        n * sizeof(Event2D));
            benchmark::ClobberMemory();
            left -= n;
        }
    }
    setRates(state, stream);
}

void decodeCounting(benchmark::State& state, const Stream& stream) {
    auto decoder = test::evt3Decoder();
    size_t events = 0;
    for (auto _ : state) {
        for (const auto& buffer : stream.buffers) {
            events += decoder->decodeCounting(buffer.data(), buffer.data() + buffer.size());
        }
    }
    benchmark::DoNotOptimize(events);
    setRates(state, stream);
}

// The reader's index build over the stream held in memory. The stream's copy
// into the istringstream is not timed: it took about half the build's time, and
// the reader reads a file, not a copy.
void buildIndex(benchmark::State& state, const Stream& stream) {
    std::string bytes;
    bytes.reserve(stream.bytes);
    for (const auto& buffer : stream.buffers) {
        bytes.append(buffer.begin(), buffer.end());
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::istringstream in(bytes);
        state.ResumeTiming();
        RawFileReader::BookmarkMap bookmarks;
        RawFileReader::EventCountMap counts;
        RawFileReader::buildBookmarks(in, bookmarks, counts);
        benchmark::DoNotOptimize(bookmarks.size());
    }
    setRates(state, stream);
}

void registerStream(const Stream* stream, const std::string& aim) {
    using orvane::bench::addRatio;
    const std::string ours = "BM_Decode/" + stream->name;
    const std::string plain = "BM_PlainDecode/" + stream->name;
    const std::string counting = "BM_DecodeCounting/" + stream->name;
    for (const auto& [name, run] :
         {std::pair<std::string, void (*)(benchmark::State&, const Stream&)>{ours, decodeOurs},
          {plain, decodePlain},
          {counting, decodeCounting}}) {
        benchmark::RegisterBenchmark(
            name.c_str(), [stream, run = run](benchmark::State& state) { run(state, *stream); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    addRatio("decode / plain, " + stream->name + " (Mev/s; aim >= " + aim + ")",
             ours + "/real_time", plain + "/real_time", "Mev");
    addRatio("decodeCounting / plain, " + stream->name + " (Mev/s)", counting + "/real_time",
             plain + "/real_time", "Mev");
}

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
    return true;
}();

}  // namespace

// The generated streams and each real recording (when ../shared is present).
void registerDynamicBenchmarks() {
    static std::vector<Stream> streams;
    auto paths = orvane::test::realRecordings();
    if (paths.empty()) {
        std::printf(
            "note: real recordings absent (../shared/data/evt3); skipping their benchmarks\n");
    }
    streams.reserve(paths.size() + 2);
    streams.push_back(makeStream("dense_vector_rows", encoded(test::denseRowEvents(8'000'000)), 0));
    registerStream(&streams.back(), "6.0");
    {
        const Stream* dense = &streams.back();
        benchmark::RegisterBenchmark(
            "BM_StoreCeiling/dense_vector_rows",
            [dense](benchmark::State& state) { storeCeiling(state, *dense); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        orvane::bench::addRatio(
            "decode / memset of its events' bytes, dense_vector_rows (Mev/s; the ceiling is 1.0)",
            "BM_Decode/dense_vector_rows/real_time", "BM_StoreCeiling/dense_vector_rows/real_time",
            "Mev");
        orvane::bench::addRatio(
            "memset of the events' bytes / plain, dense_vector_rows (Mev/s; the best ratio "
            "possible)",
            "BM_StoreCeiling/dense_vector_rows/real_time",
            "BM_PlainDecode/dense_vector_rows/real_time", "Mev");
    }
    streams.push_back(
        makeStream("random_single_events", encoded(test::singleEvents(4'000'000)), 0));
    registerStream(&streams.back(), "2.5");
    for (const std::string& path : paths) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        name = name.substr(0, name.size() - 4);
        streams.push_back(makeStream(name, test::readRawFile(path).payload, kRealStreamBytes));
        registerStream(&streams.back(), "2.0");
        const std::string index = "BM_IndexBuild/" + name;
        const Stream* stream = &streams.back();
        benchmark::RegisterBenchmark(
            index.c_str(), [stream](benchmark::State& state) { buildIndex(state, *stream); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        // Time of the index build over time of one plain decode.
        orvane::bench::addRatio("index build / plain decode time, " + name + " (aim <= 1.0)",
                                "BM_PlainDecode/" + name + "/real_time", index + "/real_time",
                                "MB");
    }
}
