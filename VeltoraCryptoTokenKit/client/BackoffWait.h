#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <functional>
#include <stop_token>

namespace veltora {

// The randomised, steeply growing wait between two attempts of a request,
// computed in single precision: with j uniform in [0, 1] and
// f(t) = 2^t * tanh(sqrt(4t)), the wait after attempt n is
// firstRetryDelay * (f(n - 1 + j) - f(n - 2 + j)) / 1.4 seconds (f(n - 2 + j)
// counts as 0 for n = 1).
class BackoffWait {
public:
    // Yields integers uniformly from 0 to kRandomRange inclusive.
    using RandomSource = std::function<std::uint32_t()>;
    static constexpr std::uint32_t kRandomRange = 1u << 24;
    static RandomSource defaultRandomSource();

    // A wait that is not finite, is negative, or does not fit an unsigned
    // 64-bit count of nanoseconds (huge attempt numbers or delays, a negative
    // delay from the configuration) cannot be waited as computed: it is capped
    // at this many seconds, so a bad setting slows retries but never ends the
    // process or makes them spin.
    static constexpr float kCapSeconds = 600.0f;

    struct Wait {
        float seconds = 0;             // as logged
        std::uint64_t nanoseconds = 0; // as slept
    };

    explicit BackoffWait(float firstRetryDelay, RandomSource random = defaultRandomSource());

    // Draws a new j and returns the wait after a retryable answer to attempt n (n >= 1).
    Wait afterAttempt(std::int64_t attempt) const;

    // The wait for a given draw r of the random source, before any cap.
    static float seconds(float firstRetryDelay, std::int64_t attempt, std::uint32_t draw);
    // The wait as slept: w * 10^9 truncated, or the cap.
    static Wait capped(float seconds);

    // Sleeps; fails with the cancellation error (TransportError.h) as soon as
    // the stop token is triggered or the process begins to end (ProcessEnd.h).
    static Result<void> sleep(std::uint64_t nanoseconds, std::stop_token stopToken);

private:
    float firstRetryDelay_;
    RandomSource random_;
};

} // namespace veltora
