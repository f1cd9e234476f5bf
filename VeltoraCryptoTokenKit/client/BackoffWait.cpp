#include "VeltoraCryptoTokenKit/client/BackoffWait.h"

#include "VeltoraCryptoTokenKit/client/ProcessEnd.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <random>

namespace veltora {

namespace {

float growth(float t) {
    return std::pow(2.0f, t) * std::tanh(std::sqrt(4.0f * t));
}

// 2^64 is exactly representable as a float; anything at or above it is not a
// 64-bit count.
constexpr float kTwoToThe64 = 18446744073709551616.0f;

} // namespace

BackoffWait::RandomSource BackoffWait::defaultRandomSource() {
    return [] {
        thread_local std::mt19937 engine{std::random_device{}()};
        std::uniform_int_distribution<std::uint32_t> draw(0, kRandomRange);
        return draw(engine);
    };
}

BackoffWait::BackoffWait(float firstRetryDelay, RandomSource random)
    : firstRetryDelay_(firstRetryDelay), random_(std::move(random)) {}

BackoffWait::Wait BackoffWait::afterAttempt(std::int64_t attempt) const {
    return capped(seconds(firstRetryDelay_, attempt, random_()));
}

float BackoffWait::seconds(float firstRetryDelay, std::int64_t attempt, std::uint32_t draw) {
    const float j = draw >= kRandomRange ? 1.0f : static_cast<float>(draw) * 0x1p-24f;
    const auto n = static_cast<float>(attempt);
    const float current = growth(n - 1.0f + j);
    const float previous = attempt >= 2 ? growth(n - 2.0f + j) : 0.0f;
    const float factor = (current - previous) * 0.71428573f;
    return firstRetryDelay * 1000.0f * factor / 1000.0f;
}

BackoffWait::Wait BackoffWait::capped(float seconds) {
    const float nanoseconds = seconds * 1e9f;
    if (!std::isfinite(nanoseconds) || nanoseconds < 0.0f || nanoseconds >= kTwoToThe64) {
        return Wait{kCapSeconds, static_cast<std::uint64_t>(kCapSeconds) * 1'000'000'000u};
    }
    return Wait{seconds, static_cast<std::uint64_t>(nanoseconds)};
}

Result<void> BackoffWait::sleep(std::uint64_t nanoseconds, std::stop_token stopToken) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    // The end of the process cuts the wait short too.
    const ProcessEnd::Watch endWatch([&] {
        { const std::lock_guard held(mutex); }
        wakeUp.notify_all();
    });
    const auto stopped = [&stopToken] { return stopToken.stop_requested() || ProcessEnd::underway(); };
    std::unique_lock lock(mutex);
    // In slices, so that no deadline computed from the clock can overflow.
    constexpr std::uint64_t kSlice = 3600ull * 1'000'000'000ull;
    while (nanoseconds > 0 && !stopped()) {
        const std::uint64_t slice = std::min(nanoseconds, kSlice);
        const std::chrono::nanoseconds duration(static_cast<std::int64_t>(slice));
        wakeUp.wait_for(lock, stopToken, duration, [] { return ProcessEnd::underway(); });
        nanoseconds -= slice;
    }
    if (stopped()) {
        return cancellationError();
    }
    return {};
}

} // namespace veltora
