#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace veltora {

// A labelled serial queue: tasks run one after another, in the order they
// were put on it, on the queue's own thread. Survives fork(): the child gets
// a fresh thread on its first task.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue(); // runs the tasks still queued, then joins the thread
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // False when the task was dropped because the queue has stopped.
    bool async(std::function<void()> task);
    // Runs the task on the queue and returns when it has finished; runs it at
    // once when called from the queue itself. Returns without running it when
    // the queue has stopped.
    void sync(const std::function<void()>& task);
    bool isCurrent() const;

    // Runs what is queued, then ends the thread. Idempotent.
    void stop();

private:
    friend struct SerialQueueForkGuard;

    void run();
    void startThreadLocked();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool idle_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    std::unique_ptr<std::thread> thread_;
};

} // namespace veltora
