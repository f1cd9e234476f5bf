#pragma once

#include <atomic>
#include <memory>

namespace veltora {

// A value made by the first thread that asks for it and then kept; a thread
// that loses the race drops its own. Without a lock, so that a fork can never
// leave one held, and readers after the first pay one atomic load.
template <class T> class MadeOnce {
public:
    MadeOnce() = default;
    MadeOnce(const MadeOnce&) = delete;
    MadeOnce& operator=(const MadeOnce&) = delete;
    ~MadeOnce() { delete value_.load(); }

    template <class Make> const T& get(Make make) {
        if (const T* known = value_.load(std::memory_order_acquire)) {
            return *known;
        }
        auto made = std::make_unique<const T>(make());
        const T* earlier = nullptr;
        if (value_.compare_exchange_strong(earlier, made.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return *made.release();
        }
        return *earlier;
    }

private:
    std::atomic<const T*> value_{nullptr};
};

} // namespace veltora
