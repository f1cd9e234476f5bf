#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogMessage.h"

#include <optional>
#include <string>

namespace veltora {

// The formatter role: renders a message as a sink's text, or nothing.
class DDLogFormatter {
public:
    virtual ~DDLogFormatter() = default;
    virtual std::optional<std::string> formatLogMessage(const DDLogMessage& message) = 0;
};

} // namespace veltora
