#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace veltora {

// Waits for a set of tasks running elsewhere: each enters before it is handed
// off and leaves when it has finished, whatever way it finishes.
class DispatchGroup {
public:
    void enter();
    void leave();
    // Returns when every task that entered has left.
    void wait();

    // Leaves the group when it goes out of scope, also by an exception.
    class Member {
    public:
        explicit Member(DispatchGroup& group) : group_(group) {}
        ~Member() { group_.leave(); }
        Member(const Member&) = delete;
        Member& operator=(const Member&) = delete;

    private:
        DispatchGroup& group_;
    };

private:
    std::mutex mutex_;
    std::condition_variable allLeft_;
    std::size_t pending_ = 0;
};

} // namespace veltora
