// The log facility when no thread can be started: every call returns, no line
// is lost, and the failure is reported. Thread starts of this program go
// through the pthread_create below, which fails them on demand.

#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/SerialQueue.h"
#include "tests/filelog/FileLogTestSupport.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <future>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> threadStartsFail{false};

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (threadStartsFail.load()) {
        return EAGAIN;
    }
    return next(thread, attributes, start, argument);
}

namespace veltora {
namespace {

using test::RecordingLogger;
using test::TemporaryDirectory;

// Fails every thread start while it lives.
class FailingThreadStarts {
public:
    FailingThreadStarts() { threadStartsFail = true; }
    ~FailingThreadStarts() { threadStartsFail = false; }
    FailingThreadStarts(const FailingThreadStarts&) = delete;
    FailingThreadStarts& operator=(const FailingThreadStarts&) = delete;
};

// Runs the body on a thread started beforehand; a body that hangs ends the
// program with a failure instead of holding up the whole run.
void finishesInTime(const std::function<void()>& body) {
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread runner([&] {
        body();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fputs("a call waited for a thread that was never started\n", stderr);
        std::_Exit(1);
    }
    runner.join();
}

TEST(ThreadStartFailure, AQueueRunsItsWorkOnTheCallersThatWaitForIt) {
    finishesInTime([] {
        SerialQueue queue("test.threadless", SerialQueue::Priority::normal, 2);
        std::vector<int> order;
        std::thread::id ranOn;
        testing::internal::CaptureStderr();
        {
            const FailingThreadStarts failing;
            queue.async([&] { order.push_back(1); }); // waits for a thread, or a caller
            queue.async([&] { order.push_back(2); });
            queue.async([&] { order.push_back(3); }); // full: this caller runs the first two
            EXPECT_EQ(order, (std::vector<int>{1, 2}));
            queue.sync([&] { order.push_back(4); });
            EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
            queue.async([&] { order.push_back(5); });
        }
        queue.async([&] { ranOn = std::this_thread::get_id(); }); // a thread again
        queue.sync([] {});
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_NE(ranOn, std::this_thread::get_id());
        const std::string report = "queue test.threadless: cannot start its thread: ";
        const auto first = diagnostics.find(report);
        EXPECT_NE(first, std::string::npos) << diagnostics;
        EXPECT_EQ(diagnostics.find(report, first + 1), std::string::npos) << "reported once";

        SerialQueue stopped("test.threadless-stop");
        bool ran = false;
        {
            const FailingThreadStarts failing;
            stopped.async([&] { ran = true; });
            stopped.stop(); // what waits runs on the stopping caller
        }
        EXPECT_TRUE(ran);
    });
}

TEST(ThreadStartFailure, TheRegistryAndItsSinksWriteEveryLineOnTheCallers) {
    finishesInTime([] {
        DDLog registry;
        auto first = std::make_shared<RecordingLogger>("first");
        auto second = std::make_shared<RecordingLogger>("second");
        std::vector<std::string> expected;
        testing::internal::CaptureStderr();
        {
            const FailingThreadStarts failing;
            registry.addLogger(first, DDLogLevel::all);
            registry.addLogger(second, DDLogLevel::all);
            // Batches large enough for the sinks to work in parallel, were there threads.
            for (int i = 0; i < 100; ++i) {
                expected.push_back("line " + std::to_string(i));
                registry.log(true, test::messageWith(DDLogFlag::info, expected.back()));
            }
            expected.emplace_back("error");
            registry.log(false, test::messageWith(DDLogFlag::error, "error"));
            EXPECT_EQ(first->lines(), expected);
            for (std::size_t i = 0; i < DDLog::kBacklogLineLimit + 100; ++i) {
                expected.push_back(std::to_string(i));
                registry.log(true, test::messageWith(DDLogFlag::info, expected.back()));
            }
            registry.flushLog();
        }
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_EQ(first->lines(), expected);
        EXPECT_EQ(second->lines(), expected);
        EXPECT_NE(diagnostics.find("queue cocoa.lumberjack: cannot start its thread: "), std::string::npos);
        EXPECT_NE(diagnostics.find("queue first: cannot start its thread: "), std::string::npos);
    });
}

TEST(ThreadStartFailure, TheFileSinkWritesWithoutItsThreadsAndStillNoticesADeletedFile) {
    finishesInTime([] {
        TemporaryDirectory directory;
        auto manager = std::make_shared<DDLogFileManagerDefault>(directory.path());
        manager->setMaximumNumberOfLogFiles(0);
        auto logger = std::make_shared<DDFileLogger>(manager);
        DDLog registry;
        const auto logFiles = [&] {
            std::vector<std::string> paths;
            for (const auto& info : manager->sortedLogFileInfos()) {
                paths.push_back(info.filePath());
            }
            return paths;
        };
        testing::internal::CaptureStderr();
        {
            const FailingThreadStarts failing;
            registry.addLogger(logger, DDLogLevel::all);
            registry.log(true, test::messageWith(DDLogFlag::info, "first"));
            registry.log(false, test::messageWith(DDLogFlag::error, "second"));
            const auto files = logFiles();
            ASSERT_EQ(files.size(), 1u);
            EXPECT_NE(test::readFile(files[0]).find("  first\n"), std::string::npos);
            EXPECT_NE(test::readFile(files[0]).find("  second\n"), std::string::npos);

            // No watcher thread saw this: the next write finds it out.
            ASSERT_EQ(::unlink(files[0].c_str()), 0);
            registry.log(false, test::messageWith(DDLogFlag::error, "third"));
            const auto after = logFiles();
            ASSERT_EQ(after.size(), 1u);
            EXPECT_NE(test::readFile(after[0]).find("  third\n"), std::string::npos);
            manager->waitForCleanUp();
        }
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_NE(diagnostics.find("LogFileWatcher: cannot start its thread: "), std::string::npos)
            << diagnostics;
    });
}

} // namespace
} // namespace veltora
