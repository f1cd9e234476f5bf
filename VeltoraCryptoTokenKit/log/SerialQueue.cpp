#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/log/DispatchGroup.h"
#include "VeltoraCryptoTokenKit/log/ForkList.h"
#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <pthread.h>
#include <vector>

namespace veltora {

struct SerialQueue::State {
    State(std::string queueLabel, Priority queuePriority, std::size_t queueCapacity);
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    static void* threadMain(void* state);
    void run();
    void runTask(const std::function<void()>& task);
    // With the mutex held: true when a thread runs the queue, started now if need be.
    bool startThreadLocked(const std::shared_ptr<State>& self);
    // With the mutex held: when no thread runs the queue and none can be
    // started, runs the tasks waiting now on the caller and returns true.
    bool runWaitingWithoutThread(std::unique_lock<std::mutex>& lock, const std::shared_ptr<State>& self);
    // False when the queue has stopped; waits for room only when told to.
    bool enqueue(std::function<void()> task, bool mayWait, const std::shared_ptr<State>& self);
    void runBorrowed(const std::vector<std::function<void()>>& taken);
    bool isCurrent() const;

    const std::string label;
    const Priority priority;
    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable wake;               // the thread: tasks came, or a borrower is done
    std::condition_variable room;               // producers of a full queue
    std::condition_variable returned;           // callers waiting for a borrower to be done
    std::vector<std::function<void()>> tasks;   // waiting
    std::vector<std::function<void()>> running; // taken by the thread; touched by it only
    bool idle = false;
    bool executing = false; // the thread is running tasks
    bool borrowed = false;  // a caller runs a task in place of the thread
    bool stopping = false;
    bool startFailureReported = false;
    // The thread, when one runs. It keeps the state alive until it ends, so a
    // queue destroyed by one of its own tasks leaves the thread something to
    // finish on. Held here rather than by the thread itself, so that a fork
    // child, which has none of the parent's threads, still reaches all of it.
    std::optional<pthread_t> thread;
    std::shared_ptr<State> keepAlive;
    ForkList<State>::Link forkLink;
};

namespace {

// The queues whose tasks this thread is running, innermost first: its own
// queue's, and those of queues it runs a task for in place of their thread.
struct QueueFrame {
    const SerialQueue::State* queue;
    const QueueFrame* outer;
};
thread_local const QueueFrame* currentFrame = nullptr;

class EnteredQueue {
public:
    explicit EnteredQueue(const SerialQueue::State* queue) : frame_{queue, currentFrame} {
        currentFrame = &frame_;
    }
    ~EnteredQueue() { currentFrame = frame_.outer; }
    EnteredQueue(const EnteredQueue&) = delete;
    EnteredQueue& operator=(const EnteredQueue&) = delete;

private:
    QueueFrame frame_;
};

// Keeps every queue usable across fork(): the parent's queue threads do not
// exist in the child, and a queue mutex held by one of them would stay locked.
struct ForkGuard {
    using Queues = ForkList<SerialQueue::State>;

    static void add(SerialQueue::State* queue) {
        installForkHandlers(ForkStage::logQueues, {&prepare, &parent, &child});
        Queues::add(queue);
    }
    static void prepare() {
        Queues::mutex().lock();
        Queues::forEach([](SerialQueue::State& queue) { queue.mutex.lock(); });
    }
    static void parent() {
        Queues::forEach([](SerialQueue::State& queue) { queue.mutex.unlock(); });
        Queues::mutex().unlock();
    }
    static void child() {
        Queues::forEach([](SerialQueue::State& queue) {
            // The thread named here is the parent's; the child starts its own on its next task.
            queue.thread.reset();
            queue.idle = false;
            // Whoever ran the queue's tasks in the parent is not here to finish.
            queue.executing = false;
            queue.borrowed = false;
            // Parent threads may have been waiting on them; their counts of waiters mean nothing here.
            new (&queue.wake) std::condition_variable;
            new (&queue.room) std::condition_variable;
            new (&queue.returned) std::condition_variable;
            queue.mutex.unlock();
        });
        Queues::mutex().unlock();
    }
};

} // namespace

SerialQueue::State::State(std::string queueLabel, Priority queuePriority, std::size_t queueCapacity)
    : label(std::move(queueLabel)), priority(queuePriority),
      capacity(std::max<std::size_t>(1, queueCapacity)) {
    ForkGuard::add(this);
}

SerialQueue::State::~State() {
    ForkList<State>::remove(this);
}

bool SerialQueue::State::startThreadLocked(const std::shared_ptr<State>& self) {
    if (thread || stopping) {
        return thread.has_value();
    }
    pthread_t started{};
    if (const int error = pthread_create(&started, nullptr, &threadMain, this); error != 0) {
        // Once per run of failures: a flood of lines must not become a flood of these.
        if (!startFailureReported) {
            processLog("queue " + label + ": cannot start its thread: " + errnoText(error) +
                       "; its work runs on the callers that wait for it, and later calls try again");
            startFailureReported = true;
        }
        return false; // the tasks wait for the next attempt, or for a caller to run them
    }
    startFailureReported = false;
    thread = started;
    keepAlive = self;
    return true;
}

bool SerialQueue::State::runWaitingWithoutThread(std::unique_lock<std::mutex>& lock,
                                                 const std::shared_ptr<State>& self) {
    for (;;) {
        if (tasks.empty() || startThreadLocked(self)) {
            return false;
        }
        if (!borrowed && !executing) {
            break;
        }
        if (isCurrent()) {
            return false; // this very caller runs them now: it would wait for itself
        }
        returned.wait(lock); // another caller runs them now; what it leaves may be ours
    }
    std::vector<std::function<void()>> taken;
    taken.swap(tasks);
    borrowed = true;
    room.notify_all();
    lock.unlock();
    runBorrowed(taken);
    lock.lock();
    borrowed = false;
    wake.notify_one();
    returned.notify_all();
    return true;
}

void SerialQueue::State::runBorrowed(const std::vector<std::function<void()>>& taken) {
    const EnteredQueue entered(this);
    for (const auto& task : taken) {
        runTask(task);
    }
}

void* SerialQueue::State::threadMain(void* state) {
    if (static_cast<State*>(state)->priority == Priority::background) {
        // A batch thread never preempts the thread that woke it; failing that, it runs as any other.
        const sched_param unused{};
        (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &unused);
    }
    static_cast<State*>(state)->run();
    return nullptr;
}

void SerialQueue::State::runTask(const std::function<void()>& task) {
    // A failing task must end neither the process nor the queue.
    try {
        task();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "queue %s: task failed: %s\n", label.c_str(), error.what());
    } catch (...) {
        std::fprintf(stderr, "queue %s: task failed\n", label.c_str());
    }
}

