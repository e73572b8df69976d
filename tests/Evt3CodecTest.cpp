// The EVT 3.0 codec through its public interfaces: factory, decoder, encoder.

#include <gtest/gtest.h>

#include <random>

#include "orvane/orvane.h"
#include "support/PlainEvt3Decoder.h"
#include "support/Streams.h"

namespace orvane {
namespace {

using test::Collector;
using test::Item;

std::vector<uint8_t> bytesOf(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

void expectSameStream(const std::vector<Item>& expected, const std::vector<Item>& actual,
                      const std::string& context) {
    ASSERT_EQ(expected.size(), actual.size()) << context;
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(expected[i] == actual[i])
            << context << ": item " << i << " expected " << test::describe(expected[i]) << " got "
            << test::describe(actual[i]);
    }
}

Item event(uint16_t x, uint16_t y, uint8_t p, uint64_t t) {
    Item item;
    item.event = Event2D(x, y, p, t);
    return item;
}

TEST(Evt3Codec, WorkedExampleDecodesAsDocumented) {
    auto decoder = test::evt3Decoder();
    Collector seen(*decoder);
    auto bytes = bytesOf({0x8001, 0x6002, 0x0005, 0x3010, 0x4005, 0x2812, 0xA101});
    ASSERT_EQ(bytes[0], 0x01);  // low byte first on disk
    ASSERT_EQ(bytes[1], 0x80);

    EXPECT_EQ(decoder->decode(bytes), 3);

    Item trigger;
    trigger.isTrigger = true;
    trigger.trigger = EventTriggerIn(1, 1, 4098);
    expectSameStream({event(16, 5, 0, 4098), event(18, 5, 0, 4098), event(18, 5, 1, 4098), trigger},
                     seen.items, "worked example");
    EXPECT_EQ(decoder->getCurrentTimestamp(), 4098u);
    EXPECT_EQ(decoder->getWordSize(), 2);
}

TEST(Evt3Codec, TimeFollowsHighLowWordsAndWraps) {
    auto decoder = test::evt3Decoder();
    Collector seen(*decoder);
    EXPECT_EQ(decoder->getCurrentTimestamp(), 0u);
    // An event before any time word carries time 0; reserved and vendor words are ignored.
    decoder->decode(
        bytesOf({0x0003, 0x2004, 0x1FFF, 0xE123, 0x7005, 0xF0AA, 0xBFFF, 0xCFFF, 0xD000, 0x9ABC}));
    ASSERT_EQ(seen.items.size(), 1u);
    EXPECT_TRUE(seen.items[0] == event(4, 3, 0, 0));

    decoder->decode(bytesOf({0x8FFF, 0x6FFF}));
    EXPECT_EQ(decoder->getCurrentTimestamp(), 0xFFFFFFu);
    // A smaller high value means the 24-bit counter wrapped; low is cleared.
    decoder->decode(bytesOf({0x8000}));
    EXPECT_EQ(decoder->getCurrentTimestamp(), 1u << 24);
    decoder->decode(bytesOf({0x8005, 0x6010, 0x8005}));
    EXPECT_EQ(decoder->getCurrentTimestamp(), (1u << 24) + 5 * 4096u) << "same high: no wrap";
}

TEST(Evt3Codec, VectorWordsIgnoreUnusedBitsAndAdvanceTheBase) {
    auto decoder = test::evt3Decoder();
    Collector seen(*decoder);
    // VECT_8 ignores bits 11..8; VECT_12 after it starts 8 columns on.
    decoder->decode(bytesOf({0x8000, 0x0002, 0x3864, 0x5F81, 0x4801}));
    expectSameStream(
        {event(100, 2, 1, 0), event(107, 2, 1, 0), event(108, 2, 1, 0), event(119, 2, 1, 0)},
        seen.items, "vectors");
}

TEST(Evt3Codec, SetCurrentTimestampContinuesFromThatTime) {
    const uint64_t start = 5 * (uint64_t{1} << 24) + 0x345678;
    Evt3Encoder encoder;
    encoder.setCurrentTimestamp(start);
    std::vector<Event2D> events = {
        {1, 1, 1, start}, {2, 1, 1, start + 10}, {3, 1, 0, start + (uint64_t{1} << 24) + 4000}};
    std::vector<uint8_t> bytes;
    encoder.encode(events, bytes);

    auto decoder = test::evt3Decoder();
    Collector seen(*decoder);
    decoder->setCurrentTimestamp(start);
    EXPECT_EQ(decoder->getCurrentTimestamp(), start);
    decoder->decode(bytes);
    ASSERT_EQ(seen.items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen.items[i].event.timestamp, events[i].timestamp) << "event " << i;
    }
    // The next high word compares against the high part of the time that was set.
    decoder->setCurrentTimestamp(start);
    decoder->decode(bytesOf({0x8344}));
    EXPECT_EQ(decoder->getCurrentTimestamp(), 6 * (uint64_t{1} << 24) + 0x344000);
}

TEST(Evt3Codec, RoundTripOfRandomStreamsFedInRandomPieces) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        auto items = test::randomStream(seed, 60000, 3);
        auto bytes = test::encode(items);
        std::mt19937 random(static_cast<unsigned>(seed));

