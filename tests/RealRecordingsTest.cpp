// Recordings written by real cameras: our encoder cannot share a misreading
// of the format with them.

#include <gtest/gtest.h>

#include "orvane/orvane.h"
#include "support/Streams.h"

namespace orvane {
namespace {

TEST(RealRecordings, DecodeInsideGeometryWithTimeNeverDecreasing) {
    auto paths = test::realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent (set ORVANE_TEST_DATA)";
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        test::RawFile file = test::readRawFile(path);
        ASSERT_GT(file.width, 0) << "no geometry";
        ASSERT_FALSE(file.payload.empty());
        ASSERT_NE(file.payload[0], '%');

        auto decoder = test::evt3Decoder();
        uint64_t lastTime = 0;
        size_t events = 0, outside = 0, backwards = 0, triggers = 0;
        decoder->setEventsStreamHandleCallback([&](const Event2D* b, const Event2D* e) {
            for (const Event2D* ev = b; ev < e; ++ev, ++events) {
                outside += (ev->x >= file.width || ev->y >= file.height) ? 1 : 0;
                backwards += ev->timestamp < lastTime ? 1 : 0;
                lastTime = ev->timestamp;
            }
        });
        decoder->setTriggerInCallback([&](EventTriggerIn trigger) {
            ++triggers;
            backwards += trigger.timestamp < lastTime ? 1 : 0;
            lastTime = trigger.timestamp;
        });
        // Fed in camera-sized pieces, as a live stream arrives.
        size_t counted = 0;
        for (size_t pos = 0; pos < file.payload.size(); pos += 16384) {
            size_t end = std::min(file.payload.size(), pos + 16384);
            counted += static_cast<size_t>(decoder->decode(
                std::vector<uint8_t>(file.payload.begin() + static_cast<long>(pos),
                                     file.payload.begin() + static_cast<long>(end))));
        }
        EXPECT_GT(events, 1000u);
        EXPECT_EQ(counted, events);
        EXPECT_EQ(outside, 0u);
        EXPECT_EQ(backwards, 0u);
        // Their time-lows run ahead of the next by a few microseconds at most:
        // no time-high is taken for lost.
        EXPECT_EQ(evt3AssumedTimeHighs(*decoder), 0u);
        if (path.find("trigger") != std::string::npos) {
            EXPECT_GT(triggers, 0u);
        }
        auto counter = test::evt3Decoder();
        EXPECT_EQ(
            counter->decodeCounting(file.payload.data(), file.payload.data() + file.payload.size()),
            events);
        EXPECT_EQ(counter->getCurrentTimestamp(), decoder->getCurrentTimestamp());
        std::printf("[ info     ] %s: %zu events, %zu triggers, last time %llu us\n",
                    path.substr(path.find_last_of('/') + 1).c_str(), events, triggers,
                    static_cast<unsigned long long>(decoder->getCurrentTimestamp()));
    }
}

}  // namespace
}  // namespace orvane
