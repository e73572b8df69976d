// Counts what marks bytes as something other than a sensor's EVT 3.0 stream.

#include "orvane/hal/Evt3Survey.h"

#include <cstring>

#include "Evt3Format.h"

namespace orvane {

using namespace evt3;

Evt3Survey evt3Survey(const uint8_t* begin, const uint8_t* end) {
    Evt3Survey survey;
    if (begin == nullptr || end <= begin) {
        return survey;
    }
    survey.words = static_cast<uint64_t>(end - begin) / kWordSize;
    const uint8_t* const last = begin + survey.words * kWordSize;
    bool haveHigh = false;
    uint32_t high = 0;
    for (const uint8_t* p = begin; p != last; p += kWordSize) {
        uint16_t w;
        std::memcpy(&w, p, sizeof w);
        const uint32_t type = w >> 12;
        const uint32_t payload = w & kPayloadMask;
        switch (type) {
            case kTimeHigh:
                ++survey.timeHighWords;
                if (haveHigh && payload != high && payload != ((high + 1) & kPayloadMask)) {
                    ++(payload < high ? survey.backwardTimeJumps : survey.forwardTimeJumps);
                }
                haveHigh = true;
                high = payload;
                break;
            case 0x1:
            case 0x9:
            case 0xB:
            case 0xC:
            case 0xD:
                ++survey.reservedWords;
                break;
            default:
                break;
        }
    }
    return survey;
}

}  // namespace orvane
