#pragma once

#include <mutex>

namespace veltora {

// Every live object of one kind, for fork handlers to walk: a list threaded
// through the objects themselves (member `ForkList<T>::Link forkLink`). It
// allocates nothing and its statics need no destruction, so an object that
// outlives static destruction, or an unloaded module, still leaves it cleanly.
template <typename T> class ForkList {
public:
    struct Link {
        T* previous = nullptr;
        T* next = nullptr;
    };

    static void add(T* item) {
        std::lock_guard lock(mutex_);
        item->forkLink.next = head_;
        if (head_ != nullptr) {
            head_->forkLink.previous = item;
        }
        head_ = item;
    }

    static void remove(T* item) {
        std::lock_guard lock(mutex_);
        Link& link = item->forkLink;
        (link.previous != nullptr ? link.previous->forkLink.next : head_) = link.next;
        if (link.next != nullptr) {
            link.next->forkLink.previous = link.previous;
        }
        link = Link{};
    }

    // For the fork handlers: held from before the fork until after it.
    static std::mutex& mutex() { return mutex_; }

    // Call with mutex() held.
    template <typename Visit> static void forEach(Visit visit) {
        for (T* item = head_; item != nullptr; item = item->forkLink.next) {
            visit(*item);
        }
    }

private:
    static inline std::mutex mutex_;
    static inline T* head_ = nullptr;
};

} // namespace veltora
