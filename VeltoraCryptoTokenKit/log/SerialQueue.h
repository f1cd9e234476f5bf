#pragma once

#include <functional>
#include <memory>
#include <string>

namespace veltora {

// A labelled serial queue: tasks run one after another, in the order they
// were put on it, on the queue's own thread, started on the first task.
// Survives fork(): the child gets a fresh thread on its first task.
class SerialQueue {
public:
    enum class Priority {
        normal,
        // For work nobody waits on as it happens, such as writing log lines:
        // waking the queue never takes the processor from the thread that woke it.
        background,
    };

    explicit SerialQueue(std::string label, Priority priority = Priority::normal);
    ~SerialQueue(); // runs the tasks still queued, then joins the thread
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const;

    // False when the task was dropped because the queue has stopped.
    bool async(std::function<void()> task);
    // Runs the task on the queue and returns when it has finished; runs it at
    // once when called from the queue itself. Returns without running it when
    // the queue has stopped.
    void sync(const std::function<void()>& task);
    // Runs the task on the calling thread, as the queue, when nothing is
    // queued or running; false, without running it, otherwise. Spares a
    // synchronous call two thread switches.
    bool runHereIfIdle(const std::function<void()>& task);
    // True also while this thread runs a task for the queue in place of its thread.
    bool isCurrent() const;

    // Runs what is queued, then ends the thread. Idempotent. Called from one
    // of the queue's own tasks, it lets the thread end by itself.
    void stop();

    struct State;

private:
    // Shared with the queue's thread, so that a queue destroyed by one of its
    // own tasks leaves the thread something to finish on.
    std::shared_ptr<State> state_;
};

} // namespace veltora
