#pragma once

#include <cstdint>
#include <vector>

#include "orvane/Callbacks.h"

namespace orvane {

// Turns a raw event stream into Event2D ranges and trigger edges.
//
// The decoder is a state machine over the stream's words: its time, row and
// vector state carry over from one call to the next, so a stream may be fed in
// pieces of any size. One decoder serves one thread at a time.
class Decoder {
  public:
    // Decodes the words of [begin, end) and updates the state without calling the
    // callbacks; returns the number of events those words produced. A trailing
    // partial word is ignored.
    virtual uint32_t decodeCounting(const uint8_t* begin, const uint8_t* end) = 0;

    // Decodes a buffer, continuing from the previous call; a trailing partial word
    // is kept and completed by the next call. Before it returns, events reach the
    // events callback as contiguous, time-ordered ranges and triggers reach the
    // trigger callback one by one, in stream order (pending events are flushed
    // before a trigger). Returns the number of events decoded.
    virtual int decode(const std::vector<uint8_t>& buffer) = 0;

    // Like decodeCounting, without the count.
    virtual void decodeRange(const uint8_t* begin, const uint8_t* end) = 0;

    // Microseconds; 0 until the first time word.
    virtual uint64_t getCurrentTimestamp() = 0;

    // Continues as if the stream decoded so far had reached `timestamp`.
    virtual void setCurrentTimestamp(const uint64_t& timestamp) = 0;

    // Bytes per raw word.
    virtual uint8_t getWordSize() = 0;

    virtual ~Decoder() = default;

    void setEventsStreamHandleCallback(EventsStreamHandleCallback callback) {
        eventsCallback_ = std::move(callback);
    }
    void setTriggerInCallback(TriggerInCallback callback) {
        triggerCallback_ = std::move(callback);
    }

  protected:
    EventsStreamHandleCallback eventsCallback_;
    TriggerInCallback triggerCallback_;
};

}  // namespace orvane
