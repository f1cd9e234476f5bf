#include "VeltoraCryptoTokenKit/client/ProcessEnd.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"

#include <atomic>
#include <mutex>

namespace veltora {

namespace {

// Plain statics with nothing to destroy: threads abandoned at the end may still look at them.
std::atomic<bool> ended{false};
std::mutex watchesMutex;
ProcessEnd::Watch* firstWatch = nullptr;

} // namespace

void ProcessEnd::begin() {
    const std::lock_guard lock(watchesMutex);
    if (ended.exchange(true)) {
        return;
    }
    for (Watch* watch = firstWatch; watch != nullptr; watch = watch->next_) {
        watch->wake_();
    }
}

bool ProcessEnd::underway() {
    return ended.load();
}

ProcessEnd::Watch::Watch(std::function<void()> wake) : wake_(std::move(wake)) {
    static const bool forkSafe = [] {
        installForkHandlers(
            ForkStage::processEnd,
            {[] { watchesMutex.lock(); }, [] { watchesMutex.unlock(); }, [] { watchesMutex.unlock(); }});
        return true;
    }();
    static_cast<void>(forkSafe);
    const std::lock_guard lock(watchesMutex);
    next_ = firstWatch;
    if (firstWatch != nullptr) {
        firstWatch->previous_ = this;
    }
    firstWatch = this;
}

ProcessEnd::Watch::~Watch() {
    const std::lock_guard lock(watchesMutex);
    (previous_ != nullptr ? previous_->next_ : firstWatch) = next_;
    if (next_ != nullptr) {
        next_->previous_ = previous_;
    }
}

} // namespace veltora
