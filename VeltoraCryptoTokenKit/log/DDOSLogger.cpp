#include "VeltoraCryptoTokenKit/log/DDOSLogger.h"

#include "VeltoraCryptoTokenKit/log/DDOSLogLevelMapperDefault.h"

#include <syslog.h>

namespace veltora {

namespace {
void writeToSyslog(int priority, const std::string& text) {
    syslog(priority, "%s", text.c_str());
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
