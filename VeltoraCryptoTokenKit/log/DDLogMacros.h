#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace veltora {

// Process-wide switches of the log-call layer; the system never changes them.
extern std::atomic<DDLogLevel> dynamicLogLevel;
extern std::atomic<bool> asyncLoggingEnabled;

// False when no sink registered so far accepts the flag: the line would reach
// no sink, so its text need not even be built.
inline bool mayLog(DDLogFlag flag) {
    const auto bits = static_cast<std::uint32_t>(flag);
    return (registeredFlags.load(std::memory_order_relaxed) & bits) != 0 &&
           (static_cast<std::uint32_t>(dynamicLogLevel.load(std::memory_order_relaxed)) & bits) != 0;
}

// Builds the message record on the calling thread and hands it to the shared registry.
void logCall(bool asynchronous, DDLogFlag flag, std::string message, const char* file, const char* function,
             unsigned line);

} // namespace veltora

// The five log calls. Error lines are synchronous, the others asynchronous.
#define VELTORA_LOG_CALL(asynchronous, flag, text)                                                           \
    do {                                                                                                     \
        if (::veltora::mayLog(flag)) {                                                                       \
            ::veltora::logCall((asynchronous), (flag), (text), __FILE__, __func__, __LINE__);                \
        }                                                                                                    \
    } while (false)

#define DDLogError(text) VELTORA_LOG_CALL(false, ::veltora::DDLogFlag::error, text)
#define DDLogWarn(text)                                                                                      \
    VELTORA_LOG_CALL(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                         \
                     ::veltora::DDLogFlag::warning, text)
#define DDLogInfo(text)                                                                                      \
    VELTORA_LOG_CALL(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                         \
                     ::veltora::DDLogFlag::info, text)
#define DDLogDebug(text)                                                                                     \
    VELTORA_LOG_CALL(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                         \
                     ::veltora::DDLogFlag::debug, text)
#define DDLogVerbose(text)                                                                                   \
    VELTORA_LOG_CALL(::veltora::asyncLoggingEnabled.load(std::memory_order_relaxed),                         \
                     ::veltora::DDLogFlag::verbose, text)
