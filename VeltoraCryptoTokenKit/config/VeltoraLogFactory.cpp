#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"

#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"
#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"
#include "VeltoraCryptoTokenKit/log/DDOSLogger.h"
#include "VeltoraCryptoTokenKit/log/VeltoraLogFormatter.h"

#include <mutex>

namespace veltora {

namespace {

bool alreadySetUp() {
    return dynamic_cast<VeltoraLogFormatter*>(DDOSLogger::sharedInstance()->logFormatter().get()) != nullptr;
}

void installSinks() {
    if (alreadySetUp()) {
        return;
    }
    const auto& systemLog = DDOSLogger::sharedInstance();
    systemLog->setLogFormatter(std::make_shared<VeltoraLogFormatter>());

    std::optional<Configuration> configuration;
    if (auto read = ConfigHelper().readConfig(); read) {
        configuration = std::move(read).value();
    } else {
        DDLogError("error reading configuration: " + read.error().description);
    }
    const DDLogLevel level = VeltoraLogFactory::parseLogLevel(
        configuration && configuration->logLevel ? *configuration->logLevel : std::string());
    DDLog::add(systemLog, level);

    const std::string logPath =
        configuration && configuration->logPath ? *configuration->logPath : std::string();
    auto manager = logPath.empty() ? std::make_shared<DDLogFileManagerDefault>()
                                   : std::make_shared<DDLogFileManagerDefault>(logPath);
    auto fileLogger = std::make_shared<DDFileLogger>(manager);
    manager->setMaximumNumberOfLogFiles(1);
    fileLogger->setDoNotReuseLogFiles(true);
    fileLogger->setRollingFrequency(60 * 60 * 24);
    DDLog::add(fileLogger, level);

    DDLogVerbose("Setup logging with Log Directory: " + manager->logsDirectory());
}

} // namespace

void VeltoraLogFactory::setupLogging() {
    // The check above alone would let threads arriving together install twice.
    static std::once_flag once;
    std::call_once(once, installSinks);
}

DDLogLevel VeltoraLogFactory::parseLogLevel(std::string_view text) {
    if (text == "error") {
        return DDLogLevel::error;
    }
    if (text == "warning") {
        return DDLogLevel::warning;
    }
    if (text == "debug") {
        return DDLogLevel::debug;
    }
    if (text == "verbose") {
        return DDLogLevel::verbose;
    }
    return DDLogLevel::info;
}

} // namespace veltora
