#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFormatter.h"

#include <optional>
#include <string>

namespace veltora {

// Renders a system log line: a fixed tag, a level letter and the text.
class VeltoraLogFormatter : public DDLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;
    static std::string logTypeToString(DDLogFlag flag);
};

} // namespace veltora
