#include "VeltoraCryptoTokenKit/log/DDLog.h"

#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"
#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <algorithm>
#include <atomic>
#include <latch>
#include <mutex>
#include <vector>

namespace veltora {

namespace {

struct LoggerNode {
    std::shared_ptr<DDAbstractLogger> logger;
    DDLogLevel level;
};

using MessageBatch = std::vector<DDLogMessage>;

} // namespace

struct DDLog::Impl {
    SerialQueue loggingQueue{"cocoa.lumberjack"};
    std::vector<LoggerNode> nodes; // touched on the logging queue only
    unsigned processorCount = std::max(1u, std::thread::hardware_concurrency());
    // Union of the masks of every registration asked for so far; a flag outside
    // it can reach no sink, now or later, so such a line is not even queued.
    std::atomic<std::uint32_t> acceptedFlags{0};

    // Asynchronous lines wait here, in order, until the logging queue takes
    // them as one batch. Any other step put on the logging queue closes the
    // open batch first, so lines and steps keep the order in which they came.
    std::mutex batchMutex;
    std::shared_ptr<MessageBatch> openBatch;

    bool enqueueStep(std::function<void()> step) {
        std::lock_guard lock(batchMutex);
        openBatch.reset();
        return loggingQueue.async(std::move(step));
    }

    void enqueueMessage(DDLogMessage message) {
        std::lock_guard lock(batchMutex);
        if (!openBatch) {
            openBatch = std::make_shared<MessageBatch>();
            if (!loggingQueue.async([this, batch = openBatch] { dispatchBatch(batch); })) {
                openBatch.reset(); // the process is ending: the line goes nowhere
                return;
            }
        }
        openBatch->push_back(std::move(message));
    }

    void dispatchBatch(const std::shared_ptr<MessageBatch>& batch) {
        {
            std::lock_guard lock(batchMutex);
            if (openBatch == batch) {
                openBatch.reset();
            }
        }
        dispatch(*batch);
    }

    // Every sink takes, in order, each line once per node of it whose mask
    // accepts the line. The sinks work in parallel when there are two or more
    // processors, and all have finished before anything after these lines is dispatched.
    void dispatch(const MessageBatch& messages) {
        std::vector<DDAbstractLogger*> sinks;
        for (const auto& node : nodes) {
            if (std::find(sinks.begin(), sinks.end(), node.logger.get()) == sinks.end()) {
                sinks.push_back(node.logger.get());
            }
        }
        forEachSink(sinks, [this, &messages](DDAbstractLogger& sink) {
            for (const auto& message : messages) {
                for (const auto& node : nodes) {
                    if (node.logger.get() == &sink && levelAccepts(node.level, message.flag)) {
                        sink.logMessage(message);
                    }
                }
            }
        });
    }

    void forEachSink(const std::vector<DDAbstractLogger*>& sinks,
                     const std::function<void(DDAbstractLogger&)>& work) {
        if (sinks.size() <= 1 || processorCount < 2) {
            for (auto* sink : sinks) {
                sink->loggerQueue().sync([&] { work(*sink); });
            }
            return;
        }
        std::latch done(static_cast<std::ptrdiff_t>(sinks.size()));
        for (auto* sink : sinks) {
            sink->loggerQueue().async([&work, &done, sink] {
                work(*sink);
                done.count_down();
            });
        }
        done.wait();
    }
};

DDLog::DDLog() : impl_(std::make_unique<Impl>()) {}

DDLog::~DDLog() {
    flushLog();
    impl_->loggingQueue.stop();
}

namespace {

std::atomic<bool> sharedInstanceEnded{false};

// Flushes and stops the shared registry at normal process end, and when the
// module holding it is unloaded, so that no queue thread outlives its code.
struct SharedInstanceEnd {
    DDLog* instance;
    ~SharedInstanceEnd() {
        sharedInstanceEnded.store(true);
        delete instance;
    }
};

// A registry that takes nothing, for calls made while the process is ending.
DDLog& endedInstance() {
    static auto* ended = new DDLog;
    return *ended;
}

} // namespace

DDLog& DDLog::sharedInstance() {
    static SharedInstanceEnd end{new DDLog};
    if (sharedInstanceEnded.load(std::memory_order_relaxed)) {
        return endedInstance();
    }
    return *end.instance;
}

void DDLog::addLogger(std::shared_ptr<DDAbstractLogger> logger, DDLogLevel level) {
    if (!logger) {
        return;
    }
    impl_->acceptedFlags.fetch_or(static_cast<std::uint32_t>(level), std::memory_order_relaxed);
    registeredFlags.fetch_or(static_cast<std::uint32_t>(level), std::memory_order_relaxed);
    impl_->enqueueStep([impl = impl_.get(), logger = std::move(logger), level]() mutable {
        const bool known = std::any_of(impl->nodes.begin(), impl->nodes.end(), [&](const LoggerNode& node) {
            return node.logger == logger && node.level == level;
        });
        if (!known) {
            impl->nodes.push_back({std::move(logger), level});
        }
    });
}

bool DDLog::mayAccept(DDLogFlag flag) const {
    return (impl_->acceptedFlags.load(std::memory_order_relaxed) & static_cast<std::uint32_t>(flag)) != 0;
}

void DDLog::log(bool asynchronous, DDLogMessage message) {
    if (!mayAccept(message.flag)) {
        return;
    }
    if (asynchronous) {
        impl_->enqueueMessage(std::move(message));
    } else {
        MessageBatch single;
        single.push_back(std::move(message));
        syncOnLoggingQueue([&] { impl_->dispatch(single); });
    }
}

void DDLog::flushLog() {
    syncOnLoggingQueue([impl = impl_.get()] {
        std::vector<DDAbstractLogger*> sinks;
        for (const auto& node : impl->nodes) {
            if (node.logger->canFlush() &&
                std::find(sinks.begin(), sinks.end(), node.logger.get()) == sinks.end()) {
                sinks.push_back(node.logger.get());
            }
        }
        impl->forEachSink(sinks, [](DDAbstractLogger& sink) { sink.flush(); });
    });
}

void DDLog::syncOnLoggingQueue(const std::function<void()>& task) {
    if (impl_->loggingQueue.isCurrent()) {
        task();
        return;
    }
    // Shared: a queue that has stopped drops the step, and the waiter must not outlive the latch.
    auto done = std::make_shared<std::latch>(1);
    auto step = std::make_shared<std::function<void()>>(task);
    const bool queued = impl_->enqueueStep([step, done] {
        (*step)();
        done->count_down();
    });
    if (queued) {
        done->wait();
    }
}

void DDLog::asyncOnLoggingQueue(std::function<void()> task) {
    (void)impl_->enqueueStep(std::move(task));
}

} // namespace veltora
