// Builders of event streams, recordings, decoders and scratch files shared by
// the tests and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/hal/Decoder.h"
#include "orvane/hal/Evt3Scan.h"

namespace orvane::test {

// One element of a stream in stream order: an event or a trigger edge.
struct Item {
    bool isTrigger = false;
    Event2D event;
    EventTriggerIn trigger;
};
bool operator==(const Item& a, const Item& b);
std::string describe(const Item& item);

// A random, time-ordered stream: runs of neighbouring pixels, single events and
// trigger edges, with time gaps from 0 to beyond a 24-bit wrap. Its time span
// crosses at least `wraps` wraps of the 24-bit counter.
std::vector<Item> randomStream(uint64_t seed, size_t events, unsigned wraps);

// A fresh EVT 3.0 decoder for a 1280x720 sensor.
std::unique_ptr<Decoder> evt3Decoder();
// `size` bytes of noise, the same for the same seed.
std::vector<uint8_t> randomBytes(uint64_t seed, size_t size);
// Every byte of a file; throws std::runtime_error when it cannot be opened.
std::vector<uint8_t> fileBytes(const std::string& path);

// Encodes items in order with a fresh encoder.
std::vector<uint8_t> encode(const std::vector<Item>& items);
// EVT 3.0 words as they lie in a file, for streams no encoder would write.
std::vector<uint8_t> evt3Words(const std::vector<uint16_t>& words);
// Events `gapUs` apart on average (0 to twice that), at random pixels: a
// stream that crosses a time-high step every few hundred events.
std::vector<Item> steadyStream(uint64_t seed, size_t events, uint64_t gapUs);
// The words of `bytes` without every `nth` time-high word that a time-low
// follows before any event or time-high, as when a lost buffer took the
// time-high and left the time-lows after it. `dropped` tells how many went.
std::vector<uint8_t> withoutTimeHighs(const std::vector<uint8_t>& bytes, size_t nth,
                                      size_t& dropped);
// Keys 4096 and 6144, 300 events after the time reaches 8191, then a last time
// word that sets the time back to the last key, 6144.
std::vector<uint8_t> endingOnItsLastKey();

// Dense rows: every readout fills long runs of neighbouring pixels (vector words).
std::vector<Event2D> denseRowEvents(size_t count);
// Scattered single events whose row changes at random, one event in five
// (single-event words, about 1.3 words an event).
std::vector<Event2D> singleEvents(size_t count);

// Collects what a decoder hands to its callbacks, in order.
class Collector {
  public:
    explicit Collector(Decoder& decoder);
    std::vector<Item> items;
    size_t ranges = 0;
    bool rangesOrdered = true;  // every range handed over was time-ordered
};

// Where the real recordings are, or nothing when ../shared is absent.
std::optional<std::string> realRecordingsDir();
struct RawFile {
    std::string header;            // the '%' lines, with their line feeds
    std::vector<uint8_t> payload;  // the bytes after them
    uint16_t width = 0, height = 0;
};
// Splits a .raw file into header and payload; the geometry comes from the header
// or, where it has none, from the file name's "<w>x<h>".
RawFile readRawFile(const std::string& path);
std::vector<std::string> realRecordings();

// The 354-byte header that live recording writes.
const std::string& recordingHeader();
// Writes `header` then `payload` to `path`, replacing the file.
void writeRawFile(const std::string& path, const std::string& header,
                  const std::vector<uint8_t>& payload);
// Every event of a payload, decoded in one piece by a fresh decoder.
std::vector<Event2D> decodeEvents(const std::vector<uint8_t>& payload);
// Every event of a payload, as a decoder that knows nothing of our recorder or
// of a camera's runs reads it (PlainEvt3Decoder).
std::vector<Event2D> plainDecodeEvents(const std::vector<uint8_t>& payload);
// Every event and trigger edge of a raw file's payload, read by PlainEvt3Decoder.
struct PlainDecoded {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
};
PlainDecoded plainDecodeFile(const std::string& path);
// The first place where two event sequences differ, described; empty when they
// are the same.
std::string firstDifference(const std::vector<Event2D>& got, const std::vector<Event2D>& expected);
// Whether `delivered` is what a camera delivers over `runs` runs of a device
// that replays `source` from its start each time: the first run as sent, each
// later one moved as a whole to begin at or after the first 4096 us step past
// the run before it. The first difference, described; empty when there is none.
std::string runsJoinedDifference(const std::vector<Event2D>& source,
                                 const std::vector<Event2D>& delivered, size_t runs);

// Writes a recording of about `payloadBytes` bytes of payload after the recording
// header: a steady scene of about 12 Mev/s that mixes dense row bursts (vector
// words) with scattered single events, generated and written piece by piece.
// Returns the number of events.
uint64_t writeSceneRecording(const std::string& path, uint64_t payloadBytes, uint64_t seed);

// Forces the EVT 3.0 code's portable scalar path (or not) while it lives.
struct ForceScalar {
    explicit ForceScalar(bool on) { evt3ForceScalar(on); }
    ~ForceScalar() { evt3ForceScalar(false); }
    ForceScalar(const ForceScalar&) = delete;
    ForceScalar& operator=(const ForceScalar&) = delete;
};

// A fresh directory under the system's temporary directory, removed with its
// content when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace orvane::test
