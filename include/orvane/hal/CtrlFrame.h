#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

// A control request for a device: a 32-bit property word, a 32-bit payload size
// and 32-bit payload words, all little-endian. After a transfer the device's
// answer can be swapped in to be read the same way.
class CtrlFrame {
  public:
    explicit CtrlFrame(uint32_t property);
    CtrlFrame(const CtrlFrame&) = default;
    CtrlFrame(CtrlFrame&&) noexcept = default;
    CtrlFrame& operator=(const CtrlFrame&) = default;
    CtrlFrame& operator=(CtrlFrame&&) noexcept = default;
    virtual ~CtrlFrame() = default;

    void push_back32(uint32_t word);

    virtual uint32_t get_property() const;
    // Writes the payload size into the frame's header.
    virtual void updateSize();
    // The request bytes, with their size brought up to date.
    virtual uint8_t* frame();
    virtual size_t frame_size() const;
    // Exchanges the request with the answer received by the last transfer.
    virtual void swap_req_and_answer();

    // Payload word i of the frame (request or, after swap_req_and_answer, answer).
    uint32_t word(size_t i) const;
    size_t words() const;
    std::vector<uint8_t>& answer() { return answer_; }

    static constexpr size_t kHeaderSize = 8;

  private:
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> answer_;
};

}  // namespace orvane
