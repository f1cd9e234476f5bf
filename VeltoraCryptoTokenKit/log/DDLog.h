#pragma once

#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"
#include "VeltoraCryptoTokenKit/log/DDLogMessage.h"

#include <memory>

namespace veltora {

// The process-wide registry: takes each line from any thread and hands it,
// in order, to every registered sink whose level accepts it.
class DDLog {
public:
    static DDLog& sharedInstance();

    // Queues the registration and returns at once.
    void addLogger(std::shared_ptr<DDAbstractLogger> logger, DDLogLevel level);
    static void add(std::shared_ptr<DDAbstractLogger> logger, DDLogLevel level) {
        sharedInstance().addLogger(std::move(logger), level);
    }

    // Asynchronous: returns at once. Synchronous: returns when every sink has
    // written the line.
    void log(bool asynchronous, DDLogMessage message);
    // The same on the shared registry; safe while the process is ending.
    static void logToSharedInstance(bool asynchronous, DDLogMessage message);

    // False when no registration asked for so far accepts the flag.
    bool mayAccept(DDLogFlag flag) const;

    // Returns when every sink that can flush has flushed.
    void flushLog();

    // Runs a task on the logging queue, in order with messages and
    // registrations, and waits for it.
    void syncOnLoggingQueue(const std::function<void()>& task);
    // Runs a task on the logging queue, in order with messages and registrations.
    void asyncOnLoggingQueue(std::function<void()> task);

    // Drops every later line, registration and flush; starts no thread.
    void stop();

    DDLog();
    ~DDLog(); // flushes, then stops
    DDLog(const DDLog&) = delete;
    DDLog& operator=(const DDLog&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace veltora
