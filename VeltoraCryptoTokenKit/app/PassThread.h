#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <stop_token>
#include <thread>

namespace veltora {

// At most one background job (start-up or a synchronisation pass) on its own
// thread, which can be asked to stop and waited for with a bound.
class PassThread {
public:
    using Job = std::function<void(std::stop_token)>;

    PassThread() = default;
    ~PassThread() = default; // a running job is asked to stop and joined
    PassThread(const PassThread&) = delete;
    PassThread& operator=(const PassThread&) = delete;

    // Started and not joined yet.
    bool running() const { return thread_.joinable(); }
    // Only when not running.
    void start(Job job);
    // Waits for the job's end without a bound.
    void join();
    // Asks the job to stop and waits at most the timeout; true when it ended (and is joined).
    bool stop(std::chrono::milliseconds timeout);

private:
    std::future<void> finished_;
    std::jthread thread_; // last: stopped and joined before the future goes
};

} // namespace veltora
