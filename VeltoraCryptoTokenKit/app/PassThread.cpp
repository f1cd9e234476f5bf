#include "VeltoraCryptoTokenKit/app/PassThread.h"

namespace veltora {

void PassThread::start(Job job) {
    std::promise<void> finished;
    finished_ = finished.get_future();
    thread_ =
        std::jthread([job = std::move(job), finished = std::move(finished)](std::stop_token stop) mutable {
            job(stop);
            finished.set_value();
        });
}

void PassThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool PassThread::stop(std::chrono::milliseconds timeout) {
    if (!thread_.joinable()) {
        return true;
    }
    thread_.request_stop();
    if (finished_.wait_for(timeout) != std::future_status::ready) {
        return false;
    }
    thread_.join();
    return true;
}

} // namespace veltora
