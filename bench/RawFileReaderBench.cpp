// Reading a large raw recording: building the index against one plain decode of
// the same payload, reopening with the side file, seek latency and query speed.
//
// The recording is generated into a temporary directory on first use and removed
// at exit. ORVANE_BENCH_RAW_MIB sets its payload size (default 1024 MiB).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "PlainDecode.h"
#include "Summary.h"
#include "orvane/orvane.h"
#include "support/ReferenceIndex.h"
#include "support/Streams.h"

namespace {

using namespace orvane;
using bench::plainDecode;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

struct Recording {
    std::unique_ptr<test::ScratchDir> dir;
    std::string path;
    uint64_t mib = 0;
    uint64_t events = 0;
};

const Recording& recording() {
    static const Recording made = [] {
        Recording r;
        const char* size = std::getenv("ORVANE_BENCH_RAW_MIB");
        r.mib = size ? std::max<uint64_t>(1, std::strtoull(size, nullptr, 10)) : 1024;
        r.dir = std::make_unique<test::ScratchDir>();
        r.path = r.dir->file("bench.raw");
        const auto start = Clock::now();
        r.events = test::writeSceneRecording(r.path, r.mib << 20, 1);
        std::printf("raw reader: generated %llu MiB recording (%.0f Mev) in %.1f s\n",
                    static_cast<unsigned long long>(r.mib), double(r.events) / 1e6,
                    secondsSince(start));
        return r;
    }();
    return made;
}

std::unique_ptr<RawFileReader> loaded(const std::string& path) {
    auto reader = std::make_unique<RawFileReader>(path);
    if (!reader->loadFile()) {
        std::fprintf(stderr, "raw reader bench: cannot load %s\n", path.c_str());
        std::abort();
    }
    return reader;
}

// Index build (no side file) and plain decode, alternated; the best of three of
// each, so that the other core's load hits both alike.
void BM_RawIndexBuildVsPlainDecode(benchmark::State& state) {
    const Recording& r = recording();
    const std::string side = BookmarkFile::pathFor(r.path);
    double decode = 1e30, index = 1e30;
    size_t bookmarks = 0;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            auto start = Clock::now();
            benchmark::DoNotOptimize(plainDecode(r.path, 354));
            decode = std::min(decode, secondsSince(start));
            std::filesystem::remove(side);
            start = Clock::now();
            bookmarks = loaded(r.path)->getBookmarks().size();
            index = std::min(index, secondsSince(start));
        }
    }
    state.counters["decode_s"] = decode;
    state.counters["index_s"] = index;
    state.counters["ratio"] = index / decode;
    state.counters["bookmarks"] = double(bookmarks);
    bench::addNote(format("raw reader: index build / plain decode, %.0f MiB: %.3f (%.2f s / ",
                          double(r.mib), index / decode, index) +
                   format("%.2f s; aim <= 1.0)", decode));
}

// The word-by-word reference on a prefix (it is slow), against a plain decode of
// the same prefix.
void BM_RawIndexReferenceVsPlainDecode(benchmark::State& state) {
    const Recording& r = recording();
    const uint64_t prefixBytes = std::min<uint64_t>(r.mib, 64) << 20;
    const std::string prefix = r.dir->file("prefix.raw");
    {
        std::ifstream in(r.path, std::ios::binary);
        std::vector<char> bytes(354 + prefixBytes);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(prefix, std::ios::binary).write(bytes.data(), in.gcount());
    }
    double decode = 1e30, reference = 1e30;
    bool same = true;
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(plainDecode(prefix, 354));
        decode = std::min(decode, secondsSince(start));

        std::ifstream in(prefix, std::ios::binary);
        in.seekg(354);
        auto decoder = test::evt3Decoder();
        RawFileReader::BookmarkMap slow, fast;
        RawFileReader::EventCountMap slowCounts, fastCounts;
        start = Clock::now();
        test::buildBookmarksReference(in, *decoder, slow, slowCounts);
        reference = std::min(reference, secondsSince(start));

        std::ifstream again(prefix, std::ios::binary);
        again.seekg(354);
        RawFileReader::buildBookmarks(again, fast, fastCounts);
        same = same && fast == slow && fastCounts == slowCounts;
    }
    std::filesystem::remove(prefix);
    state.counters["ratio"] = reference / decode;
    bench::addNote(
        format("raw reader: reference index build / plain decode, on a %.0f MiB prefix: %.3f",
               double(prefixBytes >> 20), reference / decode) +
        (same ? " (same bookmarks as the fast build)" : " (BOOKMARKS DIFFER)"));
}

