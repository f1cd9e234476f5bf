#include "VeltoraCryptoTokenKit/log/DDOSLogLevelMapperDefault.h"

#include <syslog.h>

namespace veltora {

OSLogType DDOSLogLevelMapperDefault::logType(DDLogFlag flag) {
    switch (flag) {
    case DDLogFlag::error:
    case DDLogFlag::warning:
        return OSLogType::error;
    case DDLogFlag::info:
        return OSLogType::info;
    case DDLogFlag::debug:
    case DDLogFlag::verbose:
        return OSLogType::debug;
    }
    return OSLogType::defaultType;
}

int DDOSLogLevelMapperDefault::syslogPriority(OSLogType type) {
    switch (type) {
    case OSLogType::error:
        return LOG_ERR;
    case OSLogType::info:
        return LOG_INFO;
    case OSLogType::debug:
        return LOG_DEBUG;
    case OSLogType::defaultType:
        break;
    }
    return LOG_NOTICE;
}

} // namespace veltora
