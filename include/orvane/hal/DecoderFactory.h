#pragma once

#include <memory>

#include "orvane/hal/Decoder.h"
#include "orvane/hal/RawEventStreamFormat.h"

namespace orvane {

class DecoderFactory {
  public:
    // A decoder for the format, owned by the caller. Supported: EVT 3.0 (format
    // name "EVT3"). Any other format throws std::invalid_argument naming it.
    static std::unique_ptr<Decoder> createUniqueDecoder(const RawEventStreamFormat& format);
};

}  // namespace orvane
