#include "orvane/hal/DecoderFactory.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "Evt3Decoder.h"

namespace orvane {

std::unique_ptr<Decoder> DecoderFactory::createUniqueDecoder(const RawEventStreamFormat& format) {
    std::string name = format.name();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (name == "EVT3" || name == "EVT3.0") {
        return std::make_unique<Evt3Decoder>();
    }
    throw std::invalid_argument("Unsupported raw event stream format \"" + format.text() +
                                "\": only EVT3 can be decoded");
}

}  // namespace orvane
