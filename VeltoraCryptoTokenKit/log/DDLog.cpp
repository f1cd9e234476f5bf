#include "VeltoraCryptoTokenKit/log/DDLog.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/log/DispatchGroup.h"
#include "VeltoraCryptoTokenKit/log/ForkList.h"
#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <span>
#include <vector>

namespace veltora {

std::atomic<std::uint32_t> registeredFlags{0};

namespace {

struct LoggerNode {
    std::shared_ptr<DDAbstractLogger> logger;
    DDLogLevel level;
};

// Asynchronous lines, in order, handed to the logging queue as one task.
struct MessageBatch {
    std::vector<DDLogMessage> messages;
    std::size_t bytes = 0;
    std::uint64_t epoch = 0; // counted in the backlog of this fork epoch only
};

// From this many lines on, the sinks of a batch work in parallel.
constexpr std::size_t kParallelBatchSize = 16;

// True while this thread does a sink's work: a synchronous line from there
// would wait for the very dispatch that waits for this sink.
thread_local bool insideSink = false;

// A sink's failure stays with the sink: reported on standard error, never to the caller.
void runSinkWork(DDAbstractLogger& sink, const std::function<void(DDAbstractLogger&)>& work) {
    const bool outer = insideSink;
    insideSink = true;
    try {
        work(sink);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "log sink %s failed: %s\n", sink.loggerName().c_str(), error.what());
    } catch (...) {
        std::fprintf(stderr, "log sink %s failed\n", sink.loggerName().c_str());
    }
    insideSink = outer;
}

} // namespace

struct DDLog::Impl {
    SerialQueue loggingQueue{"cocoa.lumberjack", SerialQueue::Priority::background};
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
    // Under batchMutex: what waits for the logging queue and is not yet being dispatched.
    std::size_t backlogItems = 0;
    std::size_t backlogBytes = 0;
    std::uint64_t epoch = 0; // a fork child counts afresh
    std::condition_variable room;
    ForkList<Impl>::Link forkLink;

    struct ForkGuard;

