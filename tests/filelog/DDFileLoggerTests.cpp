#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileFormatterDefault.h"
#include "VeltoraCryptoTokenKit/log/UtcDateText.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace veltora {
namespace {

using test::TemporaryDirectory;

DDLogMessage messageWith(std::string text, DDLogFlag flag = DDLogFlag::info) {
    DDLogMessage message;
    message.flag = flag;
    message.message = std::move(text);
    message.timestamp = std::chrono::system_clock::now();
    return message;
}

// A private registry with one file sink, as setup makes it.
struct FileSinkFixture {
    explicit FileSinkFixture(const std::string& directory)
        : manager(std::make_shared<DDLogFileManagerDefault>(directory)),
          logger(std::make_shared<DDFileLogger>(manager)) {
        registry.addLogger(logger, DDLogLevel::all);
    }
    void log(const std::string& text, DDLogFlag flag = DDLogFlag::info) {
        registry.log(flag != DDLogFlag::error, messageWith(text, flag));
    }
    std::vector<std::string> logFiles() const {
        std::vector<std::string> paths;
        for (const auto& info : manager->sortedLogFileInfos()) {
            paths.push_back(info.filePath());
        }
        return paths;
    }

    std::shared_ptr<DDLogFileManagerDefault> manager;
    std::shared_ptr<DDFileLogger> logger;
    DDLog registry;
};

class UnterminatedFormatter : public DDLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const DDLogMessage& message) override {
        return "<" + message.message + ">";
    }
};

TEST(DDFileLogger, WritesTimestampTwoSpacesTextAndOneLineFeed) {
    DDLogMessage fixed = messageWith("x");
    fixed.timestamp = std::chrono::sys_days{std::chrono::year{2024} / 3 / 5} + std::chrono::hours{14} +
                      std::chrono::minutes{7} + std::chrono::seconds{9} + std::chrono::milliseconds{123};
    EXPECT_EQ(DDLogFileFormatterDefault().formatLogMessage(fixed), "2024/03/05 14:07:09:123  x");

    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.log("x");
    sink.log("ends with a line feed\n");
    sink.log("bad \xC3 byte, fine \xC3\xA9");
    sink.log("");
    sink.registry.flushLog();
    const auto files = sink.logFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string content = test::readFile(files[0]);
    const std::string stamp = "\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}  ";
    EXPECT_TRUE(
        std::regex_match(content, std::regex(stamp + "x\n" + stamp + "ends with a line feed\n" + stamp +
                                             "bad \xEF\xBF\xBD byte, fine \xC3\xA9\n" + stamp + "\n")))
        << content;

    // A formatter's text gets its line feed only while the sink is told to add one.
    sink.logger->setLogFormatter(std::make_shared<UnterminatedFormatter>());
    (void)sink.logger->logFormatter(); // the change goes through the shared registry, not this one
    sink.log("a");
    sink.registry.flushLog();
    sink.logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    sink.log("b");
    sink.registry.flushLog();
    EXPECT_TRUE(content.size() < test::readFile(files[0]).size());
    EXPECT_EQ(test::readFile(files[0]).substr(content.size()), "<a>\n<b>");
}

TEST(DDFileLogger, RollsAfterTheLineThatReachesTheSizeLimit) {
    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.manager->setMaximumNumberOfLogFiles(0);
    sink.logger->setMaximumFileSize(200);
    for (int i = 0; i < 20; ++i) {
        sink.log("line " + std::to_string(i) + std::string(20, '.'),
                 i % 7 == 0 ? DDLogFlag::error : DDLogFlag::info);
    }
    sink.registry.flushLog();

    const auto files = sink.logFiles(); // newest first
    ASSERT_GE(files.size(), 3u);
    int next = 0;
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        const std::string content = test::readFile(*file);
        const bool last = file + 1 == files.rend();
        if (!last) {
            // Full, and not full before its last line.
            const std::size_t lastLine = content.rfind('\n', content.size() - 2) + 1;
            EXPECT_GE(content.size(), 200u) << *file;
            EXPECT_LT(lastLine, 200u) << *file;
            EXPECT_TRUE(DDLogFileInfo(*file).isArchived()) << *file;
        }
        for (std::size_t at = 0; at < content.size(); at = content.find('\n', at) + 1) {
            EXPECT_NE(content.find("  line " + std::to_string(next++) + ".", at), std::string::npos);
        }
    }
    EXPECT_EQ(next, 20);
}

