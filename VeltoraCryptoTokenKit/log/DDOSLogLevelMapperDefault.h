#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"

namespace veltora {

// Unified log types, and the system log priority each is written with.
enum class OSLogType { error, info, debug, defaultType };

struct DDOSLogLevelMapperDefault {
    static OSLogType logType(DDLogFlag flag);
    static int syslogPriority(OSLogType type);
};

} // namespace veltora