    Impl();
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The logging queue's own work, and a sink's work (which the logging queue
    // may be waiting for), must never wait for room: it would wait for itself.
    bool callerMayWait() const { return !insideSink && !loggingQueue.isCurrent(); }

    // With batchMutex held: returns when the backlog has room. While the
    // logging queue has no thread (it could not be started), the caller
    // dispatches what waits itself.
    void waitForRoom(std::unique_lock<std::mutex>& lock) {
        const auto full = [this] {
            return backlogItems >= DDLog::kBacklogLineLimit || backlogBytes >= DDLog::kBacklogByteLimit;
        };
        while (full()) {
            lock.unlock();
            loggingQueue.runWaitingHereWithoutThread();
            lock.lock();
            if (full()) {
                room.wait(lock);
            }
        }
    }

    // With batchMutex held.
    void releaseFromBacklog(std::uint64_t itemEpoch, std::size_t items, std::size_t bytes) {
        if (itemEpoch == epoch) {
            backlogItems -= items;
            backlogBytes -= bytes;
            room.notify_all();
        }
    }

    // The logging queue takes no more than the backlog allows, so it is never
    // waited on here, under batchMutex, which its tasks take.
    bool enqueueStep(std::function<void()> step) {
        std::unique_lock lock(batchMutex);
        if (callerMayWait()) {
            waitForRoom(lock);
        }
        openBatch.reset();
        const bool queued =
            loggingQueue.asyncWithoutWaiting([this, stepEpoch = epoch, step = std::move(step)] {
                {
                    std::lock_guard released(batchMutex);
                    releaseFromBacklog(stepEpoch, 1, 0);
                }
                step();
            });
        backlogItems += queued ? 1 : 0;
        return queued;
    }

    void enqueueMessage(DDLogMessage message) {
        std::unique_lock lock(batchMutex);
        if (callerMayWait()) {
            waitForRoom(lock);
        }
        if (!openBatch) {
            openBatch = std::make_shared<MessageBatch>();
            openBatch->epoch = epoch;
            if (!loggingQueue.asyncWithoutWaiting([this, batch = openBatch] { dispatchBatch(batch); })) {
                openBatch.reset(); // the registry has ended: the line goes nowhere
                return;
            }
        }
        const std::size_t bytes = message.message.size();
        openBatch->messages.push_back(std::move(message));
        openBatch->bytes += bytes;
        ++backlogItems;
        backlogBytes += bytes;
    }

    void dispatchBatch(const std::shared_ptr<MessageBatch>& batch) {
        {
            std::lock_guard lock(batchMutex);
            if (openBatch == batch) {
                openBatch.reset();
            }
            releaseFromBacklog(batch->epoch, batch->messages.size(), batch->bytes);
        }
        dispatch(batch->messages);
    }

    // Every sink takes, in order, each line once per node of it whose mask
    // accepts the line, and all have finished before anything after these lines
    // is dispatched. The sinks work in parallel on larger batches when there are
    // two or more processors; a few lines cost less than the thread switches
    // that parallel work needs, so the sinks take those here, one after the other.
    void dispatch(std::span<const DDLogMessage> messages) {
        std::vector<DDAbstractLogger*> sinks;
        for (const auto& node : nodes) {
            if (std::find(sinks.begin(), sinks.end(), node.logger.get()) == sinks.end()) {
                sinks.push_back(node.logger.get());
            }
        }
        const bool inParallel = messages.size() >= kParallelBatchSize;
        forEachSink(
            sinks,
            [this, &messages](DDAbstractLogger& sink) {
                for (const auto& message : messages) {
                    for (const auto& node : nodes) {
                        if (node.logger.get() == &sink && levelAccepts(node.level, message.flag)) {
                            sink.logMessage(message);
                        }
                    }
                }
                sink.didLogBatch();
            },
            inParallel);
    }

    // Each sink's work runs as its queue: here when the queue is idle, else on its thread.
    void forEachSink(const std::vector<DDAbstractLogger*>& sinks,
                     const std::function<void(DDAbstractLogger&)>& work, bool inParallel = true) {
        if (sinks.size() <= 1 || processorCount < 2 || !inParallel) {
            for (auto* sink : sinks) {
                sink->loggerQueue().sync([&] { runSinkWork(*sink, work); });
            }
            return;
        }
        // Every sink starts at once, and all are awaited.
        DispatchGroup group;
        for (auto* sink : sinks) {
            group.enter();
            const bool queued = sink->loggerQueue().async([&work, &group, sink] {
                const DispatchGroup::Member member(group);
                runSinkWork(*sink, work);
            });
            if (!queued) {
                group.leave(); // the sink is being torn down
            }
        }
        // A sink whose thread could not be started has its work done here.
        for (auto* sink : sinks) {
            sink->loggerQueue().runWaitingHereWithoutThread();
        }
        group.wait();
    }
};

// A fork child keeps none of the parent's threads: a batch mutex one of them
// held would stay locked, and a batch one of them had taken would never be
// dispatched. The batch mutexes are taken before the queue mutexes, in the
// order the code takes them (ForkStage).
struct DDLog::Impl::ForkGuard {
    using Registries = ForkList<Impl>;

