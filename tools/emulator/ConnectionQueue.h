#pragma once

#include <httplib.h>

#include <functional>

namespace veltora::emulator {

// The server's task queue: each task it gets is one accepted connection, still
// before its TLS handshake. Runs a step ahead of each on the connection's own
// thread, so that a slow step holds up that connection only.
class ConnectionQueue : public httplib::TaskQueue {
public:
    ConnectionQueue(std::size_t threads, std::function<void()> beforeEach);

    void enqueue(std::function<void()> connection) override;
    void shutdown() override;

private:
    httplib::ThreadPool pool_;
    std::function<void()> beforeEach_;
};

} // namespace veltora::emulator
