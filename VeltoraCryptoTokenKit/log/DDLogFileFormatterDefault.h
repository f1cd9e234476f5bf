#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFormatter.h"

#include <string>

namespace veltora {

// The file line: the message's UTC timestamp, two spaces, the message text.
class DDLogFileFormatterDefault : public DDLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;
    // The same line, appended to `out`.
    static void appendLine(std::string& out, const DDLogMessage& message);
};

} // namespace veltora
