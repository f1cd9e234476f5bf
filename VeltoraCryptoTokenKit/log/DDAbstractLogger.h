#pragma once

#include "VeltoraCryptoTokenKit/log/DDLogFormatter.h"
#include "VeltoraCryptoTokenKit/log/DDLogMessage.h"
#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <memory>
#include <string>

namespace veltora {

// Base of every sink: a formatter slot and a serial queue of its own,
// labelled with the sink's name. logMessage and flush run on that queue.
// Sinks are owned through std::shared_ptr.
class DDAbstractLogger : public std::enable_shared_from_this<DDAbstractLogger> {
public:
    explicit DDAbstractLogger(std::string name);
    // A sink that comes with a formatter of its own.
    DDAbstractLogger(std::string name, std::shared_ptr<DDLogFormatter> formatter);
    virtual ~DDAbstractLogger();
    DDAbstractLogger(const DDAbstractLogger&) = delete;
    DDAbstractLogger& operator=(const DDAbstractLogger&) = delete;

    const std::string& loggerName() const { return name_; }
    SerialQueue& loggerQueue() { return queue_; }

    virtual void logMessage(const DDLogMessage& message) = 0;
    // On the sink's queue, after the lines of one dispatch: a sink that
    // gathers lines writes them out here, together.
    virtual void didLogBatch() {}
    virtual bool canFlush() const { return false; }
    virtual void flush() {}

    // Read and set through the logging queue and the sink's queue, so that a
    // message queued after the change is rendered with the new formatter.
    std::shared_ptr<DDLogFormatter> logFormatter();
    void setLogFormatter(std::shared_ptr<DDLogFormatter> formatter);

protected:
    // The formatter as seen from the sink's own queue.
    const std::shared_ptr<DDLogFormatter>& currentFormatter() const { return formatter_; }

private:
    std::string name_;
    std::shared_ptr<DDLogFormatter> formatter_;
    SerialQueue queue_;
};

} // namespace veltora
