// A loadable module that logs through its own file sink, as the token module
// does: loaded, used and unloaded by the file sink's unload test.

#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <memory>
#include <string>

extern "C" __attribute__((visibility("default"))) void moduleLogLines(const char* directory, int count) {
    auto logger = std::make_shared<veltora::DDFileLogger>(
        std::make_shared<veltora::DDLogFileManagerDefault>(directory));
    logger->setDoNotReuseLogFiles(true);
    veltora::DDLog::add(logger, veltora::DDLogLevel::info);
    for (int i = 0; i < count; ++i) {
        DDLogInfo("module line " + std::to_string(i));
    }
}
