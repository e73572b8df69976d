#include "orvane/hal/CtrlFrame.h"

#include <stdexcept>

namespace orvane {

namespace {

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t word) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(word >> (8 * i));
    }
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) {
    if (at + 4 > bytes.size()) {
        throw std::out_of_range("CtrlFrame: word beyond the frame");
    }
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        word |= uint32_t{bytes[at + i]} << (8 * i);
    }
    return word;
}

}  // namespace

CtrlFrame::CtrlFrame(uint32_t property) : frame_(kHeaderSize, 0) {
    put32(frame_, 0, property);
}

void CtrlFrame::push_back32(uint32_t word) {
    frame_.resize(frame_.size() + 4);
    put32(frame_, frame_.size() - 4, word);
}

uint32_t CtrlFrame::get_property() const {
    return get32(frame_, 0);
}

void CtrlFrame::updateSize() {
    if (frame_.size() < kHeaderSize) {
        frame_.resize(kHeaderSize, 0);
    }
    put32(frame_, 4, static_cast<uint32_t>(frame_.size() - kHeaderSize));
}

uint8_t* CtrlFrame::frame() {
    updateSize();
    return frame_.data();
}

size_t CtrlFrame::frame_size() const {
    return frame_.size();
}

void CtrlFrame::swap_req_and_answer() {
    frame_.swap(answer_);
}

uint32_t CtrlFrame::word(size_t i) const {
    return get32(frame_, kHeaderSize + 4 * i);
}

size_t CtrlFrame::words() const {
    return frame_.size() < kHeaderSize ? 0 : (frame_.size() - kHeaderSize) / 4;
}

}  // namespace orvane
