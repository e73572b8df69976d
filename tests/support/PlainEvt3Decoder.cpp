#include "PlainEvt3Decoder.h"

#include "orvane/hal/Evt3LostTimeHighs.h"

namespace orvane::test {

void PlainEvt3Decoder::decode(const uint8_t* begin, const uint8_t* end,
                              std::vector<Event2D>& events, std::vector<EventTriggerIn>& triggers) {
    for (const uint8_t* p = begin; p + 1 < end; p += 2) {
        const uint16_t word = static_cast<uint16_t>(p[0] | (p[1] << 8));
        const uint16_t payload = word & 0xFFF;
        switch (word >> 12) {
            case 0x0:
                y_ = payload & 0x7FF;
                break;
            case 0x2:
                events.emplace_back(payload & 0x7FF, y_, payload >> 11, time());
                break;
            case 0x3:
                baseX_ = payload & 0x7FF;
                polarity_ = payload >> 11;
                break;
            case 0x4:
            case 0x5: {
                const int bits = (word >> 12) == 0x4 ? 12 : 8;
                for (int b = 0; b < bits; ++b) {
                    if (payload & (1 << b)) {
                        events.emplace_back(baseX_ + b, y_, polarity_, time());
                    }
                }
                // Saturates as our decoder does, so that malformed streams compare too.
                if (baseX_ < 0xF000) {
                    baseX_ = static_cast<uint16_t>(baseX_ + bits);
                }
                break;
            }
            case 0x6:
                if (assumeLostTimeHighs_ && payload + kEvt3LostTimeHighDrop < low_) {
                    high_ = (high_ + 1) & 0xFFF;
                    offset_ += high_ == 0 ? uint64_t{1} << 24 : 0;
                }
                low_ = payload;
                break;
            case 0x8:
                if (payload < high_) {
                    offset_ += uint64_t{1} << 24;
                }
                high_ = payload;
                low_ = 0;
                break;
            case 0xA:
                triggers.emplace_back(payload >> 8, payload & 1, time());
                break;
            default:
                break;
        }
    }
}

}  // namespace orvane::test
