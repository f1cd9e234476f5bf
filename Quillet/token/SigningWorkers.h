#pragma once

#include <functional>

namespace quillet {

// The worker threads on which signing requests wait for the service while
// their callers block. Threads are kept for the next request instead of being
// started anew for each (a thread start costs about a tenth of a request on
// loopback); there are as many as requests ever ran at once.
class SigningWorkers {
public:
    // Runs the task on a free worker, never on the calling thread. False, at
    // once and without running the task, when no worker thread can be started
    // or the process has begun to end; the next call tries again.
    static bool run(std::function<void()> task);
};

} // namespace quillet
