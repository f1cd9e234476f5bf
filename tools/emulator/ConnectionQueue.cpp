#include "tools/emulator/ConnectionQueue.h"

namespace veltora::emulator {

ConnectionQueue::ConnectionQueue(std::size_t threads, std::function<void()> beforeEach)
    : pool_(threads), beforeEach_(std::move(beforeEach)) {}

void ConnectionQueue::enqueue(std::function<void()> connection) {
    pool_.enqueue([this, connection = std::move(connection)] {
        beforeEach_();
        connection();
    });
}

void ConnectionQueue::shutdown() {
    pool_.shutdown();
}

} // namespace veltora::emulator
