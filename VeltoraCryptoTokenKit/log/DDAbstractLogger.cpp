#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"

#include "VeltoraCryptoTokenKit/log/DDLog.h"

namespace veltora {

DDAbstractLogger::DDAbstractLogger(std::string name)
    : name_(name), queue_(std::move(name), SerialQueue::Priority::background) {}

DDAbstractLogger::DDAbstractLogger(std::string name, std::shared_ptr<DDLogFormatter> formatter)
    : name_(name), formatter_(std::move(formatter)),
      queue_(std::move(name), SerialQueue::Priority::background) {}

// Derived sinks stop their work in their own destructors; the queue joins its thread here.
DDAbstractLogger::~DDAbstractLogger() = default;

std::shared_ptr<DDLogFormatter> DDAbstractLogger::logFormatter() {
    std::shared_ptr<DDLogFormatter> formatter;
    DDLog::sharedInstance().syncOnLoggingQueue([&] { queue_.sync([&] { formatter = formatter_; }); });
    return formatter;
}

void DDAbstractLogger::setLogFormatter(std::shared_ptr<DDLogFormatter> formatter) {
    // Keeps the sink alive until the change has gone through both queues. The
    // logging queue waits for the sink's queue, so the sink is never released
    // on its own queue.
    std::shared_ptr<DDAbstractLogger> self = weak_from_this().lock();
    DDLog::sharedInstance().asyncOnLoggingQueue([this, self, formatter = std::move(formatter)]() mutable {
        queue_.sync([&] { formatter_ = std::move(formatter); });
    });
}

} // namespace veltora
