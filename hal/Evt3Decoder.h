#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "orvane/hal/Decoder.h"

namespace orvane {

class Evt3Decoder final : public Decoder {
  public:
    Evt3Decoder();

    uint32_t decodeCounting(const uint8_t* begin, const uint8_t* end) override;
    int decode(const std::vector<uint8_t>& buffer) override;
    void decodeRange(const uint8_t* begin, const uint8_t* end) override;
    uint64_t getCurrentTimestamp() override;
    void setCurrentTimestamp(const uint64_t& timestamp) override;
    uint8_t getWordSize() override;

    // Events handed to the callback per range at most. Small enough to stay in L1
    // while the decoder writes it, large enough that the callback's cost vanishes.
    static constexpr size_t kRangeCapacity = 2048;

    struct State {
        uint64_t offset = 0;  // wraps of the 24-bit counter, in microseconds
        uint32_t high = 0;
        uint32_t low = 0;
        uint16_t y = 0;
        uint16_t baseX = 0;
        uint8_t vectorPolarity = 0;
    };
    State state() const { return state_; }
    // Time-high words assumed lost (orvane/hal/Evt3LostTimeHighs.h).
    uint64_t assumedTimeHighs() const { return assumedTimeHighs_; }

  private:
    template <bool kEmit>
    size_t run(const uint8_t* words, size_t count);
    void flush(size_t count);

    State state_;
    uint64_t assumedTimeHighs_ = 0;
    // Events beyond the range that let it start on a cache line (new aligns to 16 bytes).
    static constexpr size_t kAlignSlack = 3;
    std::unique_ptr<Event2D[]> storage_;
    Event2D* range_ = nullptr;
    bool haveOddByte_ = false;
    uint8_t oddByte_ = 0;
};

// The words that bring a fresh decoder to `state` (see orvane/hal/Evt3StateWords.h).
std::vector<uint8_t> evt3StateWords(const Evt3Decoder::State& state);

}  // namespace orvane
