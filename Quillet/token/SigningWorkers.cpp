#include "Quillet/token/SigningWorkers.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/client/ProcessEnd.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quillet {

namespace {

// How long the end waits for requests to finish once the service client has
// cut them short; a thread still busy then is left to the end of the process.
constexpr std::chrono::milliseconds kEndWait{500};

class Workers {
public:
    // Never destroyed, so that a request still under way when the process
    // exits finds it intact; ended at process exit and module unload.
    static Workers& shared() {
        alignas(Workers) static unsigned char storage[sizeof(Workers)];
        static Workers* const workers = new (storage) Workers;
        static const std::unique_ptr<Workers, void (*)(Workers*)> endOfUse(
            workers, [](Workers* ending) { ending->end(); });
        return *workers;
    }

    bool run(std::function<void()> task) {
        {
            const std::lock_guard lock(mutex_);
            if (ended_ || veltora::ProcessEnd::underway()) {
                return false;
            }
            if (waiting_ <= tasks_.size()) {
                // Started before the task is queued: a task is accepted only with a thread to run it.
                try {
                    threads_.emplace_back([this] { work(); });
                } catch (const std::system_error&) {
                    return false;
                }
                ++running_;
            }
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
        return true;
    }

    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

private:
    Workers() {
        veltora::installForkHandlers(veltora::ForkStage::signingWorkers,
                                     {[] { shared().mutex_.lock(); }, [] { shared().mutex_.unlock(); },
                                      [] { shared().forgetParent(); }});
    }

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++waiting_;
            wake_.wait(lock, [this] { return !tasks_.empty() || ended_; });
            --waiting_;
            if (tasks_.empty()) {
                break;
            }
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
        --running_;
        finished_.notify_all();
    }

    // Queued requests run first: once the process ends they fail at once.
    void end() {
        veltora::ProcessEnd::begin();
        std::vector<std::thread> ending;
        {
            std::unique_lock lock(mutex_);
            ended_ = true;
            wake_.notify_all();
            if (!finished_.wait_for(lock, kEndWait, [this] { return running_ == 0; })) {
                return;
            }
            ending.swap(threads_);
        }
        for (auto& thread : ending) {
            thread.join();
        }
    }

    // In a child after fork: the threads, their tasks and the callers waiting on them stayed with the parent.
    void forgetParent() {
        for (auto& thread : threads_) {
            inherited_.push_back(std::move(thread)); // never joined: it does not exist here
        }
        threads_.clear();
        tasks_.clear();
        waiting_ = 0;
        running_ = 0;
        // Their counts of waiters mean nothing here.
        new (&wake_) std::condition_variable;
        new (&finished_) std::condition_variable;
        mutex_.unlock();
    }

    std::mutex mutex_;
    std::condition_variable wake_;           // a task came, or the end
    std::condition_variable finished_;       // a thread ended
    std::list<std::function<void()>> tasks_; // unlike a deque, allocates nothing while empty
    std::size_t waiting_ = 0;                // threads waiting for a task
    std::size_t running_ = 0;                // threads started and not ended
    bool ended_ = false;
    std::vector<std::thread> threads_;
    std::vector<std::thread> inherited_;
};

} // namespace

bool SigningWorkers::run(std::function<void()> task) {
    return Workers::shared().run(std::move(task));
}

} // namespace quillet
