#pragma once

#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"

#include <functional>
#include <memory>
#include <string>

namespace veltora {

// The system log sink: one line per message through syslog(3).
class DDOSLogger : public DDAbstractLogger {
public:
    using Output = std::function<void(int priority, const std::string& text)>;

    static const std::shared_ptr<DDOSLogger>& sharedInstance();

    DDOSLogger();
    void logMessage(const DDLogMessage& message) override;

    // Replaces where lines go (tests); the default writes to syslog.
    void setOutput(Output output);

private:
    Output output_;
};

} // namespace veltora
