#include "VeltoraCryptoTokenKit/base/MadeOnce.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace veltora {
namespace {

// Threads that ask at once all get the one value kept; the values of those
// that lost the race are dropped (the leak check would see them otherwise),
// and later askers never make one.
TEST(MadeOnce, EveryThreadGetsTheOneValueKept) {
    MadeOnce<std::string> value;
    std::atomic<int> made{0};
    std::array<const std::string*, 8> seen{};
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < seen.size(); ++t) {
            threads.emplace_back([&, t] {
                seen[t] = &value.get([&] { return "made by " + std::to_string(++made); });
            });
        }
    }
    for (const std::string* each : seen) {
        EXPECT_EQ(each, seen[0]);
    }
    const int madeByThreads = made.load();
    EXPECT_GE(madeByThreads, 1);
    EXPECT_EQ(&value.get([&] { return "made by " + std::to_string(++made); }), seen[0]);
    EXPECT_EQ(made.load(), madeByThreads);
}

} // namespace
} // namespace veltora