        auto decoder = test::evt3Decoder();
        Collector seen(*decoder);
        size_t pos = 0;
        size_t counted = 0;
        while (pos < bytes.size()) {
            size_t piece = std::min<size_t>(bytes.size() - pos,
                                            random() % 3 == 0 ? 1 + random() % 7 : random() % 5000);
            counted += static_cast<size_t>(decoder->decode(
                std::vector<uint8_t>(bytes.begin() + static_cast<long>(pos),
                                     bytes.begin() + static_cast<long>(pos + piece))));
            pos += piece;
        }
        EXPECT_TRUE(seen.rangesOrdered);
        expectSameStream(items, seen.items, "seed " + std::to_string(seed));
        size_t events = 0;
        for (const Item& item : items) {
            events += item.isTrigger ? 0 : 1;
        }
        EXPECT_EQ(counted, events) << "decode's return values add up to the events";
        EXPECT_GT(
            items.back().isTrigger ? items.back().trigger.timestamp : items.back().event.timestamp,
            3 * (uint64_t{1} << 24))
            << "the stream crosses three wraps";

        // Counting and state-only decoding agree with full decoding.
        auto counter = test::evt3Decoder();
        EXPECT_EQ(counter->decodeCounting(bytes.data(), bytes.data() + bytes.size()), events);
        EXPECT_EQ(counter->getCurrentTimestamp(), decoder->getCurrentTimestamp());
        auto ranger = test::evt3Decoder();
        ranger->decodeRange(bytes.data(), bytes.data() + bytes.size());
        EXPECT_EQ(ranger->getCurrentTimestamp(), decoder->getCurrentTimestamp());
    }
}

TEST(Evt3Codec, EverySplitPointGivesTheSameStream) {
    auto items = test::randomStream(99, 400, 1);
    auto bytes = test::encode(items);
    ASSERT_GT(bytes.size(), 1000u);
    for (size_t split = 0; split <= bytes.size(); ++split) {
        auto decoder = test::evt3Decoder();
        Collector seen(*decoder);
        decoder->decode(
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(split)));
        decoder->decode(
            std::vector<uint8_t>(bytes.begin() + static_cast<long>(split), bytes.end()));
        expectSameStream(items, seen.items, "split at byte " + std::to_string(split));
        if (HasFatalFailure()) {
            return;
        }
    }
}

