#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <latch>

namespace veltora {

namespace {
thread_local const SerialQueue* currentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::latch done(1);
    async([&] {
        task();
        done.count_down();
    });
    done.wait();
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

void SerialQueue::run() {
    currentQueue = this;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return; // stopping and drained
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace veltora
