#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace veltora {

// A labelled serial queue: tasks run one after another, in the order they
// were put on it, on the queue's own thread, started on the first task.
// Survives fork(): the child gets a fresh thread on its first task.
//
// Bounded: a producer waits while `capacity` tasks wait. When the thread
// cannot be started, that is reported once, tasks stay queued and each later
// call tries again; a caller that would wait for the queue runs the waiting
// tasks itself instead, so that no caller waits for a thread that is not there.
class SerialQueue {
public:
    enum class Priority {
        normal,
        // For work nobody waits on as it happens, such as writing log lines:
        // waking the queue never takes the processor from the thread that woke it.
        background,
    };

    // Far more than the facility's own queues ever hold: a backstop, not a buffer.
    static constexpr std::size_t kDefaultCapacity = 1024;

    explicit SerialQueue(std::string label, Priority priority = Priority::normal,
                         std::size_t capacity = kDefaultCapacity);
    ~SerialQueue(); // runs the tasks still queued, then joins the thread
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const;

    // False when the task was dropped because the queue has stopped. Waits
    // while the queue is full, except on the queue itself, which would wait for
    // itself; it may run waiting tasks on the caller, so never call it holding
    // a lock that a task takes.
    bool async(std::function<void()> task);
    // The same, never waiting and never running a task: for callers that the
    // queue's work may be waiting for, and for callers that bound what they
    // queue themselves.
    bool asyncWithoutWaiting(std::function<void()> task);
    // Runs the task on the queue and returns when it has finished; runs it at
    // once when called from the queue itself. Returns without running it when
    // the queue has stopped.
    void sync(const std::function<void()>& task);
    // When the queue has no thread and none can be started, runs the tasks
    // waiting now on the calling thread, as the queue; otherwise returns at
    // once. For callers about to wait for work they queued without waiting.
    void runWaitingHereWithoutThread();
    // Runs the task on the calling thread, as the queue, when nothing is
    // queued or running; false, without running it, otherwise. Spares a
    // synchronous call two thread switches.
    bool runHereIfIdle(const std::function<void()>& task);
    // True also while this thread runs a task for the queue in place of its thread.
    bool isCurrent() const;

    // Runs what is queued (on the caller when there is no thread), then ends
    // the thread. Idempotent. Called from one
    // of the queue's own tasks, it lets the thread end by itself.
    void stop();

    struct State;

private:
    // Shared with the queue's thread, so that a queue destroyed by one of its
    // own tasks leaves the thread something to finish on.
    std::shared_ptr<State> state_;
};

} // namespace veltora
