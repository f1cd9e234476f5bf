#pragma once

#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLogFlag.h"
#include "VeltoraCryptoTokenKit/log/DDLogMessage.h"

#include <cstddef>
#include <memory>

namespace veltora {

// The process-wide registry: takes each line from any thread and hands it,
// in order, to every registered sink whose level accepts it.
class DDLog {
public:
    // What may wait for the logging queue (lines, and other steps counting as
    // one line each) before producers wait for room: as many lines as spdlog's
    // asynchronous logger queues by default, and more text than any burst the
    // system makes. The batch being written is not counted, so the lines held
    // in memory stay within twice these, and lines a sink writes from its own
    // work, which never wait.
    static constexpr std::size_t kBacklogLineLimit = 8192;
    static constexpr std::size_t kBacklogByteLimit = 8 * 1024 * 1024;

    static DDLog& sharedInstance();

    // Queues the registration and returns; waits only for room in a full queue.
    void addLogger(std::shared_ptr<DDAbstractLogger> logger, DDLogLevel level);
    static void add(std::shared_ptr<DDAbstractLogger> logger, DDLogLevel level) {
        sharedInstance().addLogger(std::move(logger), level);
    }

    // Asynchronous: returns once the line is queued; while too much waits
    // already, that is when there is room again (never from a sink's own work).
    // Synchronous: returns when every sink has written the line.
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
