#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include "VeltoraCryptoTokenKit/log/DDLog.h"

namespace veltora {

std::atomic<DDLogLevel> dynamicLogLevel{DDLogLevel::all};
std::atomic<bool> asyncLoggingEnabled{true};

void logCall(bool asynchronous, DDLogFlag flag, std::string message, const char* file, const char* function,
             unsigned line) {
    if (!levelAccepts(dynamicLogLevel.load(std::memory_order_relaxed), flag)) {
        return;
    }
    DDLogMessage record;
    record.message = std::move(message);
    record.level = DDLogLevel::all;
    record.flag = flag;
    record.file = file;
    record.function = function;
    record.line = line;
    record.timestamp = std::chrono::system_clock::now();
    record.threadID = std::this_thread::get_id();
    DDLog::logToSharedInstance(asynchronous, std::move(record));
}

} // namespace veltora
