#pragma once

// The baseline of the reading benchmarks, in the same run as what they measure.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "orvane/RawFileReader.h"
#include "support/Streams.h"

namespace orvane::bench {

// One plain decode: the payload read in reader-sized chunks and decoded into a
// consumer that only counts.
inline uint64_t plainDecode(const std::string& path, uint64_t payloadOffset) {
    auto decoder = test::evt3Decoder();
    uint64_t events = 0;
    decoder->setEventsStreamHandleCallback(
        [&](const Event2D* begin, const Event2D* end) { events += uint64_t(end - begin); });
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(payloadOffset));
    std::vector<uint8_t> buffer(RawFileReader::kChunkSize);
    while (in) {
        in.read(reinterpret_cast<char*>(buffer.data()),
                static_cast<std::streamsize>(buffer.size()));
        buffer.resize(static_cast<size_t>(in.gcount()));
        decoder->decode(buffer);
        buffer.resize(RawFileReader::kChunkSize);
    }
    return events;
}

}  // namespace orvane::bench
