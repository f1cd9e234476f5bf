#pragma once

#include <functional>

namespace veltora {

// Whether the process has begun to end, or the module holding this code to be
// unloaded. From then on service requests under way are abandoned and new ones
// refused, so that no thread goes on using what the end is about to destroy.
// Allocates nothing that outlives its callers, so an unloaded module leaves
// nothing of it behind.
class ProcessEnd {
public:
    // Idempotent; called by whatever ends first among the users of the service.
    static void begin();
    static bool underway();

    // While it lives, begin() calls its function once, on the ending thread:
    // for waits that must end with the process.
    class Watch {
    public:
        explicit Watch(std::function<void()> wake);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        friend class ProcessEnd;
        std::function<void()> wake_;
        Watch* next_ = nullptr;
        Watch* previous_ = nullptr;
    };
};

} // namespace veltora
