// A C++20 program outside the tree, built against an installed orvane: it
// compiles only if the package leaves the standard to the program.
#include <cstdio>
#include <span>

#include "orvane/orvane.h"

static_assert(__cplusplus >= 202002L, "built without C++20");

int main() {
    orvane::Evt3Encoder encoder;
    std::vector<uint8_t> bytes;
    std::vector<orvane::Event2D> events = {{10, 20, 1, 5000}, {11, 20, 0, 5001}};
    encoder.encode(events, bytes);
    auto decoder = orvane::DecoderFactory::createUniqueDecoder(
        orvane::RawEventStreamFormat("EVT3;height=720;width=1280"));
    uint64_t on = 0;
    decoder->setEventsStreamHandleCallback([&](const orvane::Event2D* b, const orvane::Event2D* e) {
        for (const orvane::Event2D& event : std::span(b, e)) {
            on += event.polarity;
        }
    });
    int decoded = decoder->decode(bytes);
    std::printf("C++20: decoded %d events, %llu ON\n", decoded,
                static_cast<unsigned long long>(on));
    return decoded == 2 && on == 1 ? 0 : 1;
}