// A stream cut at any word, prefixed with the words of the decoder's state at
// the cut, decodes on its own to the tail of the full decode with its times.
TEST(Evt3Codec, StateWordsLetACutStreamDecodeOnItsOwn) {
    auto checkCuts = [](const std::vector<uint8_t>& bytes, const std::vector<size_t>& cuts,
                        const std::string& what) {
        auto full = test::evt3Decoder();
        Collector all(*full);
        full->decode(bytes);
        for (size_t cut : cuts) {
            const auto middle = bytes.begin() + static_cast<long>(cut);
            auto head = test::evt3Decoder();
            Collector headSeen(*head);
            head->decode(std::vector<uint8_t>(bytes.begin(), middle));
            std::vector<uint8_t> tail = evt3StateWords(*head);
            ASSERT_FALSE(tail.empty());
            tail.insert(tail.end(), middle, bytes.end());
            auto fresh = test::evt3Decoder();
            Collector tailSeen(*fresh);
            fresh->decode(tail);
            const std::string context = what + ", cut at byte " + std::to_string(cut);
            ASSERT_EQ(tailSeen.items.size() + headSeen.items.size(), all.items.size()) << context;
            expectSameStream(
                std::vector<Item>(all.items.begin() + static_cast<long>(headSeen.items.size()),
                                  all.items.end()),
                tailSeen.items, context);
            EXPECT_EQ(fresh->getCurrentTimestamp(), full->getCurrentTimestamp()) << context;
        }
    };

    // Random streams over three wraps, cut at random words (inside vector runs too).
    for (uint64_t seed : {3u, 17u}) {
        auto bytes = test::encode(test::randomStream(seed, 3000, 3));
        std::mt19937_64 random(seed);
        std::vector<size_t> cuts = {0, 2, bytes.size() - 2, bytes.size()};
        for (int i = 0; i < 60; ++i) {
            cuts.push_back(2 * (random() % (bytes.size() / 2)));
        }
        checkCuts(bytes, cuts, "seed " + std::to_string(seed));
    }
    // A vector base pushed beyond 11 bits by words without re-base, at polarity 1.
    checkCuts(bytesOf({0x8003, 0x6123, 0x0010, 0x3FF0, 0x4000, 0x4001, 0x4FFF, 0x5081, 0x4003}),
              {8, 10, 12, 14, 16}, "vector base beyond 11 bits");

    struct NotEvt3 : Decoder {
        uint32_t decodeCounting(const uint8_t*, const uint8_t*) override { return 0; }
        int decode(const std::vector<uint8_t>&) override { return 0; }
        void decodeRange(const uint8_t*, const uint8_t*) override {}
        uint64_t getCurrentTimestamp() override { return 0; }
        void setCurrentTimestamp(const uint64_t&) override {}
        uint8_t getWordSize() override { return 2; }
    };
    EXPECT_TRUE(evt3StateWords(NotEvt3()).empty());
}

// Words that put vectors in every lane of the decoder's blocks: base, 12- and
// 8-bit vectors with no, one, some and all bits (and the unused bits of VECT_8),
// between rows, single events, time words and triggers, each group shifted by
// one more word than the last.
std::vector<uint8_t> vectorWords(uint32_t seed, size_t groups) {
    std::mt19937 random(seed);
    std::vector<uint16_t> words;
    uint32_t high = 0;
    const uint16_t masks[] = {0, 0xFFF, 0x001, 0x800, 0x0C0, 0x03F, 0xFC0};
    for (size_t g = 0; g < groups; ++g) {
        words.insert(words.end(), g % 8, static_cast<uint16_t>(0x6000 | (random() & 0xFFF)));
        for (int w = 0; w < 24; ++w) {
            const uint32_t pick = random() % 16;
            const uint16_t mask = random() % 2 ? masks[random() % 7] : (random() & 0xFFF);
            if (pick < 5) {
                words.push_back(static_cast<uint16_t>(0x4000 | mask));
            } else if (pick < 8) {
                words.push_back(static_cast<uint16_t>(0x5000 | mask));
            } else if (pick < 10) {
                words.push_back(static_cast<uint16_t>(0x3000 | (random() & 0xFFF)));
            } else if (pick < 12) {
                words.push_back(static_cast<uint16_t>(0x2000 | (random() & 0xFFF)));
            } else if (pick < 13) {
                words.push_back(static_cast<uint16_t>(random() & 0x7FF));
            } else if (pick < 14) {
                words.push_back(static_cast<uint16_t>(0x6000 | (random() & 0xFFF)));
            } else if (pick < 15) {
                high = (high + 1) & 0xFFF;
                words.push_back(static_cast<uint16_t>(0x8000 | high));
            } else {
                words.push_back(static_cast<uint16_t>(random() % 64 == 0 ? 0xA101 : 0xE000));
            }
        }
    }
    // A base pushed to the decoder's saturation by vectors that never re-base, then re-based.
    words.push_back(0x37F0);
    for (int w = 0; w < 8000; ++w) {
        words.push_back(w % 3 == 0 ? 0x5F81 : (w % 7 == 0 ? 0x2005 : 0x4801));
    }
    words.insert(words.end(), {0x3010, 0x4FFF, 0x5FFF, 0x4001});
    return test::evt3Words(words);
}

