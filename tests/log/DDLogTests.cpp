#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <future>
#include <map>
#include <stdexcept>
#include <thread>

namespace veltora {
namespace {

using test::RecordingLogger;

using test::messageWith;

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
    auto slow = std::make_shared<RecordingLogger>("slow", std::chrono::milliseconds(20));
    auto fast = std::make_shared<RecordingLogger>("fast");
    registry.addLogger(slow, DDLogLevel::all);
    registry.addLogger(fast, DDLogLevel::all);

    registry.log(true, messageWith(DDLogFlag::info, "queued"));
    registry.log(false, messageWith(DDLogFlag::error, "boom"));
    EXPECT_EQ(slow->lines(), (std::vector<std::string>{"queued", "boom"}));
    EXPECT_EQ(fast->lines(), (std::vector<std::string>{"queued", "boom"}));

    // The same while other threads keep the logging queue busy.
    std::vector<std::jthread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&registry] {
            for (int i = 0; i < 5; ++i) {
                registry.log(true, messageWith(DDLogFlag::info, "noise"));
            }
        });
    }
    registry.log(false, messageWith(DDLogFlag::error, "second"));
    for (const auto& sink : {slow, fast}) {
        const auto lines = sink->lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "second"), lines.end());
    }
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

// Logs from inside its own work, throws on "throw", and counts its flushes.
class MisbehavingLogger : public RecordingLogger {
public:
    explicit MisbehavingLogger(DDLog& registry) : RecordingLogger("misbehaving"), registry_(registry) {}
    void logMessage(const DDLogMessage& message) override {
        if (message.message == "throw") {
            throw std::runtime_error("disk full");
        }
        if (message.message == "echo") {
            registry_.log(false, messageWith(DDLogFlag::error, "from inside"));
        }
        RecordingLogger::logMessage(message);
    }
    bool canFlush() const override { return true; }
    void flush() override { ++flushes; }
    std::atomic<int> flushes{0};

private:
    DDLog& registry_;
};

TEST(DDLog, MisbehavingSinksNeitherHangNorStopTheRegistry) {
    DDLog registry;
    auto misbehaving = std::make_shared<MisbehavingLogger>(registry);
    auto other = std::make_shared<RecordingLogger>("other");
    registry.addLogger(misbehaving, DDLogLevel::all);
    registry.addLogger(misbehaving, DDLogLevel::error); // a second node of the same sink
    registry.addLogger(other, DDLogLevel::all);

    testing::internal::CaptureStderr();
    registry.log(false, messageWith(DDLogFlag::info, "echo"));
    registry.log(false, messageWith(DDLogFlag::info, "throw"));
    registry.log(false, messageWith(DDLogFlag::info, "after"));
    registry.flushLog();
    const std::string diagnostics = testing::internal::GetCapturedStderr();

    // The inner line is queued while "echo" is being written, so it comes before "throw".
    EXPECT_EQ(misbehaving->lines(),
              (std::vector<std::string>{"echo", "from inside", "from inside", "after"}));
    EXPECT_EQ(other->lines(), (std::vector<std::string>{"echo", "from inside", "throw", "after"}));
    EXPECT_NE(diagnostics.find("misbehaving"), std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find("disk full"), std::string::npos) << diagnostics;
    EXPECT_EQ(misbehaving->flushes.load(), 1); // once per sink, not per node
}

// Stalls on its first line until released, as a hung disk does; on "echo" it
// logs from its own work as many lines as the backlog holds, and one more.
// Numbered lines must come in order; the counts are read after a flush.
class StalledSink : public DDAbstractLogger {
public:
    explicit StalledSink(DDLog& registry) : DDAbstractLogger("stalled"), registry_(registry) {}
    void logMessage(const DDLogMessage& message) override {
        released_.wait();
        if (message.message == "echo") {
            for (std::size_t i = 0; i <= DDLog::kBacklogLineLimit; ++i) {
                registry_.log(true, messageWith(DDLogFlag::info, "inner"));
            }
        }
        if (!message.message.empty() && std::isdigit(static_cast<unsigned char>(message.message[0]))) {
            inOrder = inOrder && std::stoul(message.message) == numbered++;
        } else {
            ++others;
        }
    }
    void release() { gate_.set_value(); }

    std::size_t numbered = 0;
    std::size_t others = 0;
    bool inOrder = true;

private:
    DDLog& registry_;
    std::promise<void> gate_;
    std::shared_future<void> released_ = gate_.get_future().share();
};

TEST(DDLog, ProducersWaitForRoomWhileASinkStallsAndNoLineIsLost) {
    struct Case {
        const char* name;
        std::size_t lineSize;
    };
    for (const Case row : {Case{"short lines", 16}, Case{"long lines", 1024 * 1024}}) {
        SCOPED_TRACE(row.name);
        // Lines the backlog takes before its producers wait.
        const std::size_t bound =
            std::min(DDLog::kBacklogLineLimit, (DDLog::kBacklogByteLimit + row.lineSize - 1) / row.lineSize);
        const std::size_t total = 3 * bound;
        DDLog registry;
        auto sink = std::make_shared<StalledSink>(registry);
        registry.addLogger(sink, DDLogLevel::all);

        std::atomic<std::size_t> accepted{0};
        std::jthread producer([&] {
            registry.log(true, messageWith(DDLogFlag::info, "echo"));
            for (std::size_t i = 0; i < total; ++i) {
                registry.log(
                    true, messageWith(DDLogFlag::info, std::to_string(i) + std::string(row.lineSize, ' ')));
                ++accepted;
            }
        });
        for (int waited = 0; accepted < bound && waited < 30000; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // The backlog, and the batch the stalled sink holds.
        EXPECT_LE(accepted.load(), 2 * bound + 1);
        std::jthread errorLine([&] { registry.log(false, messageWith(DDLogFlag::error, "error")); });

        sink->release();
        producer.join();
        errorLine.join();
        registry.flushLog();
        EXPECT_EQ(sink->numbered, total);
        EXPECT_TRUE(sink->inOrder);
        EXPECT_EQ(sink->others, 2 + DDLog::kBacklogLineLimit + 1); // echo, error and the sink's own lines
    }
}

} // namespace
} // namespace veltora
