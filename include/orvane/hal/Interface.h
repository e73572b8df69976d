#pragma once

#include <cstdint>
#include <vector>

#include "orvane/hal/CtrlFrame.h"

namespace orvane {

// The transport to one device: register access, waits and control frames.
// Operations on a device that is gone throw std::runtime_error.
class Interface {
  public:
    virtual bool isConnected() = 0;
    // Claims the device for this host; called once at bring-up. Stores the
    // device's handle in `handle` and returns 0, or -1 when it cannot be claimed.
    virtual int open(uint64_t& handle) = 0;
    // Reads `count` consecutive register words from `address` into `words`
    // (replacing its contents) and returns them.
    virtual std::vector<uint32_t> readRegister(std::vector<uint32_t>& words, uint32_t address,
                                               uint32_t count) = 0;
    virtual void writeRegister(uint32_t address, uint32_t value) = 0;
    // Waits at least `microseconds`; goes through the transport so that a
    // device may log it.
    virtual void delayMicroseconds(uint64_t microseconds) = 0;
    // Sends the request and receives the answer into frame.answer(); throws
    // std::runtime_error when the device refuses it.
    virtual void transferFrame(CtrlFrame& frame) = 0;

    virtual ~Interface() = default;

    // One register word.
    uint32_t readWord(uint32_t address) {
        std::vector<uint32_t> words;
        readRegister(words, address, 1);
        return words.at(0);
    }
};

}  // namespace orvane
