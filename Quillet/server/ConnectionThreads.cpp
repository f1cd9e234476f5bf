#include "Quillet/server/ConnectionThreads.h"

#include <sys/socket.h>

#include <algorithm>
#include <system_error>

namespace quillet {

ConnectionThreads::ConnectionThreads(std::function<void(int fd)> serve) : serve_(std::move(serve)) {}

ConnectionThreads::~ConnectionThreads() {
    shutDownAll();
    std::unique_lock lock(mutex_);
    for (auto& connection : connections_) {
        lock.unlock();
        connection.thread.join();
        lock.lock();
    }
}

bool ConnectionThreads::start(veltora::FileDescriptor connection) {
    const std::lock_guard lock(mutex_);
    joinEnded();
    auto& entry = connections_.emplace_back();
    entry.fd = std::move(connection);
    try {
        entry.thread = std::thread([this, &entry] {
            serve_(entry.fd.get());
            const std::lock_guard ending(mutex_);
            entry.ended = true;
            ended_.notify_all();
        });
    } catch (const std::system_error&) {
        connections_.pop_back();
        return false;
    }
    return true;
}

void ConnectionThreads::shutDownAll() {
    const std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) {
        ::shutdown(connection.fd.get(), SHUT_RDWR);
    }
}

bool ConnectionThreads::waitForAll(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    const bool allEnded = ended_.wait_for(lock, limit, [this] {
        return std::all_of(connections_.begin(), connections_.end(),
                           [](const Connection& connection) { return connection.ended; });
    });
    joinEnded();
    return allEnded;
}

std::size_t ConnectionThreads::running() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(),
                      [](const Connection& connection) { return !connection.ended; }));
}

void ConnectionThreads::joinEnded() {
    // An ended thread has only its return left: joining it under the lock is brief.
    connections_.remove_if([](Connection& connection) {
        if (!connection.ended) {
            return false;
        }
        connection.thread.join();
        return true;
    });
}

} // namespace quillet
