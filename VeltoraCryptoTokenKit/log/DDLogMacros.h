#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"

#include <atomic>
#include <string>

namespace veltora {

// Process-wide switches of the log-call layer; the system never changes them.
extern std::atomic<DDLogLevel> dynamicLogLevel;
extern std::atomic<bool> asyncLoggingEnabled;

// Builds the message record on the calling thread and hands it to the shared registry.
void logCall(bool asynchronous, DDLogFlag flag, std::string message, const char* file, const char* function,
             unsigned line);

} // namespace veltora

// The five log calls. Error lines are synchronous, the others asynchronous.
#define DDLogError(text)                                                                                     \
    ::veltora::logCall(false, ::veltora::DDLogFlag::error, (text), __FILE__, __func__, __LINE__)
#define DDLogWarn(text)                                                                                      \
    ::veltora::logCall(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                       \
                       ::veltora::DDLogFlag::warning, (text), __FILE__, __func__, __LINE__)
#define DDLogInfo(text)                                                                                      \
    ::veltora::logCall(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                       \
                       ::veltora::DDLogFlag::info, (text), __FILE__, __func__, __LINE__)
#define DDLogDebug(text)                                                                                     \
    ::veltora::logCall(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                       \
                       ::veltora::DDLogFlag::debug, (text), __FILE__, __func__, __LINE__)
#define DDLogVerbose(text)                                                                                   \
    ::veltora::logCall(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                       \
                       ::veltora::DDLogFlag::verbose, (text), __FILE__, __func__, __LINE__)
