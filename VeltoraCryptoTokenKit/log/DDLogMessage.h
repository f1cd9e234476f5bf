#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace veltora {

// One log line as the caller made it; filled on the calling thread.
struct DDLogMessage {
    std::string message;
    DDLogLevel level = DDLogLevel::all;
    DDLogFlag flag = DDLogFlag::info;
    const char* file = "";     // call site, static storage
    const char* function = ""; // call site, static storage
    unsigned line = 0;
    std::chrono::system_clock::time_point timestamp;
    int context = 0;
    std::optional<std::string> tag;
    std::thread::id threadID;
};

} // namespace veltora
