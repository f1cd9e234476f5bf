#pragma once

#include <cerrno>
#include <semaphore.h>

namespace quillet {

// A counting semaphore whose wait blocks at once. std::counting_semaphore
// first spins with sched_yield, one system call per turn; where system calls
// are dear (virtual machines) that costs more than the wait it tries to avoid.
class CountingSemaphore {
public:
    explicit CountingSemaphore(unsigned int initial) { ::sem_init(&semaphore_, 0, initial); }
    ~CountingSemaphore() { ::sem_destroy(&semaphore_); }
    CountingSemaphore(const CountingSemaphore&) = delete;
    CountingSemaphore& operator=(const CountingSemaphore&) = delete;

    void release() { ::sem_post(&semaphore_); }
    void acquire() {
        while (::sem_wait(&semaphore_) != 0 && errno == EINTR) {
        }
    }

private:
    sem_t semaphore_;
};

} // namespace quillet
