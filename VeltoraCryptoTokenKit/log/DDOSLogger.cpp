#include "VeltoraCryptoTokenKit/log/DDOSLogger.h"

#include "VeltoraCryptoTokenKit/log/DDOSLogLevelMapperDefault.h"

#include <atomic>
#include <chrono>
#include <syslog.h>
#include <unistd.h>

namespace veltora {

namespace {

// With nothing at the system log socket, syslog(3) drops the line, but only
// after opening a socket and failing to connect, for every line; that costs
// more than all the rest of a line's way. Whether the socket is there is
// looked at again at most once a second, so a log daemon that starts later
// still gets the lines from then on.
bool systemLogSocketPresent() {
    using Clock = std::chrono::steady_clock;
    static std::atomic<Clock::rep> nextCheck{0};
    static std::atomic<bool> present{true};
    const Clock::rep now = Clock::now().time_since_epoch().count();
    if (now >= nextCheck.load(std::memory_order_relaxed)) {
        present.store(::access(_PATH_LOG, F_OK) == 0, std::memory_order_relaxed);
        nextCheck.store(now + Clock::duration(std::chrono::seconds(1)).count(), std::memory_order_relaxed);
    }
    return present.load(std::memory_order_relaxed);
}

void writeToSyslog(int priority, const std::string& text) {
    if (systemLogSocketPresent()) {
        syslog(priority, "%s", text.c_str());
    }
}

} // namespace

const std::shared_ptr<DDOSLogger>& DDOSLogger::sharedInstance() {
    static const std::shared_ptr<DDOSLogger> instance = std::make_shared<DDOSLogger>();
    return instance;
}

DDOSLogger::DDOSLogger() : DDAbstractLogger("cocoa.lumberjack.osLogger"), output_(writeToSyslog) {}

void DDOSLogger::logMessage(const DDLogMessage& message) {
    std::optional<std::string> text = message.message;
    if (const auto& formatter = currentFormatter()) {
        text = formatter->formatLogMessage(message);
    }
    if (!text) {
        return;
    }
    const OSLogType type = DDOSLogLevelMapperDefault::logType(message.flag);
    output_(DDOSLogLevelMapperDefault::syslogPriority(type), *text);
}

void DDOSLogger::setOutput(Output output) {
    loggerQueue().sync([&] { output_ = output ? std::move(output) : Output(writeToSyslog); });
}

} // namespace veltora
