#include "Quillet/SigningWorkers.h"

#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <memory>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace quillet {

namespace {

class Workers {
public:
    Workers() {
        static const bool installed = [] {
            // Only the pool's own lock needs it: each worker queue survives fork by itself.
            pthread_atfork([] { shared().mutex_.lock(); }, [] { shared().mutex_.unlock(); },
                           [] { shared().mutex_.unlock(); });
            return true;
        }();
        (void)installed;
    }

    // Joins every worker (their requests finish first). Runs at process exit and module unload.
    ~Workers() {
        std::vector<std::unique_ptr<veltora::SerialQueue>> all;
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
            all.swap(all_);
            free_.clear();
        }
        all.clear();
    }

    static Workers& shared() {
        static Workers workers;
        return workers;
    }

    bool run(std::function<void()> task) {
        veltora::SerialQueue* worker = take();
        if (worker == nullptr) {
            return false;
        }
        return worker->async([this, worker, task = std::move(task)] {
            task();
            giveBack(worker);
        });
    }

private:
    veltora::SerialQueue* take() {
        const std::lock_guard lock(mutex_);
        if (closed_) {
            return nullptr;
        }
        if (!free_.empty()) {
            veltora::SerialQueue* worker = free_.back();
            free_.pop_back();
            return worker;
        }
        all_.push_back(std::make_unique<veltora::SerialQueue>("com.veltora.Quillet.signing"));
        return all_.back().get();
    }

    void giveBack(veltora::SerialQueue* worker) {
        const std::lock_guard lock(mutex_);
        if (!closed_) {
            free_.push_back(worker);
        }
    }

    std::mutex mutex_;
    bool closed_ = false;
    std::vector<std::unique_ptr<veltora::SerialQueue>> all_;
    std::vector<veltora::SerialQueue*> free_;
};

} // namespace

bool SigningWorkers::run(std::function<void()> task) {
    return Workers::shared().run(std::move(task));
}

} // namespace quillet
