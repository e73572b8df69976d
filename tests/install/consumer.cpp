// A program outside the tree, built against an installed orvane.
#include <cstdio>

#include "orvane/orvane.h"

int main() {
    orvane::Evt3Encoder encoder;
    std::vector<uint8_t> bytes;
    std::vector<orvane::Event2D> events = {{10, 20, 1, 5000}, {11, 20, 1, 5000}};
    encoder.encode(events, bytes);
    auto decoder = orvane::DecoderFactory::createUniqueDecoder(
        orvane::RawEventStreamFormat("EVT3;height=720;width=1280"));
    int decoded = decoder->decode(bytes);
    std::printf("decoded %d events\n", decoded);
    return decoded == 2 ? 0 : 1;
}
