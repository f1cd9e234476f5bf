#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"

#include <string_view>

namespace veltora {

// Installs the process's two log sinks once, from the configuration: the
// system log sink with its formatter and the rolling file sink, both at the
// configured level. A deliverable names itself for its log files first, with
// DDLogFileManagerDefault::setApplicationIdentifier.
class VeltoraLogFactory {
public:
    VeltoraLogFactory() = delete;

    // Safe from any thread, any number of times: the first call does the work,
    // every later one returns at once. Never fails.
    static void setupLogging();

    // "error", "warning", "info", "debug", "verbose", compared exactly; anything else is info.
    static DDLogLevel parseLogLevel(std::string_view text);
};

} // namespace veltora
