// The cameras' event side after the decoder: fan-out to a callback and
// batching by count and by time, one core.

#include <benchmark/benchmark.h>

#include "camera/EventDispatcher.h"
#include "orvane/orvane.h"
#include "support/Streams.h"

namespace {

using namespace orvane;

// Decodes a dense stream into a dispatcher that batches (1000 events, or 1 ms)
// and calls one callback, as an acquisition loop with a batch consumer does.
void dispatchAll(benchmark::State& state, bool byTime) {
    static const std::vector<uint8_t> payload = [] {
        Evt3Encoder encoder;
        std::vector<uint8_t> bytes;
        encoder.encode(test::denseRowEvents(4'000'000), bytes);
        return bytes;
    }();
    EventDispatcher dispatcher;
    if (byTime) {
        dispatcher.setBatchEventsTime(1000);
    } else {
        dispatcher.setBatchEventsNum(1000);
    }
    size_t events = 0;
    dispatcher.addEventsCallback([&](const Event2D* begin, const Event2D* end) {
        events += static_cast<size_t>(end - begin);
    });
    auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3"));
    decoder->setEventsStreamHandleCallback(
        [&](const Event2D* begin, const Event2D* end) { dispatcher.dispatchEvents(begin, end); });
    for (auto _ : state) {
        decoder->setCurrentTimestamp(0);
        decoder->decode(payload);
    }
    benchmark::DoNotOptimize(events);
    state.SetItemsProcessed(static_cast<int64_t>(events));
}

void BM_DispatchCountBatches(benchmark::State& state) {
    dispatchAll(state, false);
}
void BM_DispatchTimeBatches(benchmark::State& state) {
    dispatchAll(state, true);
}

}  // namespace

BENCHMARK(BM_DispatchCountBatches)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DispatchTimeBatches)->Unit(benchmark::kMillisecond)->UseRealTime();
