#pragma once

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace quillet {

// One thread per open connection, each serving its connection to the end; threads that ended are
// joined as new connections come.
class ConnectionThreads {
public:
    explicit ConnectionThreads(std::function<void(int fd)> serve);
    // Shuts the connections down and joins every thread, however long their current calls take.
    ~ConnectionThreads();
    ConnectionThreads(const ConnectionThreads&) = delete;
    ConnectionThreads& operator=(const ConnectionThreads&) = delete;

    // False when no thread could be started; the connection is closed then.
    bool start(veltora::FileDescriptor connection);
    // Ends every connection's input and output: each server returns after its current call.
    void shutDownAll();
    // True once every thread has ended and been joined, false after the limit.
    bool waitForAll(std::chrono::milliseconds limit);
    std::size_t running() const;

private:
    struct Connection {
        veltora::FileDescriptor fd;
        std::thread thread;
        bool ended = false;
    };

    // Needs mutex_ held.
    void joinEnded();

    std::function<void(int fd)> serve_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::list<Connection> connections_;
};

} // namespace quillet
