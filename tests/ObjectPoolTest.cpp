#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "orvane/ObjectPool.h"

namespace orvane {
namespace {

using BytePool = ObjectPool<std::vector<uint8_t>, 1>;

TEST(ObjectPool, BoundedPoolWaitsForTheObjectToComeBack) {
    BytePool pool(1, true, size_t{16});
    auto first = pool.acquire();
    ASSERT_EQ(first->size(), 16u);
    first->at(0) = 42;
    const std::vector<uint8_t>* address = first.get();

    std::promise<void> started;
    auto second = std::async(std::launch::async, [&] {
        started.set_value();
        return pool.acquire();
    });
    started.get_future().wait();
    // Still waiting: the only object is out.
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    first.reset();
    auto again = second.get();
    EXPECT_EQ(again.get(), address) << "the same object comes back";
    EXPECT_EQ(again->at(0), 42) << "contents are kept";
}

TEST(ObjectPool, UnboundedPoolGrowsWithEmptyObjects) {
    BytePool pool(1, false, size_t{8});
    auto a = pool.acquire();
    auto b = pool.acquire();
    EXPECT_EQ(a->size(), 8u);
    EXPECT_TRUE(b->empty()) << "a grown object starts empty";
    a.reset();
    b.reset();
    EXPECT_EQ(pool.freeCount(), 2u);
}

TEST(ObjectPool, ReusesTheLastReturnedFirst) {
    BytePool pool(2, false, size_t{4});
    auto a = pool.acquire();
    auto b = pool.acquire();
    const auto* addressB = b.get();
    a.reset();
    b.reset();
    EXPECT_EQ(pool.acquire().get(), addressB);
}

TEST(ObjectPool, SizeZeroIsRefusedOnlyWhenBounded) {
    try {
        BytePool pool(0, true, size_t{4});
        FAIL() << "a bounded pool of 0 must throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(
            e.what(),
            "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
    }
    BytePool grows(0, false, size_t{4});
    EXPECT_TRUE(grows.acquire()->empty());
}

TEST(ObjectPool, ObjectsMayOutliveThePool) {
    std::shared_ptr<std::vector<uint16_t>> survivor;
    {
        ObjectPool<std::vector<uint16_t>, 1> pool(2, true, size_t{1024});
        survivor = pool.acquire();
    }
    EXPECT_EQ(survivor->size(), 1024u);
    survivor.reset();  // freed by its deleter; the sanitizers catch a leak or a double free
}

TEST(ObjectPool, ManyThreadsShareABoundedPool) {
    BytePool pool(3, true, size_t{1});
    std::vector<std::thread> threads;
    std::atomic<int> inUse{0}, maxInUse{0};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                auto object = pool.acquire();
                int now = ++inUse;
                int seen = maxInUse.load();
                while (now > seen && !maxInUse.compare_exchange_weak(seen, now)) {
                }
                (*object)[0]++;
                --inUse;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(maxInUse.load(), 3);
    EXPECT_EQ(pool.freeCount(), 3u);
}

}  // namespace
}  // namespace orvane
