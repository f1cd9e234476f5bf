#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <latch>
#include <pthread.h>
#include <set>

namespace veltora {

namespace {
thread_local const SerialQueue* currentQueue = nullptr;
} // namespace

// Keeps every queue usable across fork(): the parent's queue threads do not
// exist in the child, and a queue mutex held by one of them would stay locked.
struct SerialQueueForkGuard {
    static std::mutex& registryMutex() {
        static auto* mutex = new std::mutex; // outlives every queue
        return *mutex;
    }
    static std::set<SerialQueue*>& queues() {
        static auto* all = new std::set<SerialQueue*>;
        return *all;
    }
    static void add(SerialQueue* queue) {
        static const bool installed = [] {
            pthread_atfork(&prepare, &parent, &child);
            return true;
        }();
        (void)installed;
        std::lock_guard lock(registryMutex());
        queues().insert(queue);
    }
    static void remove(SerialQueue* queue) {
        std::lock_guard lock(registryMutex());
        queues().erase(queue);
    }
    static void prepare() {
        registryMutex().lock();
        for (auto* queue : queues()) {
            queue->mutex_.lock();
        }
    }
    static void parent() {
        for (auto* queue : queues()) {
            queue->mutex_.unlock();
        }
        registryMutex().unlock();
    }
    static void child() {
        for (auto* queue : queues()) {
            // The thread object names a thread of the parent; forget it.
            (void)queue->thread_.release();
            queue->idle_ = false;
            queue->mutex_.unlock();
        }
        registryMutex().unlock();
    }
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    SerialQueueForkGuard::add(this);
}

SerialQueue::~SerialQueue() {
    stop();
    SerialQueueForkGuard::remove(this);
}

void SerialQueue::startThreadLocked() {
    if (!thread_ && !stopping_) {
        thread_ = std::make_unique<std::thread>([this] { run(); });
    }
}

void SerialQueue::stop() {
    std::unique_ptr<std::thread> thread;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_one();
    if (thread && thread->get_id() != std::this_thread::get_id()) {
        thread->join();
    } else if (thread) {
        thread->detach();
    }
    std::lock_guard lock(mutex_);
    stopped_ = true;
    tasks_.clear();
}

bool SerialQueue::async(std::function<void()> task) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        tasks_.push_back(std::move(task));
        startThreadLocked();
        wake = idle_;
    }
    // Only a waiting thread needs the (costly) wake-up.
    if (wake) {
        wake_.notify_one();
    }
    return true;
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    auto done = std::make_shared<std::latch>(1);
    bool queued = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            tasks_.push_back([&task, done] {
                task();
                done->count_down();
            });
            startThreadLocked();
            queued = true;
        }
    }
    if (!queued) {
        return;
    }
    wake_.notify_one();
    done->wait();
}

bool SerialQueue::isCurrent() const {
    return currentQueue == this;
}

void SerialQueue::run() {
    currentQueue = this;
    std::deque<std::function<void()>> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        while (tasks_.empty() && !stopping_) {
            idle_ = true;
            wake_.wait(lock);
            idle_ = false;
        }
        if (tasks_.empty()) {
            return; // stopping and drained
        }
        // Take everything queued at once: producers then rarely meet this thread on the lock.
        batch.swap(tasks_);
        lock.unlock();
        for (auto& task : batch) {
            task();
        }
        batch.clear();
        lock.lock();
    }
}

} // namespace veltora
