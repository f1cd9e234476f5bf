#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDOSLogger.h"
#include "VeltoraCryptoTokenKit/log/VeltoraLogFormatter.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <mutex>
#include <syslog.h>

namespace veltora {
namespace {

using test::messageWith;

TEST(VeltoraLogFormatter, TagLetterAndUnchangedText) {
    VeltoraLogFormatter formatter;
    EXPECT_EQ(formatter.formatLogMessage(messageWith(DDLogFlag::info, "TokenSession signData")),
              "(Veltora) I TokenSession signData");
    EXPECT_EQ(formatter.formatLogMessage(messageWith(DDLogFlag::error, "a\nb ")), "(Veltora) E a\nb ");
    EXPECT_EQ(formatter.formatLogMessage(messageWith(DDLogFlag::verbose, "")), "(Veltora) V ");
    EXPECT_EQ(VeltoraLogFormatter::logTypeToString(DDLogFlag::warning), "W");
    EXPECT_EQ(VeltoraLogFormatter::logTypeToString(DDLogFlag::debug), "D");
    EXPECT_EQ(VeltoraLogFormatter::logTypeToString(static_cast<DDLogFlag>(0)), "U");
    EXPECT_EQ(VeltoraLogFormatter::logTypeToString(static_cast<DDLogFlag>(3)), "U");
}

TEST(DDOSLogger, WritesFormattedLinesWithTheMappedPriority) {
    auto sink = std::make_shared<DDOSLogger>();
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> written;
    sink->setOutput([&](int priority, const std::string& text) {
        std::lock_guard lock(mutex);
        written.emplace_back(priority, text);
    });
    DDLog registry;
    registry.addLogger(sink, DDLogLevel::all);

    registry.log(true, messageWith(DDLogFlag::info, "plain"));
    registry.flushLog();
    sink->setLogFormatter(std::make_shared<VeltoraLogFormatter>());
    EXPECT_NE(dynamic_cast<VeltoraLogFormatter*>(sink->logFormatter().get()), nullptr);
    for (auto flag : {DDLogFlag::error, DDLogFlag::warning, DDLogFlag::info, DDLogFlag::debug,
                      DDLogFlag::verbose, static_cast<DDLogFlag>(0x20)}) {
        registry.log(true, messageWith(flag, "m"));
    }
    registry.flushLog();

    const std::vector<std::pair<int, std::string>> expected = {
        {LOG_INFO, "plain"},           {LOG_ERR, "(Veltora) E m"},   {LOG_ERR, "(Veltora) W m"},
        {LOG_INFO, "(Veltora) I m"},   {LOG_DEBUG, "(Veltora) D m"}, {LOG_DEBUG, "(Veltora) V m"},
        {LOG_NOTICE, "(Veltora) U m"},
    };
    std::lock_guard lock(mutex);
    EXPECT_EQ(written, expected);
}

} // namespace
} // namespace veltora