void SerialQueue::State::run() {
    const EnteredQueue entered(this);
    running.clear(); // what a parent thread had taken before a fork is not run again
    std::unique_lock lock(mutex);
    for (;;) {
        while ((tasks.empty() && !stopping) || borrowed) {
            idle = true;
            wake.wait(lock);
            idle = false;
        }
        if (tasks.empty()) {
            break; // stopping and drained
        }
        // Take everything queued at once: producers then rarely meet this thread on the lock.
        running.swap(tasks);
        executing = true;
        room.notify_all();
        lock.unlock();
        for (const auto& task : running) {
            runTask(task);
        }
        running.clear();
        lock.lock();
        executing = false;
        returned.notify_all();
    }
    // Released after the lock: this may be the last owner of the state.
    std::shared_ptr<State> self = std::move(keepAlive);
    lock.unlock();
}

SerialQueue::SerialQueue(std::string label, Priority priority, std::size_t capacity)
    : state_(std::make_shared<State>(std::move(label), priority, capacity)) {}

SerialQueue::~SerialQueue() {
    stop();
}

const std::string& SerialQueue::label() const {
    return state_->label;
}

void SerialQueue::stop() {
    std::optional<pthread_t> thread;
    {
        std::unique_lock lock(state_->mutex);
        if (state_->stopping) {
            return;
        }
        state_->stopping = true;
        state_->room.notify_all();
        // No thread ever started: what waits is run here, as the thread would have.
        (void)state_->runWaitingWithoutThread(lock, state_);
        thread = state_->thread;
        state_->thread.reset();
    }
    state_->wake.notify_one();
    if (thread && !pthread_equal(*thread, pthread_self())) {
        pthread_join(*thread, nullptr);
    } else if (thread) {
        pthread_detach(*thread); // it holds the state, drains and ends by itself
    }
}

bool SerialQueue::State::enqueue(std::function<void()> task, bool mayWait,
                                 const std::shared_ptr<State>& self) {
    bool waiting = false;
    {
        std::unique_lock lock(mutex);
        while (mayWait && !stopping && tasks.size() >= capacity) {
            if (!runWaitingWithoutThread(lock, self)) {
                room.wait(lock);
            }
        }
        if (stopping) {
            return false;
        }
        tasks.push_back(std::move(task));
        startThreadLocked(self);
        waiting = idle;
    }
    // Only a waiting thread needs the (costly) wake-up.
    if (waiting) {
        wake.notify_one();
    }
    return true;
}

bool SerialQueue::async(std::function<void()> task) {
    return state_->enqueue(std::move(task), !isCurrent(), state_);
}

bool SerialQueue::asyncWithoutWaiting(std::function<void()> task) {
    return state_->enqueue(std::move(task), false, state_);
}

bool SerialQueue::runHereIfIdle(const std::function<void()>& task) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping || state_->borrowed || state_->executing || !state_->tasks.empty()) {
            return false;
        }
        state_->borrowed = true;
    }
    {
        const EnteredQueue entered(state_.get());
        state_->runTask(task);
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->borrowed = false;
        state_->returned.notify_all();
    }
    // Tasks queued meanwhile waited for this one.
    state_->wake.notify_one();
    return true;
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    if (runHereIfIdle(task)) {
        return;
    }
    // Shared: a stopped queue drops the task, which must not then refer to a group that is gone.
    auto done = std::make_shared<DispatchGroup>();
    done->enter();
    {
        std::unique_lock lock(state_->mutex);
        if (state_->stopping) {
            return;
        }
        state_->tasks.push_back([&task, done] {
            const DispatchGroup::Member member(*done);
            task();
        });
        // No thread to run it: the caller runs it, and what waits before it, itself.
        (void)state_->runWaitingWithoutThread(lock, state_);
    }
    state_->wake.notify_one();
    done->wait();
}

void SerialQueue::runWaitingHereWithoutThread() {
    std::unique_lock lock(state_->mutex);
    (void)state_->runWaitingWithoutThread(lock, state_);
}

bool SerialQueue::State::isCurrent() const {
    for (const QueueFrame* frame = currentFrame; frame != nullptr; frame = frame->outer) {
        if (frame->queue == this) {
            return true;
        }
    }
    return false;
}

bool SerialQueue::isCurrent() const {
    return state_->isCurrent();
}

} // namespace veltora