// Rows of dense activity: runs of full VECT_12 words after a base anywhere up to
// x 2047 (so runs pass the width), each ended by a vector whose valid bits
// start at bit 0, have gaps, or are none, or by a single event; time words
// between. Then full vectors that never re-base, through the base x's
// saturation, and a re-base.
std::vector<uint8_t> denseVectorWords(uint32_t seed, size_t rows) {
    std::mt19937 random(seed);
    std::vector<uint16_t> words;
    uint32_t high = 0;
    const uint16_t ends[] = {0x40FF, 0x4007, 0x50FF, 0x5F0F, 0x4F7F,
                             0x4001, 0x4000, 0x5000, 0x4FFE, 0x2123};
    for (size_t row = 0; row < rows; ++row) {
        if (row % 5 == 0) {
            words.push_back(static_cast<uint16_t>(0x6000 | (random() & 0xFFF)));
        }
        if (row % 97 == 0) {
            high = (high + 1) & 0xFFF;
            words.push_back(static_cast<uint16_t>(0x8000 | high));
        }
        words.push_back(static_cast<uint16_t>(random() & 0x7FF));
        for (int run = 0; run < 3; ++run) {
            words.push_back(static_cast<uint16_t>(0x3000 | (random() & 0xFFF)));
            words.insert(words.end(), random() % 6, 0x4FFF);
            words.push_back(ends[random() % 10]);
        }
    }
    words.push_back(0x37F8);
    words.insert(words.end(), 5200, 0x4FFF);
    words.insert(words.end(), {0x3010, 0x4FFF, 0x4FFF, 0x50FF});
    return test::evt3Words(words);
}

// Dense rows split at every byte: a run of full vectors may end at the split,
// with its last word whole or halved.
TEST(Evt3Codec, DenseRowsSplitAnywhereDecodeAsThePlainDecoder) {
    const auto bytes = denseVectorWords(5, 40);
    test::PlainEvt3Decoder plain(true);
    std::vector<Event2D> expected;
    std::vector<EventTriggerIn> triggers;
    plain.decode(bytes.data(), bytes.data() + 2 * 400, expected, triggers);
    std::vector<Item> items;
    for (const Event2D& e : expected) {
        items.push_back(event(e.x, e.y, e.polarity, e.timestamp));
    }
    for (size_t split = 0; split <= 800; ++split) {
        auto decoder = test::evt3Decoder();
        Collector seen(*decoder);
        decoder->decode(
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(split)));
        decoder->decode(
            std::vector<uint8_t>(bytes.begin() + static_cast<long>(split), bytes.begin() + 800));
        expectSameStream(items, seen.items, "split at byte " + std::to_string(split));
        if (HasFatalFailure()) {
            return;
        }
    }
}

// Every real stream, and generated ones, cut at random offsets and fed piece by
// piece, decodes as the plain decoder does; in both the wide and the scalar code.
// The generated streams' time-lows jump at random, so the plain decoder takes
// lost time-highs as ours does.
TEST(Evt3Codec, StreamsCutAtRandomAgreeWithThePlainDecoder) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> streams;
    for (const std::string& path : test::realRecordings()) {
        streams.emplace_back(path, test::readRawFile(path).payload);
    }
    if (streams.empty()) {
        std::printf(
            "[ info     ] no real recordings (../shared/data/evt3); generated streams only\n");
    }
    streams.emplace_back("random stream", test::encode(test::randomStream(5, 40000, 2)));
    streams.emplace_back("vector words in every lane", vectorWords(11, 400));
    streams.emplace_back("dense vector rows", denseVectorWords(23, 3000));
    std::mt19937 random(17);
    for (bool scalar : {false, true}) {
        test::ForceScalar force(scalar);
        for (const auto& [name, bytes] : streams) {
            test::PlainEvt3Decoder plain(true);
            std::vector<Event2D> plainEvents;
            std::vector<EventTriggerIn> plainTriggers;
            plain.decode(bytes.data(), bytes.data() + bytes.size(), plainEvents, plainTriggers);

            auto decoder = test::evt3Decoder();
            Collector seen(*decoder);
            size_t pos = 0, counted = 0;
            while (pos < bytes.size()) {
                const size_t piece = std::min<size_t>(bytes.size() - pos, 1 + random() % 40000);
                counted += static_cast<size_t>(decoder->decode(
                    std::vector<uint8_t>(bytes.begin() + static_cast<long>(pos),
                                         bytes.begin() + static_cast<long>(pos + piece))));
                pos += piece;
            }
            const std::string context = name + (scalar ? ", scalar" : ", wide");
            std::vector<Item> events, triggers;
            for (const Item& item : seen.items) {
                (item.isTrigger ? triggers : events).push_back(item);
            }
            std::vector<Item> expectedEvents, expectedTriggers;
            for (const Event2D& e : plainEvents) {
                expectedEvents.push_back(event(e.x, e.y, e.polarity, e.timestamp));
            }
            for (const EventTriggerIn& trigger : plainTriggers) {
                Item item;
                item.isTrigger = true;
                item.trigger = trigger;
                expectedTriggers.push_back(item);
            }
            expectSameStream(expectedEvents, events, context);
            expectSameStream(expectedTriggers, triggers, context + " triggers");
            EXPECT_EQ(counted, plainEvents.size()) << context;
            EXPECT_EQ(decoder->getCurrentTimestamp(), plain.time()) << context;

            auto counter = test::evt3Decoder();
            EXPECT_EQ(counter->decodeCounting(bytes.data(), bytes.data() + bytes.size()),
                      plainEvents.size())
                << context;
            EXPECT_EQ(counter->getCurrentTimestamp(), plain.time()) << context;
        }
    }
}

