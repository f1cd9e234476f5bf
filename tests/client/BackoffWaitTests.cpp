#include "VeltoraCryptoTokenKit/client/BackoffWait.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace veltora {
namespace {

constexpr std::uint32_t kJZero = 0;
constexpr std::uint32_t kJHalf = 1u << 23;
constexpr std::uint32_t kJOne = 1u << 24;

// f(t) = 2^t * tanh(sqrt(4t)) in double, as a yardstick for the float code.
double growth(double t) {
    return std::pow(2.0, t) * std::tanh(std::sqrt(4.0 * t));
}

TEST(BackoffWaitTest, FollowsTheGrowthCurveForPinnedDraws) {
    EXPECT_EQ(BackoffWait::seconds(1.6f, 1, kJZero), 0.0f);
    const float firstMax = BackoffWait::seconds(1.6f, 1, kJOne);
    EXPECT_NEAR(firstMax, 1.6 * growth(1.0) / 1.4, 1e-5);
    EXPECT_NEAR(firstMax, 2.2035, 1e-3);
    // The draw 2^24 means j = 1 exactly: attempt 2 with j = 0 spans the same interval.
    EXPECT_EQ(BackoffWait::seconds(1.6f, 2, kJZero), firstMax);
    EXPECT_NEAR(BackoffWait::seconds(1.6f, 1, kJHalf), 1.6 * growth(0.5) / 1.4, 1e-5);
    EXPECT_NEAR(BackoffWait::seconds(1.6f, 3, kJHalf), 1.6 * (growth(2.5) - growth(1.5)) / 1.4, 1e-4);

    const float ninthLow = BackoffWait::seconds(1.6f, 9, kJZero);
    const float ninthHigh = BackoffWait::seconds(1.6f, 9, kJOne);
    EXPECT_GT(ninthLow, 145.0f);
    EXPECT_LT(ninthHigh, 294.0f);

    // The wait as slept is the truncated nanosecond count of the float product.
    const auto wait = BackoffWait::capped(firstMax);
    EXPECT_EQ(wait.seconds, firstMax);
    EXPECT_EQ(wait.nanoseconds, static_cast<std::uint64_t>(firstMax * 1e9f));

    // A fresh draw per wait, from the source given.
    std::uint32_t draws = 0;
    const BackoffWait backoff(1.6f, [&draws] { return ++draws % 2 == 0 ? kJOne : kJZero; });
    EXPECT_EQ(backoff.afterAttempt(1).nanoseconds, 0u);
    EXPECT_EQ(backoff.afterAttempt(1).seconds, firstMax);
    EXPECT_EQ(draws, 2u);

    const BackoffWait random(1.6f);
    for (int i = 0; i < 100; ++i) {
        const auto drawn = random.afterAttempt(1);
        EXPECT_GE(drawn.seconds, 0.0f);
        EXPECT_LE(drawn.seconds, firstMax);
    }
}

TEST(BackoffWaitTest, WaitsThatCannotBeCountedAreCappedAtTenMinutes) {
    const std::uint64_t cap = 600ull * 1'000'000'000ull;
    const float infinity = std::numeric_limits<float>::infinity();
    const float notANumber = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(-1.6f, 2, kJHalf)).nanoseconds, cap);
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(notANumber, 1, kJHalf)).nanoseconds, cap);
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(infinity, 1, kJHalf)).nanoseconds, cap);
    // 2^t overflows: infinity minus infinity.
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(1.6f, 200, kJHalf)).nanoseconds, cap);
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(1.6f, std::numeric_limits<std::int64_t>::max(), kJOne))
                  .nanoseconds,
              cap);
    EXPECT_EQ(BackoffWait::capped(2e10f).nanoseconds, cap); // 2e19 ns > 2^64
    EXPECT_EQ(BackoffWait::capped(2e10f).seconds, 600.0f);

    // Long but countable waits are kept as computed.
    EXPECT_EQ(BackoffWait::capped(5e9f).nanoseconds, static_cast<std::uint64_t>(5e9f * 1e9f));
    EXPECT_EQ(BackoffWait::capped(1200.0f).seconds, 1200.0f);
    // A first delay of zero never waits.
    EXPECT_EQ(BackoffWait::capped(BackoffWait::seconds(0.0f, 5, kJHalf)).nanoseconds, 0u);
}

TEST(BackoffWaitTest, SleepEndsEarlyOnlyWhenCancelled) {
    EXPECT_TRUE(BackoffWait::sleep(0, {}).ok());
    EXPECT_TRUE(BackoffWait::sleep(2'000'000, {}).ok());

    std::stop_source alreadyStopped;
    alreadyStopped.request_stop();
    const auto immediate = BackoffWait::sleep(0, alreadyStopped.get_token());
    ASSERT_FALSE(immediate.ok());
    EXPECT_EQ(immediate.error(), cancellationError());

    std::stop_source source;
    std::jthread canceller([&source] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        source.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    const auto cancelled = BackoffWait::sleep(600ull * 1'000'000'000ull, source.get_token());
    ASSERT_FALSE(cancelled.ok());
    EXPECT_TRUE(isCancellation(cancelled.error()));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

} // namespace
} // namespace veltora