    static void add(Impl* impl) {
        installForkHandlers(ForkStage::logRegistry, {&prepare, &parent, &child});
        Registries::add(impl);
    }
    static void prepare() {
        Registries::mutex().lock();
        Registries::forEach([](Impl& impl) { impl.batchMutex.lock(); });
    }
    static void parent() {
        Registries::forEach([](Impl& impl) { impl.batchMutex.unlock(); });
        Registries::mutex().unlock();
    }
    static void child() {
        Registries::forEach([](Impl& impl) {
            impl.openBatch.reset();
            // What the parent had queued is partly gone with its threads: the child counts afresh.
            impl.backlogItems = 0;
            impl.backlogBytes = 0;
            ++impl.epoch;
            new (&impl.room) std::condition_variable;
            impl.batchMutex.unlock();
        });
        Registries::mutex().unlock();
    }
};

DDLog::Impl::Impl() {
    ForkGuard::add(this);
}

DDLog::Impl::~Impl() {
    ForkList<Impl>::remove(this);
}

DDLog::DDLog() : impl_(std::make_unique<Impl>()) {}

DDLog::~DDLog() {
    flushLog();
    impl_->loggingQueue.stop();
}

namespace {

// Calls into the shared registry that are under way; its end waits for them,
// so that a thread still logging while the process ends never meets a destroyed registry.
std::atomic<int> sharedCallsInFlight{0};
std::atomic<bool> sharedEnded{false};

// Flushes and stops the shared registry at normal process end, and when the
// module holding it is unloaded, so that no queue thread outlives its code.
struct SharedRegistry {
    DDLog* instance = new DDLog;
    SharedRegistry() = default;
    SharedRegistry(const SharedRegistry&) = delete;
    SharedRegistry& operator=(const SharedRegistry&) = delete;
    ~SharedRegistry() {
        sharedEnded.store(true);
        // Bounded, so that a sink stuck in a write cannot hang the exit.
        for (int waited = 0; sharedCallsInFlight.load() != 0; ++waited) {
            if (waited == 2000) {
                std::fputs("log registry: lines still being written at process end; leaving them\n", stderr);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        delete instance;
    }
};

SharedRegistry& sharedRegistry() {
    static SharedRegistry registry;
    return registry;
}

// Marks one call into the shared registry as under way.
class SharedCall {
public:
    SharedCall() { sharedCallsInFlight.fetch_add(1); }
    ~SharedCall() { sharedCallsInFlight.fetch_sub(1); }
    SharedCall(const SharedCall&) = delete;
    SharedCall& operator=(const SharedCall&) = delete;
};

// Takes nothing and starts no thread: what callers get once the process is ending.
DDLog& endedInstance() {
    static auto* ended = [] {
        auto* registry = new DDLog;
        registry->stop();
        return registry;
    }();
    return *ended;
}

} // namespace

DDLog& DDLog::sharedInstance() {
    SharedRegistry& registry = sharedRegistry();
    if (sharedEnded.load()) {
        return endedInstance();
    }
    return *registry.instance;
}

void DDLog::logToSharedInstance(bool asynchronous, DDLogMessage message) {
    SharedRegistry& registry = sharedRegistry();
    const SharedCall call;
    if (!sharedEnded.load()) {
        registry.instance->log(asynchronous, std::move(message));
    }
}

void DDLog::stop() {
    impl_->acceptedFlags.store(0);
    impl_->loggingQueue.stop();
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
    // A sink that logs from its own work must not wait for the dispatch that waits for it.
    if (asynchronous || insideSink) {
        impl_->enqueueMessage(std::move(message));
        return;
    }
    syncOnLoggingQueue([&] { impl_->dispatch({&message, 1}); });
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
    // Nothing queued means no open batch either: running here keeps the order.
    if (impl_->loggingQueue.runHereIfIdle(task)) {
        return;
    }
    // Shared: a stopped queue drops the step, which must not then refer to a group that is gone.
    auto done = std::make_shared<DispatchGroup>();
    done->enter();
    const bool queued = impl_->enqueueStep([&task, done] {
        const DispatchGroup::Member member(*done);
        task();
    });
    if (queued) {
        impl_->loggingQueue.runWaitingHereWithoutThread();
        done->wait();
    }
}

void DDLog::asyncOnLoggingQueue(std::function<void()> task) {
    (void)impl_->enqueueStep(std::move(task));
}

} // namespace veltora
