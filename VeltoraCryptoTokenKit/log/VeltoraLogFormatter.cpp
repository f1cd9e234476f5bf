#include "VeltoraCryptoTokenKit/log/VeltoraLogFormatter.h"

namespace veltora {

std::optional<std::string> VeltoraLogFormatter::format(const DDLogMessage& message) {
    return "(Veltora) " + logTypeToString(message.flag) + " " + message.message;
}

std::string VeltoraLogFormatter::logTypeToString(DDLogFlag flag) {
    switch (flag) {
    case DDLogFlag::error:
        return "E";
    case DDLogFlag::warning:
        return "W";
    case DDLogFlag::info:
        return "I";
    case DDLogFlag::debug:
        return "D";
    case DDLogFlag::verbose:
        return "V";
    }
    return "U"; // no flag, or several at once
}

} // namespace veltora
