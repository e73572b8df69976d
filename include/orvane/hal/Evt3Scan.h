#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// Walks over EVT 3.0 words that follow only what a time index needs: the time a
// decoder reaches and the number of events it produces. They agree word for word
// with the EVT 3.0 decoder, at a fraction of its cost, because they never build
// an event.
//
// `time` is a decoder's time (Decoder::getCurrentTimestamp) before the first word;
// a walk continues as that decoder would after setCurrentTimestamp(time). Only the
// whole words of [begin, end) are walked: a trailing odd byte is ignored.

// Stops at the first word after whose decoding the time is `threshold` or more and
// returns its byte offset from `begin`, or the length of the whole words when no
// word gets there. `time` ends as the time after the words walked, the found word
// included; `events` grows by the events of the words before the found one.
size_t evt3ScanToTime(const uint8_t* begin, const uint8_t* end, uint64_t threshold, uint64_t& time,
                      uint64_t& events);

// Stops at the first word whose events bring `events` to `target` or more and
// returns its byte offset from `begin`, or the length of the whole words when the
// target is not reached. `events` and `time` end as after the words walked, the
// found word included.
size_t evt3ScanToEventCount(const uint8_t* begin, const uint8_t* end, uint64_t target,
                            uint64_t& time, uint64_t& events);

// The events of the whole words of [begin, end).
uint64_t evt3CountEvents(const uint8_t* begin, const uint8_t* end);

// Continues a walk from a word where the time reached `threshold` (see
// evt3ScanToTime; that word is walked again) up to the point after which no
// event can come before the threshold: a time-high word that sets the time's
// base to the threshold or more, since only time-low words step the time back,
// and only inside one base. On the way it notes where the events earlier than
// the threshold end. `time` and `events` are as for evt3ScanToTime and end as
// after the words walked. True when such a time-high word came (the walk stops
// there), false at the end of the range.
struct Evt3Earlier {
    bool found = false;   // a word emitted events earlier than the threshold
    size_t offset = 0;    // just after the last such word, from `begin`
    uint64_t time = 0;    // the time there
    uint64_t events = 0;  // `events` there, that word's included
};
bool evt3ScanPastTime(const uint8_t* begin, const uint8_t* end, uint64_t threshold, uint64_t& time,
                      uint64_t& events, Evt3Earlier& earlier);

// Where decoding has to start inside [begin, end) so that a decoder ends with the
// row and the vector base (x and polarity) it would have after all of [begin, end):
// at the latest row word or the latest vector-base word, whichever comes first.
// `row` and `vectorBase` tell which of the two the range holds; `offset` is the
// length of the range when it holds neither. Vector words with no vector-base
// word after them advance a base set before the range: `baseBefore` says so, and
// `offset` is then 0, so that a decoder that knows the state at `begin` (a fresh
// one at a stream's start) advances the base as it would. Decoding from there
// also changes the time, which the caller sets afterwards. The range must be
// whole words.
struct Evt3StateStart {
    size_t offset = 0;
    bool row = false;
    bool vectorBase = false;
    bool baseBefore = false;
};
Evt3StateStart evt3StateStart(const uint8_t* begin, const uint8_t* end);

}  // namespace orvane

namespace orvane {

// The EVT 3.0 decoder and the walks above use SSE2/AVX2 where the CPU has them
// and portable scalar code elsewhere. Forcing the scalar code (also done by
// ORVANE_SIMD=scalar in the environment) checks it on any machine; decoders
// follow the setting from their next call on.
void evt3ForceScalar(bool force);

}  // namespace orvane
