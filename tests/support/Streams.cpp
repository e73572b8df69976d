// Builders of event streams, recordings, decoders and scratch files shared by
// the tests and benchmarks.
#include "Streams.h"

#include <dirent.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "orvane/RawFileHeader.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/Evt3Encoder.h"
#include "orvane/hal/RawEventStreamFormat.h"
#include "support/PlainEvt3Decoder.h"

namespace orvane::test {

bool operator==(const Item& a, const Item& b) {
    if (a.isTrigger != b.isTrigger) {
        return false;
    }
    if (a.isTrigger) {
        return a.trigger.id == b.trigger.id && a.trigger.polarity == b.trigger.polarity &&
               a.trigger.timestamp == b.trigger.timestamp;
    }
    return a.event.x == b.event.x && a.event.y == b.event.y &&
           a.event.polarity == b.event.polarity && a.event.timestamp == b.event.timestamp;
}

std::string describe(const Item& item) {
    char text[96];
    if (item.isTrigger) {
        std::snprintf(text, sizeof text, "trigger(id %d, level %d, t %llu)", item.trigger.id,
                      item.trigger.polarity,
                      static_cast<unsigned long long>(item.trigger.timestamp));
    } else {
        std::snprintf(text, sizeof text, "event(%u, %u, p %u, t %llu)", item.event.x, item.event.y,
                      item.event.polarity, static_cast<unsigned long long>(item.event.timestamp));
    }
    return text;
}

std::vector<Item> randomStream(uint64_t seed, size_t events, unsigned wraps) {
    std::mt19937_64 random(seed);
    auto below = [&](uint64_t n) { return random() % n; };
    const uint64_t span = (uint64_t{1} << 24) * wraps + 1000;
    // Mean gap so that `events` events cover the span, with some long jumps.
    const uint64_t meanGap = std::max<uint64_t>(1, span / std::max<size_t>(1, events / 8));
    std::vector<Item> items;
    uint64_t t = below(5000);
    size_t made = 0;
    while (made < events || t < span) {
        switch (below(10)) {
            case 0: {
                Item item;
                item.isTrigger = true;
                item.trigger = EventTriggerIn(static_cast<int16_t>(below(16)),
                                              static_cast<int16_t>(below(2)), t);
                items.push_back(item);
                break;
            }
            case 1:
            case 2:
            case 3: {  // a run of neighbours, possibly with holes
                uint16_t y = static_cast<uint16_t>(below(720));
                uint16_t x = static_cast<uint16_t>(below(1200));
                uint8_t p = static_cast<uint8_t>(below(2));
                size_t length = 1 + below(40);
                for (size_t i = 0; i < length && x < 2048; ++i, ++made) {
                    Item item;
                    item.event = Event2D(x, y, p, t);
                    items.push_back(item);
                    x = static_cast<uint16_t>(x + 1 + (below(4) == 0 ? below(20) : 0));
                }
                break;
            }
            default: {
                Item item;
                item.event =
                    Event2D(static_cast<uint16_t>(below(2048)), static_cast<uint16_t>(below(2048)),
                            static_cast<uint8_t>(below(2)), t);
                items.push_back(item);
                ++made;
            }
        }
        switch (below(8)) {
            case 0:
            case 1:
            case 2:
                break;  // same time
            case 3:
                t += below(1u << 22);  // a jump across several time-high steps
                break;
            default:
                t += below(2 * meanGap / 8 + 1);
        }
    }
    return items;
}

std::vector<uint8_t> evt3Words(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

std::vector<Item> steadyStream(uint64_t seed, size_t events, uint64_t gapUs) {
    std::mt19937_64 random(seed);
    std::vector<Item> items(events);
    uint64_t t = 0;
    for (Item& item : items) {
        t += random() % (2 * gapUs + 1);
        item.event =
            Event2D(static_cast<uint16_t>(random() % 1280), static_cast<uint16_t>(random() % 720),
                    static_cast<uint8_t>(random() % 2), t);
    }
    return items;
}

std::vector<uint8_t> withoutTimeHighs(const std::vector<uint8_t>& bytes, size_t nth,
                                      size_t& dropped) {
    dropped = 0;
    std::vector<uint8_t> out;
    size_t candidates = 0;
    const size_t words = bytes.size() / 2;
    for (size_t i = 0; i < words; ++i) {
        const unsigned type = bytes[2 * i + 1] >> 4;
        if (type == 0x8) {
            // A time-low before the next time-high and before any event makes the
            // loss visible (events before it would carry the time before the loss).
            size_t j = i + 1;
            while (j < words && (bytes[2 * j + 1] >> 4) != 0x6 && (bytes[2 * j + 1] >> 4) != 0x8 &&
                   (bytes[2 * j + 1] >> 4) != 0x2 && (bytes[2 * j + 1] >> 4) != 0x4 &&
                   (bytes[2 * j + 1] >> 4) != 0x5 && (bytes[2 * j + 1] >> 4) != 0xA) {
                ++j;
            }
            if (j < words && (bytes[2 * j + 1] >> 4) == 0x6 && ++candidates % nth == 0) {
                ++dropped;
                continue;
            }
        }
        out.push_back(bytes[2 * i]);
        out.push_back(bytes[2 * i + 1]);
    }
    return out;
}

std::vector<uint8_t> endingOnItsLastKey() {
    std::vector<uint16_t> words = {0x8001, 0x2001, 0x6800, 0x2002, 0x6FFF};
    words.insert(words.end(), 300, 0x2003);
    words.push_back(0x6800);
    return evt3Words(words);
}

std::vector<uint8_t> encode(const std::vector<Item>& items) {
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < items.size()) {
        if (items[i].isTrigger) {
            encoder.encodeTrigger(items[i].trigger, out);
            ++i;
            continue;
        }
        std::vector<Event2D> batch;
        while (i < items.size() && !items[i].isTrigger) {
            batch.push_back(items[i++].event);
        }
        encoder.encode(batch, out);
    }
    return out;
}

std::vector<Event2D> denseRowEvents(size_t count) {
    std::vector<Event2D> events;
    events.reserve(count);
    uint64_t t = 0;
    uint16_t y = 0;
    while (events.size() < count) {
        // A readout of 24 rows, each with 96 active pixels in three runs of 32.
        for (int row = 0; row < 24 && events.size() < count; ++row) {
            y = static_cast<uint16_t>((y + 7) % 720);
            for (uint16_t x0 : {100, 400, 900}) {
                for (uint16_t x = x0; x < x0 + 32 && events.size() < count; ++x) {
                    events.emplace_back(x, y, static_cast<uint8_t>(row & 1), t);
                }
            }
        }
        t += 3;
    }
    return events;
}

std::vector<Event2D> singleEvents(size_t count) {
    std::vector<Event2D> events;
    events.reserve(count);
    std::mt19937 random(7);
    uint64_t t = 0;
    uint16_t y = 0;
    while (events.size() < count) {
        // Ten events a microsecond at scattered columns; one in five moves to a
        // random row, so no decoder can learn which word comes next.
        for (int i = 0; i < 10 && events.size() < count; ++i) {
            if (random() % 5 == 0) {
                y = static_cast<uint16_t>(random() % 720);
            }
            events.emplace_back(static_cast<uint16_t>(random() % 1280), y,
                                static_cast<uint8_t>(random() & 1), t);
        }
        ++t;
    }
    return events;
}

Collector::Collector(Decoder& decoder) {
    decoder.setEventsStreamHandleCallback([this](const Event2D* begin, const Event2D* end) {
        ++ranges;
        for (const Event2D* e = begin; e < end; ++e) {
            if (e > begin && e->timestamp < e[-1].timestamp) {
                rangesOrdered = false;
            }
            Item item;
            item.event = *e;
            items.push_back(item);
        }
    });
    decoder.setTriggerInCallback([this](EventTriggerIn trigger) {
        Item item;
        item.isTrigger = true;
        item.trigger = trigger;
        items.push_back(item);
    });
}

std::optional<std::string> realRecordingsDir() {
    const char* fromEnvironment = std::getenv("ORVANE_TEST_DATA");
    std::string dir = fromEnvironment ? fromEnvironment : ORVANE_SHARED_DATA_DIR "/evt3";
    std::ifstream probe(dir + "/SOURCES.md");
    if (!probe) {
        return std::nullopt;
    }
    return dir;
}

std::vector<std::string> realRecordings() {
    std::vector<std::string> paths;
    auto dir = realRecordingsDir();
    if (!dir) {
        return paths;
    }
    if (DIR* handle = opendir(dir->c_str())) {
        while (dirent* entry = readdir(handle)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".raw") == 0) {
                paths.push_back(*dir + "/" + name);
            }
        }
        closedir(handle);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::unique_ptr<Decoder> evt3Decoder() {
    return DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
}

std::vector<uint8_t> randomBytes(uint64_t seed, size_t size) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

RawFile readRawFile(const std::string& path) {
    const std::vector<uint8_t> bytes = fileBytes(path);
    RawFile file;
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] == '%') {
        auto eol = std::find(bytes.begin() + static_cast<long>(pos), bytes.end(), '\n');
        size_t next = static_cast<size_t>(eol - bytes.begin()) + (eol == bytes.end() ? 0 : 1);
        file.header.append(bytes.begin() + static_cast<long>(pos),
                           bytes.begin() + static_cast<long>(next));
        pos = next;
    }
    file.payload.assign(bytes.begin() + static_cast<long>(pos), bytes.end());
    std::smatch match;
    static const std::regex geometry(R"((\d+)x(\d+))");
    std::string source = file.header;
    auto at = source.find("% geometry ");
    if (at == std::string::npos) {
        source = path.substr(path.find_last_of('/') + 1);
    } else {
        source = source.substr(at);
    }
    if (std::regex_search(source, match, geometry)) {
        file.width = static_cast<uint16_t>(std::stoi(match[1]));
        file.height = static_cast<uint16_t>(std::stoi(match[2]));
    }
    return file;
}

