#include "VeltoraCryptoTokenKit/log/DDLogFileFormatterDefault.h"

#include "VeltoraCryptoTokenKit/log/UtcDateText.h"

namespace veltora {

std::optional<std::string> DDLogFileFormatterDefault::formatLogMessage(const DDLogMessage& message) {
    std::string line;
    // Room for the line feed the sink adds, so that it does not reallocate.
    line.reserve(23 + 2 + message.message.size() + 1);
    appendLine(line, message);
    return line;
}

void DDLogFileFormatterDefault::appendLine(std::string& out, const DDLogMessage& message) {
    UtcDateText::appendLineTimestamp(out, message.timestamp);
    out.append("  ");
    out.append(message.message);
}

} // namespace veltora
