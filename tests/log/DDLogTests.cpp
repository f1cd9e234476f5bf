#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace veltora {
namespace {

using test::RecordingLogger;

DDLogMessage messageWith(DDLogFlag flag, std::string text) {
    DDLogMessage message;
    message.flag = flag;
    message.message = std::move(text);
    return message;
}

TEST(DDLog, SinksSeeEveryThreadsLinesInOneGlobalOrder) {
    DDLog registry;
    auto first = std::make_shared<RecordingLogger>("first");
    auto second = std::make_shared<RecordingLogger>("second");
    registry.addLogger(first, DDLogLevel::all);
    registry.addLogger(second, DDLogLevel::all);

    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::vector<std::jthread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&registry, t] {
            for (int i = 0; i < perThread; ++i) {
                registry.log(true, messageWith(DDLogFlag::info, std::to_string(t) + ":" + std::to_string(i)));
            }
        });
    }
    writers.clear();
    registry.flushLog();

    const auto lines = first->lines();
    ASSERT_EQ(lines.size(), std::size_t{threads * perThread});
    EXPECT_EQ(lines, second->lines());
    std::map<int, int> next;
    for (const auto& line : lines) {
        const int thread = std::stoi(line.substr(0, line.find(':')));
        const int index = std::stoi(line.substr(line.find(':') + 1));
        EXPECT_EQ(index, next[thread]++) << "thread " << thread << " out of order";
    }
}

TEST(DDLog, SynchronousLineIsFinishedByEverySinkBeforeReturning) {
    DDLog registry;
    auto slow = std::make_shared<RecordingLogger>("slow", std::chrono::milliseconds(50));
    auto fast = std::make_shared<RecordingLogger>("fast");
    registry.addLogger(slow, DDLogLevel::all);
    registry.addLogger(fast, DDLogLevel::all);

    registry.log(false, messageWith(DDLogFlag::error, "boom"));
    EXPECT_EQ(slow->lines(), std::vector<std::string>{"boom"});
    EXPECT_EQ(fast->lines(), std::vector<std::string>{"boom"});
}

TEST(DDLog, MasksFilterAndDuplicateRegistrationsCollapse) {
    DDLog registry;
    auto info = std::make_shared<RecordingLogger>("info");
    auto twice = std::make_shared<RecordingLogger>("twice");
    registry.addLogger(info, DDLogLevel::info);
    registry.addLogger(info, DDLogLevel::info); // same sink, same mask: one node
    registry.addLogger(twice, DDLogLevel::error);
    registry.addLogger(twice, DDLogLevel::all); // another mask: a second node

    for (auto flag :
         {DDLogFlag::error, DDLogFlag::warning, DDLogFlag::info, DDLogFlag::debug, DDLogFlag::verbose}) {
        registry.log(true, messageWith(flag, std::to_string(static_cast<int>(flag))));
    }
    registry.flushLog();

    EXPECT_EQ(info->lines(), (std::vector<std::string>{"1", "2", "4"}));
    EXPECT_EQ(twice->lines(), (std::vector<std::string>{"1", "1", "2", "4", "8", "16"}));
}

TEST(DDLog, LineQueuedBeforeRegistrationReachesNoSink) {
    DDLog registry;
    auto early = std::make_shared<RecordingLogger>("early");
    registry.addLogger(early, DDLogLevel::error);
    auto late = std::make_shared<RecordingLogger>("late");
    registry.log(true, messageWith(DDLogFlag::error, "before"));
    registry.addLogger(late, DDLogLevel::all);
    registry.log(true, messageWith(DDLogFlag::error, "after"));
    registry.log(true, messageWith(DDLogFlag::info, "info"));
    registry.flushLog();

    EXPECT_EQ(early->lines(), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(late->lines(), (std::vector<std::string>{"after", "info"}));
}

} // namespace
} // namespace veltora
