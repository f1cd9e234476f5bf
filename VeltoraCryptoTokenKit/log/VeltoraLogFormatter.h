#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFormatter.h"

#include <optional>
#include <string>

namespace veltora {

// Renders a system log line: a fixed tag, a level letter and the text.
class VeltoraLogFormatter : public DDLogFormatter {
public:
    // Always present; only the flag and the text of the message are used.
    static std::optional<std::string> format(const DDLogMessage& message);
    std::optional<std::string> formatLogMessage(const DDLogMessage& message) override {
        return format(message);
    }
    static std::string logTypeToString(DDLogFlag flag);
};

} // namespace veltora
