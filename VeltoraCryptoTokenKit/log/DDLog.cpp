#include "VeltoraCryptoTokenKit/log/DDLog.h"

#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <algorithm>
#include <atomic>
#include <latch>
#include <vector>

namespace veltora {

namespace {

struct LoggerNode {
    std::shared_ptr<DDAbstractLogger> logger;
    DDLogLevel level;
};

// Runs a sink's part of a message on the sink's queue.
void runOn(DDAbstractLogger& logger, const std::function<void()>& work, std::latch* done) {
    logger.loggerQueue().async([&work, done] {
        work();
        done->count_down();
    });
}

} // namespace

struct DDLog::Impl {
    SerialQueue loggingQueue{"cocoa.lumberjack"};
    std::vector<LoggerNode> nodes; // touched on the logging queue only
    unsigned processorCount = std::max(1u, std::thread::hardware_concurrency());
    // Union of the masks of every registration asked for so far; a flag outside
    // it can reach no sink, now or later, so such a line is not even queued.
    std::atomic<std::uint32_t> acceptedFlags{0};

    // Hands one piece of work to each sink and waits for all before the next message.
    void forEachSink(const std::vector<DDAbstractLogger*>& sinks,
                     const std::function<void(DDAbstractLogger&)>& work) {
        if (sinks.empty()) {
            return;
        }
        if (sinks.size() == 1 || processorCount < 2) {
            for (auto* sink : sinks) {
                sink->loggerQueue().sync([&] { work(*sink); });
            }
            return;
        }
        std::latch done(static_cast<std::ptrdiff_t>(sinks.size()));
        std::vector<std::function<void()>> tasks;
        tasks.reserve(sinks.size());
        for (auto* sink : sinks) {
            tasks.emplace_back([&work, sink] { work(*sink); });
        }
        for (std::size_t i = 0; i < sinks.size(); ++i) {
            runOn(*sinks[i], tasks[i], &done);
        }
        done.wait();
    }

    void dispatch(const DDLogMessage& message) {
        std::vector<DDAbstractLogger*> sinks;
        for (const auto& node : nodes) {
            if (levelAccepts(node.level, message.flag)) {
                sinks.push_back(node.logger.get());
            }
        }
        forEachSink(sinks, [&message](DDAbstractLogger& sink) { sink.logMessage(message); });
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
    impl_->loggingQueue.async([impl = impl_.get(), logger = std::move(logger), level]() mutable {
        const bool known = std::any_of(impl->nodes.begin(), impl->nodes.end(), [&](const LoggerNode& node) {
            return node.logger == logger && node.level == level;
        });
        if (!known) {
            impl->nodes.push_back({std::move(logger), level});
        }
    });
}

void DDLog::log(bool asynchronous, DDLogMessage message) {
    if ((impl_->acceptedFlags.load(std::memory_order_relaxed) & static_cast<std::uint32_t>(message.flag)) ==
        0) {
        return;
    }
    if (asynchronous) {
        impl_->loggingQueue.async(
            [impl = impl_.get(), message = std::move(message)] { impl->dispatch(message); });
    } else {
        impl_->loggingQueue.sync([&] { impl_->dispatch(message); });
    }
}

void DDLog::flushLog() {
    impl_->loggingQueue.sync([impl = impl_.get()] {
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
    impl_->loggingQueue.sync(task);
}

void DDLog::asyncOnLoggingQueue(std::function<void()> task) {
    impl_->loggingQueue.async(std::move(task));
}

} // namespace veltora