// Decodes `bytes` in pieces of up to `piece` bytes; the items and the decoder.
std::vector<Item> decodeInPieces(const std::vector<uint8_t>& bytes, size_t piece,
                                 std::unique_ptr<Decoder>& decoder) {
    decoder = test::evt3Decoder();
    Collector seen(*decoder);
    for (size_t pos = 0; pos < bytes.size(); pos += piece) {
        decoder->decode(std::vector<uint8_t>(
            bytes.begin() + static_cast<long>(pos),
            bytes.begin() + static_cast<long>(std::min(bytes.size(), pos + piece))));
    }
    return seen.items;
}

// A time-high lost with a buffer: the time-lows after it would set the time
// back by up to 4 ms; the decoder assumes the next step instead, and counts it.
TEST(Evt3Codec, ALostTimeHighIsAssumedRatherThanTimeSteppingBack) {
    const std::vector<Item> source = test::steadyStream(7, 60000, 6);
    const std::vector<uint8_t> whole = test::encode(source);
    size_t dropped = 0;
    const std::vector<uint8_t> damaged = test::withoutTimeHighs(whole, 3, dropped);
    ASSERT_GT(dropped, 20u);
    // A buffer's worth of words lost across a step of the high part: from late
    // in one step to early in the next.
    std::vector<uint8_t> cut = whole;
    {
        std::vector<size_t> highs;
        for (size_t i = 0; i + 1 < cut.size(); i += 2) {
            if ((cut[i + 1] >> 4) == 0x8) {
                highs.push_back(i);
            }
        }
        ASSERT_GT(highs.size(), 12u);
        const size_t from = (highs[9] + 3 * highs[10]) / 8 * 2;
        const size_t to = (3 * highs[10] + highs[11]) / 8 * 2;
        cut.erase(cut.begin() + static_cast<long>(from), cut.begin() + static_cast<long>(to));
    }
    for (bool scalar : {false, true}) {
        test::ForceScalar force(scalar);
        const std::string context = scalar ? "scalar" : "wide";
        std::unique_ptr<Decoder> decoder;
        // Every lost step is assumed right, so the events keep their times.
        expectSameStream(source, decodeInPieces(damaged, 3001, decoder), context);
        EXPECT_EQ(evt3AssumedTimeHighs(*decoder), dropped) << context;
        auto counter = test::evt3Decoder();
        EXPECT_EQ(counter->decodeCounting(damaged.data(), damaged.data() + damaged.size()),
                  source.size());
        EXPECT_EQ(counter->getCurrentTimestamp(), decoder->getCurrentTimestamp()) << context;
        EXPECT_EQ(evt3AssumedTimeHighs(*counter), dropped) << context;

        const std::vector<Item> afterCut = decodeInPieces(cut, 4096, decoder);
        uint64_t latest = 0, back = 0;
        for (const Item& item : afterCut) {
            back = std::max(back, latest - std::min(latest, item.event.timestamp));
            latest = std::max(latest, item.event.timestamp);
        }
        EXPECT_EQ(back, 0u) << context << ": the time stepped back";
        EXPECT_EQ(evt3AssumedTimeHighs(*decoder), 1u) << context;
        EXPECT_EQ(afterCut.back().event.timestamp, source.back().event.timestamp) << context;
    }
    // A stream whose time-lows only run ahead by a few microseconds, as sensors
    // write them, assumes nothing.
    std::unique_ptr<Decoder> decoder;
    decodeInPieces(test::evt3Words({0x8005, 0x6100, 0x2001, 0x8005, 0x610C, 0x2002, 0x6101, 0x2003,
                                    0x6000 + 0x100 - 1, 0x2004}),
                   64, decoder);
    EXPECT_EQ(evt3AssumedTimeHighs(*decoder), 0u);
    EXPECT_EQ(decoder->getCurrentTimestamp(), 5u * 4096 + 0xFF);
    // The assumed step may wrap the 24-bit counter; the time-high that follows
    // is the step after it.
    decodeInPieces(
        test::evt3Words({0x8FFF, 0x6F00, 0x2001, 0x6010, 0x2002, 0x8000, 0x6011, 0x8001}), 64,
        decoder);
    EXPECT_EQ(evt3AssumedTimeHighs(*decoder), 1u);
    EXPECT_EQ(decoder->getCurrentTimestamp(), (1u << 24) + 4096u);
}