// Reopening with a valid side file: header and side file only.
void BM_RawSecondOpen(benchmark::State& state) {
    const Recording& r = recording();
    loaded(r.path);  // makes sure the side file is there
    double best = 1e30;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto reader = loaded(r.path);
        best = std::min(best, secondsSince(start));
        benchmark::DoNotOptimize(reader->getBookmarks().size());
    }
    bench::addNote(
        format("raw reader: second open with side file: %.2f ms (best), aim < 10 ms", best * 1e3));
}

void reportLatencies(std::vector<double>& latencies, const char* what) {
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    const double p99 = latencies[latencies.size() * 99 / 100];
    bench::addNote(std::string("raw reader: ") + what +
                   format(" latency: median %.3f ms, 99th percentile %.3f ms (aim: median < 1 ms)",
                          median * 1e3, p99 * 1e3));
}

void BM_RawSeekTime(benchmark::State& state) {
    auto reader = loaded(recording().path);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    std::mt19937_64 random(1);
    std::vector<double> latencies;
    for (auto _ : state) {
        const uint64_t t = start + random() % (end - start + 1);
        const auto begin = Clock::now();
        benchmark::DoNotOptimize(reader->seekTime(t));
        latencies.push_back(secondsSince(begin));
    }
    reportLatencies(latencies, "seekTime");
}

void BM_RawSeekNEvents(benchmark::State& state) {
    auto reader = loaded(recording().path);
    uint64_t max = 0;
    reader->getMaxEvents(max);
    std::mt19937_64 random(2);
    std::vector<double> latencies;
    for (auto _ : state) {
        const uint64_t k = random() % (max + 1);
        const auto begin = Clock::now();
        benchmark::DoNotOptimize(reader->seekNEvents(k));
        latencies.push_back(secondsSince(begin));
    }
    reportLatencies(latencies, "seekNEvents");
}

// The whole recording in 10 ms slices, against the plain decode's event rate.
void BM_RawGetNTimeEvents(benchmark::State& state) {
    const Recording& r = recording();
    auto reader = loaded(r.path);
    uint64_t events = 0;
    double seconds = 0;
    for (auto _ : state) {
        reader->seekNEvents(0);
        const auto start = Clock::now();
        while (!reader->reachedEndOfEvents()) {
            events += reader->getNTimeEvents(10000)->size();
        }
        seconds = secondsSince(start);
    }
    const auto start = Clock::now();
    const uint64_t decoded = plainDecode(r.path, 354);
    const double decodeSeconds = secondsSince(start);
    state.counters["Mev/s"] = double(events) / seconds / 1e6;
    bench::addNote(format("raw reader: getNTimeEvents(10000) walk: %.0f Mev/s (plain decode %.0f "
                          "Mev/s, ratio %.2f)",
                          double(events) / seconds / 1e6, double(decoded) / decodeSeconds / 1e6,
                          (double(events) / seconds) / (double(decoded) / decodeSeconds)) +
                   (events == r.events ? "" : " EVENT COUNT DIFFERS"));
}

BENCHMARK(BM_RawIndexBuildVsPlainDecode)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_RawIndexReferenceVsPlainDecode)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_RawSecondOpen)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_RawSeekTime)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_RawSeekNEvents)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_RawGetNTimeEvents)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
