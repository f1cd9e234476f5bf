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

// A line as a sink received it: its level flag and its text.
struct RecordedLine {
    DDLogFlag flag;
    std::string text;
    bool operator==(const RecordedLine&) const = default;
};

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
        entries_.push_back({message.flag, message.message});
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& entry : entries_) {
            texts.push_back(entry.text);
        }
        return texts;
    }

    std::vector<RecordedLine> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::vector<RecordedLine> entries_;
};

} // namespace veltora::test
