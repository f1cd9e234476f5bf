#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileFormatterDefault.h"
#include "VeltoraCryptoTokenKit/log/UtcDateText.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Forced writes leave no trace in the file: this program counts its calls of
// fsync and passes them on to the C library's. Looked up before main: a lookup
// from a sink's thread could wait for a module unload that waits for that thread.
std::atomic<int> fsyncCalls{0};
const auto libraryFsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));

} // namespace

extern "C" int fsync(int fd) {
    ++fsyncCalls;
    return libraryFsync(fd);
}

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
    // In the file's first second the sink looks at each write: the very next line is in a new file.
    sink.log("after deletion");
    sink.registry.flushLog();
    ASSERT_EQ(sink.logFiles().size(), 1u);
    const std::string second = sink.logFiles().at(0);
    EXPECT_NE(test::readFile(second).find("after deletion"), std::string::npos);
    EXPECT_EQ(test::readFile(second).find("before"), std::string::npos);

    ASSERT_EQ(::rename(second.c_str(), (directory / "moved away").c_str()), 0);
    // The watcher's event races with the next lines: lines keep coming until one lands in a new file.
    int probe = 0;
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

TEST(DDFileLogger, AFlushForcesTheFileToDiskOnlyWhenSomethingWasWrittenSince) {
    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.log("first");
    const int before = fsyncCalls.load();
    sink.registry.flushLog();
    EXPECT_EQ(fsyncCalls.load() - before, 1);
    sink.registry.flushLog(); // as the process end does after the module's finalisation
    EXPECT_EQ(fsyncCalls.load() - before, 1);
    sink.log("second");
    sink.registry.flushLog();
    EXPECT_EQ(fsyncCalls.load() - before, 2);
    const std::string content = test::readFile(sink.logFiles().at(0));
    EXPECT_NE(content.find("first\n"), std::string::npos);
    EXPECT_NE(content.find("second\n"), std::string::npos);
}

TEST(DDFileLogger, WaitsForAnotherWritersLockAWhileAndWritesTheBatchEitherWay) {
    struct Case {
        const char* name;
        std::chrono::milliseconds held; // past the sink's bound of a second in the second row
        const char* diagnostic;
    };
    for (const Case row : {Case{"released soon", std::chrono::milliseconds(50), "retrying in 1ms: "},
                           Case{"held on", std::chrono::milliseconds(2000), "writing without the lock"}}) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory directory;
        FileSinkFixture sink(directory.path());
        sink.log("opens the file");
        sink.registry.flushLog();
        const std::string path = sink.logFiles().at(0);
        const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); // another writer's lock
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        std::thread releaser([other, held = row.held] {
            std::this_thread::sleep_for(held);
            ::flock(other, LOCK_UN);
        });

        testing::internal::CaptureStderr();
        for (int i = 0; i < 20; ++i) {
            sink.log("batch line " + std::to_string(i));
        }
        sink.log("error line", DDLogFlag::error);
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        releaser.join();
        ::close(other);

        const std::string content = test::readFile(path);
        for (int i = 0; i < 20; ++i) {
            EXPECT_NE(content.find("  batch line " + std::to_string(i) + "\n"), std::string::npos) << i;
        }
        EXPECT_NE(content.find("  error line\n"), std::string::npos);
        EXPECT_NE(diagnostics.find("DDFileLogger: Could not lock logfile"), std::string::npos);
        EXPECT_NE(diagnostics.find(row.diagnostic), std::string::npos) << diagnostics;
    }
}

// Logs may name accounts and hosts: only the user reads them, whatever the umask.
TEST(DDFileLogger, FilesAndFoldersItCreatesArePrivate) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        TemporaryDirectory directory;
        const mode_t previous = ::umask(mask);
        {
            FileSinkFixture sink(directory / "made/logs");
            sink.log("a line", DDLogFlag::error);
            sink.logger->flush();
        }
        ::umask(previous);
        const auto modeOf = [](const std::string& path) {
            struct stat status {};
            EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
            return status.st_mode & 07777;
        };
        EXPECT_EQ(modeOf(directory / "made"), 0700u);
        EXPECT_EQ(modeOf(directory / "made/logs"), 0700u);
        const auto names = test::fileNames(directory / "made/logs");
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(modeOf(directory / ("made/logs/" + names[0])), 0600u);
        EXPECT_NE(test::readFile(directory / ("made/logs/" + names[0])).find("a line"), std::string::npos);
    }
}

// Counts what it is given; stalls once, as a hung disk does, until the flood
// has ended or is held back (what it has handed over stays the same a while).
class StallingCountingSink : public DDAbstractLogger {
public:
    explicit StallingCountingSink(const std::atomic<std::size_t>& handedOver)
        : DDAbstractLogger("stalling-counting"), handedOver_(handedOver) {}
    void logMessage(const DDLogMessage&) override { seen.fetch_add(1); }
    void didLogBatch() override {
        for (std::size_t before = SIZE_MAX; !stalled_ && handedOver_.load() != before;) {
            before = handedOver_.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        stalled_ = true;
    }
    std::atomic<std::size_t> seen{0};

private:
    const std::atomic<std::size_t>& handedOver_;
    bool stalled_ = false;
};

TEST(DDFileLogger, AFloodWhileTheDiskStallsKeepsMemoryBoundedAndLosesNoLine) {
    TemporaryDirectory directory;
    FileSinkFixture sink(directory.path());
    sink.manager->setMaximumNumberOfLogFiles(0);
    sink.manager->setLogFilesDiskQuota(0);
    std::atomic<std::size_t> accepted{0};
    auto slow = std::make_shared<StallingCountingSink>(accepted);
    sink.registry.addLogger(slow, DDLogLevel::all);

    constexpr int threads = 3;
    const int perThread = static_cast<int>(DDLog::kBacklogLineLimit);
    std::atomic<bool> flooding{true};
    std::size_t mostQueued = 0;
    std::thread watcher([&] {
        while (flooding) {
            const std::size_t handed = accepted.load(); // first: the difference never looks larger than it is
            const std::size_t taken = slow->seen.load();
            mostQueued = std::max(mostQueued, handed > taken ? handed - taken : 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&sink, &accepted, t, perThread] {
                for (int i = 0; i < perThread; ++i) {
                    sink.log("flood " + std::to_string(t) + " " + std::to_string(i));
                    accepted.fetch_add(1);
                }
            });
        }
    }
    flooding = false;
    watcher.join();
    sink.registry.flushLog();

    // The backlog, the batch being written, and one line per writer on its way in.
    EXPECT_LE(mostQueued, 2 * DDLog::kBacklogLineLimit + threads);
    std::vector<std::vector<bool>> written(threads, std::vector<bool>(perThread));
    std::istringstream content(test::allContent(directory.path()));
    std::size_t lines = 0;
    for (std::string line; std::getline(content, line); ++lines) {
        int t = -1;
        int i = -1;
        if (std::sscanf(line.c_str() + line.find("  flood ") + 2, "flood %d %d", &t, &i) == 2 && t >= 0 &&
            t < threads && i >= 0 && i < perThread) {
            written[t][i] = true;
        }
    }
    EXPECT_EQ(lines, std::size_t{threads} * perThread);
    for (const auto& thread : written) {
        EXPECT_EQ(std::count(thread.begin(), thread.end(), true), perThread);
    }
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
