// HDF5 export and import of a recording against one plain decode of the same
// recording, in the same run: what `orvane convert` costs beyond reading.
//
// ORVANE_BENCH_H5_MIB sets the recording's payload size (default 64 MiB).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PlainDecode.h"
#include "Summary.h"
#include "orvane/orvane.h"
#include "support/Streams.h"

namespace {

using namespace orvane;
using bench::plainDecode;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The floor of an uncompressed export: the columns' bytes (13 per event)
// written to a file in the same directory, with no HDF5 in between.
void writeColumnBytes(const std::string& path, uint64_t events) {
    constexpr uint64_t kBlock = uint64_t{8} << 20;
    const std::vector<char> block(kBlock, 1);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint64_t left = events * 13; left > 0; left -= std::min(left, kBlock)) {
        out.write(block.data(), static_cast<std::streamsize>(std::min(left, kBlock)));
    }
}

// Best of two of each, alternated, so that the other core's load hits all alike.
void BM_Hdf5ExportImportVsPlainDecode(benchmark::State& state) {
    const char* size = std::getenv("ORVANE_BENCH_H5_MIB");
    const uint64_t mib = size ? std::max<uint64_t>(1, std::strtoull(size, nullptr, 10)) : 64;
    test::ScratchDir dir;
    const std::string raw = dir.file("bench.raw"), h5 = dir.file("bench.h5"),
                      plainH5 = dir.file("plain.h5"), back = dir.file("back.raw"),
                      bytes = dir.file("bytes.bin");
    const uint64_t events = test::writeSceneRecording(raw, mib << 20, 1);
    double decode = 1e30, deflate = 1e30, none = 1e30, import = 1e30, importNone = 1e30,
           floor = 1e30;
    for (auto _ : state) {
        for (int round = 0; round < 2; ++round) {
            auto start = Clock::now();
            benchmark::DoNotOptimize(plainDecode(raw, test::recordingHeader().size()));
            decode = std::min(decode, secondsSince(start));
            start = Clock::now();
            convertRawToHdf5(raw, h5, {});
            deflate = std::min(deflate, secondsSince(start));
            start = Clock::now();
            convertRawToHdf5(raw, plainH5, {Hdf5EventWriter::Compression::None, {}});
            none = std::min(none, secondsSince(start));
            start = Clock::now();
            convertHdf5ToRaw(h5, back);
            import = std::min(import, secondsSince(start));
            start = Clock::now();
            convertHdf5ToRaw(plainH5, back);
            importNone = std::min(importNone, secondsSince(start));
            start = Clock::now();
            writeColumnBytes(bytes, events);
            floor = std::min(floor, secondsSince(start));
        }
    }
    const double mev = double(events) / 1e6;
    state.counters["decode_Mev_s"] = mev / decode;
    state.counters["export_Mev_s"] = mev / deflate;
    state.counters["export_none_Mev_s"] = mev / none;
    state.counters["import_Mev_s"] = mev / import;
    state.counters["import_none_Mev_s"] = mev / importNone;
    state.counters["write_floor_Mev_s"] = mev / floor;
    char note[640];
    std::snprintf(note, sizeof note,
                  "hdf5, %llu MiB (%.0f Mev, %.0f MB as .h5): plain decode %.0f Mev/s; export "
                  "%.1f Mev/s (%.2fx, aim >= 0.5), uncompressed %.1f Mev/s (%.2fx); import "
                  "%.1f Mev/s (%.2fx, aim >= 0.5), uncompressed %.1f Mev/s (%.2fx); writing "
                  "the columns' bytes alone %.1f Mev/s (%.2fx)",
                  static_cast<unsigned long long>(mib), mev,
                  double(std::filesystem::file_size(h5)) / 1e6, mev / decode, mev / deflate,
                  decode / deflate, mev / none, decode / none, mev / import, decode / import,
                  mev / importNone, decode / importNone, mev / floor, decode / floor);
    bench::addNote(note);
}

BENCHMARK(BM_Hdf5ExportImportVsPlainDecode)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
