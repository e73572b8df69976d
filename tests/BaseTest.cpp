// OrvaneBase: logger, time text, byte order.

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "orvane/base/ByteOrder.h"
#include "orvane/base/Logger.h"
#include "orvane/base/SysTime.h"

namespace orvane {
namespace {

constexpr const char* kLogModule = "tests/BaseTest";

struct Captured {
    LogLevelType level;
    std::string file;
    int line;
    std::string message;
};

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousLevel_ = Logger::Instance().level();
        Logger::Instance().setSink(
            [this](LogLevelType level, const char* file, int line, const std::string& message) {
                captured.push_back({level, file, line, message});
            });
    }
    void TearDown() override {
        Logger::Instance().setSink(nullptr);
        Logger::Instance().setLevel(previousLevel_);
    }
    std::vector<Captured> captured;

  private:
    int previousLevel_ = LOG_INFO;
};

TEST_F(LoggerTest, FormatsFiltersAndKeepsLongMessages) {
    Logger::Instance().setLevel(LOG_INFO);
    ORVANE_LOG(LOG_DEBUG, "hidden %d", 1);
    const int line = __LINE__ + 1;
    ORVANE_LOG(LOG_WARNING, "Camera serial: %s, %d events", "SIM-01", 42);
    std::string longText(3000, 'x');
    ORVANE_LOG(LOG_ERROR, "%s!", longText.c_str());
    Logger::Instance().log_(LOG_ERROR, nullptr, 0, nullptr);

    ASSERT_EQ(captured.size(), 3u);
    EXPECT_EQ(captured[0].level, LOG_WARNING);
    EXPECT_EQ(captured[0].file, "tests/BaseTest");
    EXPECT_EQ(captured[0].line, line);
    EXPECT_EQ(captured[0].message, "Camera serial: SIM-01, 42 events");
    EXPECT_EQ(captured[1].message, longText + "!");
    EXPECT_EQ(captured[2].message, "");
}

TEST_F(LoggerTest, ConcurrentMessagesArriveWholeAndCounted) {
    Logger::Instance().setLevel(LOG_INFO);
    constexpr int kThreads = 8, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                ORVANE_LOG(LOG_INFO, "thread %d message %d %s", t, i, "payload-payload-payload");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(captured.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    std::regex shape(R"(thread (\d) message (\d+) payload-payload-payload)");
    for (const Captured& c : captured) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(c.message, m, shape)) << c.message;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "each thread's messages stay in order";
    }
}

TEST(SysTime, LooksLikeDateAndTime) {
    EXPECT_TRUE(std::regex_match(getSysTime(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << getSysTime();
}

// Every path the CPU has, the scalar one forced as on a CPU without vector
// units, at sizes around their widths and from unaligned starts.
TEST(ByteOrder, EveryPathSwapsEveryPairAndKeepsAnOddLastByte) {
    std::vector<ByteSwapPath> paths = {ByteSwapPath::Scalar};
    for (ByteSwapPath path : {ByteSwapPath::Sse2, ByteSwapPath::Avx2}) {
        uint8_t probe[2] = {1, 2};
        if (convertEndian(probe, 2, path)) {
            paths.push_back(path);
        }
    }
    for (ByteSwapPath path : paths) {
        for (size_t size : {0, 1, 2, 3, 7, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1001, 4096}) {
            for (size_t offset : {0, 1}) {
                std::vector<uint8_t> buffer(size + offset);
                for (size_t i = 0; i < buffer.size(); ++i) {
                    buffer[i] = static_cast<uint8_t>(i * 7 + 3);
                }
                std::vector<uint8_t> expected = buffer;
                for (size_t i = offset; i + 1 < buffer.size(); i += 2) {
                    std::swap(expected[i], expected[i + 1]);
                }
                ASSERT_TRUE(convertEndian(buffer.data() + offset, size, path));
                EXPECT_EQ(buffer, expected) << "path " << static_cast<int>(path) << ", size "
                                            << size << ", offset " << offset;
            }
        }
    }
    // The everyday entry point takes the path chosen for this CPU.
    std::vector<uint8_t> buffer = {1, 2, 3, 4, 5};
    convertEndian(buffer);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{2, 1, 4, 3, 5}));
    EXPECT_TRUE(convertEndian(nullptr, 8, byteSwapPath()));
    // ctest runs this test once more with the scalar path forced.
    const char* forced = std::getenv("ORVANE_SIMD");
    if (forced != nullptr && std::string(forced) == "scalar") {
        EXPECT_EQ(byteSwapPath(), ByteSwapPath::Scalar);
    }
}

}  // namespace
}  // namespace orvane
