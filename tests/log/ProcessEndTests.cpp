#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltora {
namespace {

// Appends each line to a file, slowly, so that lines are still queued when the process ends.
class SlowFileLogger : public DDAbstractLogger {
public:
    explicit SlowFileLogger(std::string path) : DDAbstractLogger("slow-file"), path_(std::move(path)) {}
    void logMessage(const DDLogMessage& message) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ofstream(path_, std::ios::app) << message.message << '\n';
    }

private:
    std::string path_;
};

std::string readAll(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Also covers a child of a process whose log queues already ran: the child's queues get new threads.
TEST(ProcessEnd, QueuedLinesAreWrittenWhenTheProcessExitsNormally) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads started after a fork";
#endif
    // The parent's queues run threads that the child will not have.
    auto parentSink = std::make_shared<test::RecordingLogger>();
    DDLog::sharedInstance().addLogger(parentSink, DDLogLevel::error);
    DDLogError("parent line");
    ASSERT_EQ(parentSink->lines(), std::vector<std::string>{"parent line"});
    const std::string path = testing::TempDir() + "process-end-" + std::to_string(getpid()) + ".log";
    std::remove(path.c_str());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DDLog::sharedInstance().addLogger(std::make_shared<SlowFileLogger>(path), DDLogLevel::all);
        for (int i = 0; i < 20; ++i) {
            DDLogInfo("line " + std::to_string(i));
        }
        std::exit(0); // static destruction must flush the queued lines and end the threads
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string expected;
    for (int i = 0; i < 20; ++i) {
        expected += "line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(readAll(path), expected);
    std::remove(path.c_str());
}

TEST(ProcessEnd, ThreadsStillLoggingDoNotBreakTheExit) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads started after a fork";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DDLog::sharedInstance().addLogger(std::make_shared<test::RecordingLogger>(), DDLogLevel::all);
        for (int t = 0; t < 3; ++t) {
            std::thread([t] {
                for (;;) {
                    if (t == 0) {
                        DDLogError("error while ending");
                    } else {
                        DDLogInfo("info while ending");
                    }
                }
            }).detach();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Holds the line "hold" until released; records the others.
class HoldingLogger : public test::RecordingLogger {
public:
    void logMessage(const DDLogMessage& message) override {
        if (message.message == "hold") {
            entered.set_value();
            released_.wait();
        }
        RecordingLogger::logMessage(message);
    }
    std::promise<void> entered;
    std::promise<void> release;

private:
    std::shared_future<void> released_ = release.get_future().share();
};

// The parent's thread was writing an error line in place of the queues' threads
// when it forked: the child has no such thread, and must not wait for it.
TEST(ProcessEnd, AChildForkedWhileALineIsWrittenInPlaceLogsOn) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads started after a fork";
#endif
    DDLog registry;
    auto sink = std::make_shared<HoldingLogger>();
    registry.addLogger(sink, DDLogLevel::all);
    registry.flushLog();
    auto entered = sink->entered.get_future();
    std::thread writer([&] { registry.log(false, test::messageWith(DDLogFlag::error, "hold")); });
    entered.wait();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        registry.log(false, test::messageWith(DDLogFlag::error, "child line"));
        const auto lines = sink->lines();
        _exit(lines.size() == 1 && lines[0] == "child line" ? 0 : 1);
    }
    sink->release.set_value();
    writer.join();
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == 1000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace veltora