TEST(Evt3Codec, LongRangesAreHandedOverInOrderedPieces) {
    // More events at one time than one range holds, then a trigger in the middle.
    std::vector<Event2D> events;
    for (uint16_t y = 0; y < 200; ++y) {
        for (uint16_t x = 0; x < 64; ++x) {
            events.emplace_back(x, y, 1, 77);
        }
    }
    Evt3Encoder encoder;
    std::vector<uint8_t> bytes;
    encoder.encode(events.data(), events.data() + 6000, bytes);
    encoder.encodeTrigger(EventTriggerIn(0, 1, 77), bytes);
    encoder.encode(events.data() + 6000, events.data() + events.size(), bytes);

    auto decoder = test::evt3Decoder();
    std::vector<size_t> rangeSizes;
    size_t seenBeforeTrigger = 0, total = 0;
    decoder->setEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
        rangeSizes.push_back(static_cast<size_t>(e - b));
        total += rangeSizes.back();
    });
    decoder->setTriggerInCallback([&](EventTriggerIn) { seenBeforeTrigger = total; });
    EXPECT_EQ(decoder->decode(bytes), static_cast<int>(events.size()));
    EXPECT_EQ(total, events.size());
    EXPECT_EQ(seenBeforeTrigger, 6000u) << "events before a trigger are flushed before it";
    EXPECT_GT(rangeSizes.size(), 2u);
}

TEST(Evt3Codec, EncoderRefusesWhatItCannotWrite) {
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    std::vector<Event2D> backwards = {{1, 1, 1, 500}, {2, 1, 1, 499}};
    EXPECT_THROW(encoder.encode(backwards, out), std::invalid_argument);
    std::vector<Event2D> wide = {{2048, 1, 1, 600}};
    EXPECT_THROW(encoder.encode(wide, out), std::invalid_argument);
    EXPECT_THROW(encoder.encodeTrigger(EventTriggerIn(16, 1, 700), out), std::invalid_argument);
}

TEST(Evt3Codec, UnsupportedFormatsAreRefusedByName) {
    try {
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT2;height=720;width=1280"));
        FAIL() << "EVT2 must be refused";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("EVT2"), std::string::npos) << e.what();
    }
    EXPECT_THROW(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("")),
                 std::invalid_argument);
    RawEventStreamFormat spaced("EVT3; height = 480; width = 640");
    EXPECT_EQ(spaced.width(), 640);
    EXPECT_EQ(spaced.height(), 480);
    EXPECT_NE(DecoderFactory::createUniqueDecoder(spaced), nullptr);
}

TEST(Evt3Codec, BinarySearchFindsFirstEventBeyondTime) {
    std::vector<Event2D> events = {{0, 0, 0, 10}, {0, 0, 0, 20}, {0, 0, 0, 20}, {0, 0, 0, 30}};
    const Event2D* b = events.data();
    const Event2D* e = b + events.size();
    EXPECT_EQ(binarySearchTimestamp(5, b, e), b);
    EXPECT_EQ(binarySearchTimestamp(10, b, e), b + 1);
    EXPECT_EQ(binarySearchTimestamp(20, b, e), b + 3)
        << "events at the time itself are not beyond it";
    EXPECT_EQ(binarySearchTimestamp(30, b, e), e);
}

}  // namespace
}  // namespace orvane
