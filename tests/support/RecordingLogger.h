#pragma once

#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltora::test {

// A message record with just the parts the sinks read.
inline DDLogMessage messageWith(DDLogFlag flag, std::string text) {
    DDLogMessage message;
    message.flag = flag;
    message.message = std::move(text);
    return message;
}

// A sink that remembers the lines it was given, optionally slowly.
class RecordingLogger : public DDAbstractLogger {
public:
    explicit RecordingLogger(std::string name = "recording", std::chrono::milliseconds delay = {})
        : DDAbstractLogger(std::move(name)), delay_(delay) {}

    void logMessage(const DDLogMessage& message) override {
        if (delay_.count() > 0) {
            std::this_thread::sleep_for(delay_);
        }
        std::lock_guard lock(mutex_);
        lines_.push_back(message.message);
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace veltora::test
