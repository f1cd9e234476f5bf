#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace veltora {
namespace {

TEST(SerialQueue, RunsInOrderAndSurvivesFailingTasks) {
    SerialQueue queue("test.order");
    std::vector<int> seen; // touched on the queue only
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) {
        queue.async([&seen, i] {
            if (i == 50) {
                throw std::runtime_error("task fifty");
            }
            seen.push_back(i);
        });
    }
    std::size_t count = 0;
    queue.sync([&] { count = seen.size(); }); // after every task queued before it
    EXPECT_EQ(count, 99u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("task fifty"), std::string::npos);

    bool nestedRanInPlace = false;
    queue.sync([&] { queue.sync([&] { nestedRanInPlace = queue.isCurrent(); }); });
    EXPECT_TRUE(nestedRanInPlace);

    queue.stop();
    EXPECT_FALSE(queue.async([] {}));
    bool ranAfterStop = false;
    queue.sync([&] { ranAfterStop = true; });
    EXPECT_FALSE(ranAfterStop);
}

TEST(SerialQueue, CallerRunsInPlaceOnlyWhenNothingElseIsQueuedOrRunning) {
    SerialQueue queue("test.in-place");
    EXPECT_TRUE(queue.runHereIfIdle([] {}));

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> started{false};
    queue.async([&] {
        started = true;
        released.wait();
    });
    while (!started) {
        std::this_thread::yield();
    }
    bool ran = false;
    EXPECT_FALSE(queue.runHereIfIdle([&] { ran = true; }));
    EXPECT_FALSE(ran);
    release.set_value();
    queue.sync([] {});
    // The thread may still be between two turns for a moment.
    bool ranInPlace = false;
    for (int attempt = 0; attempt < 100000 && !ranInPlace; ++attempt) {
        ranInPlace = queue.runHereIfIdle([&] { ran = queue.isCurrent(); });
        std::this_thread::yield();
    }
    EXPECT_TRUE(ranInPlace);
    EXPECT_TRUE(ran);
}

TEST(SerialQueue, AQueueDestroyedByItsOwnTaskFinishesWhatWasQueued) {
    auto queue = std::make_unique<SerialQueue>("test.self-destroying");
    SerialQueue* const target = queue.get();
    std::promise<void> gate;
    std::promise<void> finished;
    auto done = finished.get_future();
    // The first task waits until the second is queued, so the reset never races the caller.
    target->async([&queue, opened = gate.get_future().share()] {
        opened.wait();
        queue.reset();
    });
    target->async([&finished] { finished.set_value(); });
    gate.set_value();
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(SerialQueue, AFullQueueMakesProducersWaitButNeverItsOwnTasks) {
    SerialQueue queue("test.bounded", SerialQueue::Priority::normal, 2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> started{false};
    std::vector<int> order; // touched on the queue only
    queue.async([&] {
        started = true;
        released.wait();
        queue.async([&order] { order.push_back(4); }); // over the bound: it would wait for itself
        order.push_back(0);
    });
    while (!started) {
        std::this_thread::yield();
    }
    queue.async([&order] { order.push_back(1); });
    queue.async([&order] { order.push_back(2); }); // full now
    std::atomic<bool> producerReturned{false};
    std::thread producer([&] {
        queue.async([&order] { order.push_back(3); });
        producerReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(producerReturned);
    release.set_value();
    producer.join();
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 3})); // the waiting producer comes after
}

} // namespace
} // namespace veltora
