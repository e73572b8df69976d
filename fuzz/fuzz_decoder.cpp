// Any byte string through the EVT 3.0 decoder: no crash, hang or sanitizer
// report, its three ways of decoding agree with each other, and the wide and
// the portable scalar code give the same events.

#include <cstdlib>
#include <cstring>
#include <vector>

#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3Scan.h"

using namespace orvane;

namespace {

std::unique_ptr<Decoder> makeDecoder() {
    return DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte chooses where the buffer is split, so odd splits are covered.
    size_t split = size > 0 ? (data[0] * size) / 256 : 0;
    std::vector<uint8_t> first(data, data + split);
    std::vector<uint8_t> second(data + split, data + size);

    auto decoder = makeDecoder();
    size_t delivered = 0;
    bool rowsFit = true;
    std::vector<Event2D> events;
    decoder->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        check(begin < end);
        events.insert(events.end(), begin, end);
        for (const Event2D* e = begin; e < end; ++e) {
            // Rows are 11 bits; vector x may run past 2047 on a malformed stream.
            rowsFit = rowsFit && e->y < 2048 && e->polarity <= 1;
        }
        delivered += static_cast<size_t>(end - begin);
    });
    decoder->setTriggerInCallback([](EventTriggerIn trigger) {
        check(trigger.id >= 0 && trigger.id < 16 &&
              (trigger.polarity == 0 || trigger.polarity == 1));
    });
    size_t returned = static_cast<size_t>(decoder->decode(first));
    returned += static_cast<size_t>(decoder->decode(second));
    check(returned == delivered);
    check(rowsFit);

    auto counter = makeDecoder();
    check(counter->decodeCounting(data, data + size) == delivered);
    check(counter->getCurrentTimestamp() == decoder->getCurrentTimestamp());

    auto ranger = makeDecoder();
    ranger->decodeRange(data, data + size);
    check(ranger->getCurrentTimestamp() == decoder->getCurrentTimestamp());

    evt3ForceScalar(true);
    auto scalar = makeDecoder();
    std::vector<Event2D> scalarEvents;
    scalar->setEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        scalarEvents.insert(scalarEvents.end(), begin, end);
    });
    scalar->decode(std::vector<uint8_t>(data, data + size));
    evt3ForceScalar(false);
    check(scalarEvents.size() == events.size());
    check(scalarEvents.empty() ||
          std::memcmp(scalarEvents.data(), events.data(), events.size() * sizeof(Event2D)) == 0);
    check(scalar->getCurrentTimestamp() == decoder->getCurrentTimestamp());
    return 0;
}