const std::string& recordingHeader() {
    static const std::string header = RawFileHeader::kLiveRecordingHeader;
    return header;
}

void writeRawFile(const std::string& path, const std::string& header,
                  const std::vector<uint8_t>& payload) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(payload.data()),
              static_cast<std::streamsize>(payload.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<Event2D> decodeEvents(const std::vector<uint8_t>& payload) {
    auto decoder = evt3Decoder();
    std::vector<Event2D> events;
    decoder->setEventsStreamHandleCallback(
        [&](const Event2D* begin, const Event2D* end) { events.insert(events.end(), begin, end); });
    decoder->decode(payload);
    return events;
}

std::vector<Event2D> plainDecodeEvents(const std::vector<uint8_t>& payload) {
    PlainEvt3Decoder plain;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    plain.decode(payload.data(), payload.data() + payload.size(), events, triggers);
    return events;
}

PlainDecoded plainDecodeFile(const std::string& path) {
    const RawFile file = readRawFile(path);
    PlainDecoded decoded;
    PlainEvt3Decoder plain;
    plain.decode(file.payload.data(), file.payload.data() + file.payload.size(), decoded.events,
                 decoded.triggers);
    return decoded;
}

std::string firstDifference(const std::vector<Event2D>& got, const std::vector<Event2D>& expected) {
    const auto text = [](const Event2D& e) {
        return "(" + std::to_string(e.x) + ", " + std::to_string(e.y) + ", " +
               std::to_string(e.polarity) + ", " + std::to_string(e.timestamp) + " us)";
    };
    for (size_t i = 0; i < std::min(got.size(), expected.size()); ++i) {
        const Event2D &g = got[i], &e = expected[i];
        if (g.x != e.x || g.y != e.y || g.polarity != e.polarity || g.timestamp != e.timestamp) {
            return "event " + std::to_string(i) + " is " + text(g) + ", expected " + text(e);
        }
    }
    if (got.size() != expected.size()) {
        return std::to_string(got.size()) + " events, expected " + std::to_string(expected.size());
    }
    return "";
}

std::string runsJoinedDifference(const std::vector<Event2D>& source,
                                 const std::vector<Event2D>& delivered, size_t runs) {
    if (source.empty() || delivered.size() != runs * source.size()) {
        return std::to_string(delivered.size()) + " events delivered, expected " +
               std::to_string(runs) + " runs of " + std::to_string(source.size());
    }
    std::vector<Event2D> expected;
    for (size_t run = 0; run < runs; ++run) {
        uint64_t shift = 0;
        if (run > 0) {
            const uint64_t first = delivered[run * source.size()].timestamp;
            const uint64_t step = ((expected.back().timestamp >> 12) + 1) << 12;
            if (first < step || first < source.front().timestamp) {
                return "run " + std::to_string(run) + " begins at " + std::to_string(first) +
                       " us, before the step " + std::to_string(step) + " us after the last";
            }
            shift = first - source.front().timestamp;
        }
        for (Event2D e : source) {
            e.timestamp += shift;
            expected.push_back(e);
        }
    }
    return firstDifference(delivered, expected);
}

uint64_t writeSceneRecording(const std::string& path, uint64_t payloadBytes, uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(recordingHeader().data(), static_cast<std::streamsize>(recordingHeader().size()));
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&]() {  // xorshift64: the generator must not be the slow part
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    Evt3Encoder encoder;
    std::vector<Event2D> events;
    std::vector<uint8_t> bytes;
    uint64_t written = 0, count = 0, t = 0;
    while (written < payloadBytes) {
        events.clear();
        for (int step = 0; step < 4096; ++step) {
            t += 1 + next() % 4;
            if (next() % 4 == 0) {  // a burst: three rows, each a run of 32 neighbours
                uint16_t y = static_cast<uint16_t>(next() % 716);
                for (uint16_t row = 0; row < 3; ++row) {
                    uint16_t x0 = static_cast<uint16_t>(next() % 1240);
                    for (uint16_t x = x0; x < x0 + 32; ++x) {
                        events.emplace_back(x, static_cast<uint16_t>(y + row), row & 1, t);
                    }
                }
            } else {
                for (int i = 0; i < 8; ++i) {
                    uint64_t r = next();
                    events.emplace_back(static_cast<uint16_t>(r % 1280),
                                        static_cast<uint16_t>((r >> 16) % 720),
                                        static_cast<uint8_t>((r >> 32) & 1), t);
                }
            }
        }
        bytes.clear();
        encoder.encode(events, bytes);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        written += bytes.size();
        count += events.size();
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    return count;
}

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> serial{0};
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() /
                   ("orvane-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    path_ = dir.string();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace orvane::test
