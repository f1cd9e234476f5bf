#include "VeltoraCryptoTokenKit/log/DispatchGroup.h"

namespace veltora {

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++pending_;
}

void DispatchGroup::leave() {
    std::lock_guard lock(mutex_);
    // Notified under the lock: the waiter may destroy the group as soon as it sees zero.
    if (--pending_ == 0) {
        allLeft_.notify_all();
    }
}

void DispatchGroup::wait() {
    std::unique_lock lock(mutex_);
    allLeft_.wait(lock, [this] { return pending_ == 0; });
}

} // namespace veltora
