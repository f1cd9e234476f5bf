#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"
#include "VeltoraCryptoTokenKit/log/DDOSLogger.h"
#include "VeltoraCryptoTokenKit/log/VeltoraLogFormatter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace veltora {
namespace {

// Keeps whole records; stays registered with the shared registry after the test.
class RecordKeeper : public DDAbstractLogger {
public:
    RecordKeeper() : DDAbstractLogger("record-keeper") {}
    void logMessage(const DDLogMessage& message) override {
        std::lock_guard lock(mutex_);
        records_.push_back(message);
    }
    std::vector<DDLogMessage> records() {
        std::lock_guard lock(mutex_);
        return records_;
    }

private:
    std::mutex mutex_;
    std::vector<DDLogMessage> records_;
};

TEST(LogCalls, CarryTheCallSiteAndReachTheSharedRegistryInOrder) {
    auto keeper = std::make_shared<RecordKeeper>();
    DDLog::add(keeper, DDLogLevel::info);
    DDLogVerbose("dropped by the mask");
    DDLogInfo("info line");
    const unsigned errorLine = __LINE__ + 1;
    DDLogError("error line");

    const auto records = keeper->records(); // the error line is synchronous: no flush needed
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "info line");
    EXPECT_EQ(records[0].flag, DDLogFlag::info);
    EXPECT_EQ(records[1].message, "error line");
    EXPECT_EQ(records[1].flag, DDLogFlag::error);
    EXPECT_EQ(records[1].line, errorLine);
    EXPECT_NE(std::strstr(records[1].file, "LogCallTests.cpp"), nullptr);
    EXPECT_STREQ(records[1].function, "TestBody");
    EXPECT_EQ(records[1].level, DDLogLevel::all);
    EXPECT_LE(records[0].timestamp, records[1].timestamp);
}

TEST(LogCalls, AFormatterChangeAppliesToLinesQueuedAfterIt) {
    struct Written {
        std::mutex mutex;
        std::vector<std::pair<int, std::string>> lines;
    };
    auto written = std::make_shared<Written>(); // outlives the test: the sink stays registered
    auto sink = std::make_shared<DDOSLogger>();
    sink->setOutput([written](int priority, const std::string& text) {
        std::lock_guard lock(written->mutex);
        written->lines.emplace_back(priority, text);
    });
    DDLog::add(sink, DDLogLevel::warning);

    DDLogWarn("before");
    sink->setLogFormatter(std::make_shared<VeltoraLogFormatter>());
    DDLogWarn("after");
    DDLog::sharedInstance().flushLog();

    std::lock_guard lock(written->mutex);
    const std::vector<std::pair<int, std::string>> expected = {{LOG_ERR, "before"},
                                                               {LOG_ERR, "(Veltora) W after"}};
    EXPECT_EQ(written->lines, expected);
}

} // namespace
} // namespace veltora