TEST(DDFileLogger, ReusesTheNewestFileUnlessToldNotToOrItIsArchived) {
    TemporaryDirectory directory;
    std::string first;
    {
        FileSinkFixture sink(directory.path());
        sink.log("first process");
        sink.registry.flushLog();
        first = sink.logFiles().at(0);
    }
    {
        FileSinkFixture sink(directory.path());
        sink.log("second process");
        sink.registry.flushLog();
        ASSERT_EQ(sink.logFiles(), std::vector<std::string>{first});
    }
    {
        FileSinkFixture sink(directory.path());
        sink.logger->setDoNotReuseLogFiles(true);
        sink.log("third process");
        sink.registry.flushLog();
        sink.manager->waitForCleanUp();
        const auto files = sink.logFiles();
        ASSERT_EQ(files.size(), 2u);
        EXPECT_EQ(files[1], first);
        EXPECT_TRUE(DDLogFileInfo(first).isArchived());
        EXPECT_NE(test::readFile(first).find("second process"), std::string::npos);
        EXPECT_NE(test::readFile(files[0]).find("third process"), std::string::npos);
    }
}

TEST(DDFileLogger, StartsANewFileWhenTheCurrentOneIsDeletedRenamedOrOld) {
    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.manager->setMaximumNumberOfLogFiles(0);
    sink.log("before");
    sink.registry.flushLog();
    const std::string first = sink.logFiles().at(0);
    ASSERT_EQ(::unlink(first.c_str()), 0);
    // The watcher's event races with the next lines: lines keep coming until one lands in a new file.
    int probe = 0;
    ASSERT_TRUE(test::eventually([&] {
        sink.log("probe " + std::to_string(probe++));
        sink.registry.flushLog();
        return !sink.logFiles().empty();
    }));
    sink.log("after deletion");
    sink.registry.flushLog();
    const std::string second = sink.logFiles().at(0);
    EXPECT_NE(test::readFile(second).find("after deletion"), std::string::npos);

    ASSERT_EQ(::rename(second.c_str(), (directory / "moved away").c_str()), 0);
    ASSERT_TRUE(test::eventually([&] {
        sink.log("probe " + std::to_string(probe++));
        sink.registry.flushLog();
        return !sink.logFiles().empty();
    }));
    const std::string third = sink.logFiles().at(0);

    // The age check runs at once when the frequency changes, and then from the timer.
    sink.logger->setRollingFrequency(1);
    sink.log("after the age limit");
    sink.registry.flushLog();
    EXPECT_TRUE(DDLogFileInfo(third).isArchived());
    const std::string fourth = sink.logFiles().at(0);
    EXPECT_NE(fourth, third);
    sink.logger->setRollingFrequency(1.5);
    EXPECT_TRUE(test::eventually([&] { return DDLogFileInfo(fourth).isArchived(); }));
}

TEST(DDFileLogger, WaitsForAnotherWritersLockButNeverForEver) {
    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.log("opens the file");
    sink.registry.flushLog();
    const std::string path = sink.logFiles().at(0);
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);

    testing::internal::CaptureStderr();
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::thread releaser([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::flock(other, LOCK_UN);
    });
    sink.log("waited for the lock", DDLogFlag::error);
    releaser.join();
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    sink.log("dropped while the lock is held", DDLogFlag::error);
    ::flock(other, LOCK_UN);
    sink.log("written again", DDLogFlag::error);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    ::close(other);

    const std::string content = test::readFile(path);
    EXPECT_NE(content.find("waited for the lock"), std::string::npos);
    EXPECT_EQ(content.find("dropped while the lock is held"), std::string::npos);
    EXPECT_NE(content.find("written again"), std::string::npos);
    EXPECT_NE(diagnostics.find("DDFileLogger: Could not lock logfile, retrying in 1ms: "), std::string::npos);
    EXPECT_NE(diagnostics.find("dropping the line"), std::string::npos);
}

TEST(DDFileLogger, MissingOrBlockedDirectoryIsReportedAndLaterLinesAreTried) {
    TemporaryDirectory directory;
    const std::string blocker = directory / "blocker";
    test::writeFile(blocker, "a file where the logs directory should go");
    FileSinkFixture sink(blocker + "/logs");

    testing::internal::CaptureStderr();
    sink.log("lost", DDLogFlag::error);
    sink.log("lost too");
    sink.registry.flushLog();
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    for (const char* text : {"DDFileLogManagerDefault: Error creating logsDirectory: ",
                             "DDLogFileManagerDefault: Critical error while creating log file: ",
                             "DDLogFileManagerDefault: Bailing file creation, encountered 5 errors.",
                             "DDFileLogger: Failed to create new log file: ", "DDFileLogger.logMessage: "}) {
        EXPECT_NE(diagnostics.find(text), std::string::npos) << text << "\n" << diagnostics;
    }

    ASSERT_EQ(::unlink(blocker.c_str()), 0);
    sink.log("written once the directory can be made", DDLogFlag::error);
    const auto files = sink.logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(test::readFile(files[0]).find("lost"), std::string::npos);
    EXPECT_NE(test::readFile(files[0]).find("written once the directory can be made"), std::string::npos);
}

} // namespace
} // namespace veltora
