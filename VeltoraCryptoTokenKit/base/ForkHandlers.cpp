#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"

#include <pthread.h>

#include <array>
#include <cstddef>
#include <mutex>

namespace veltora {

namespace {

constexpr std::size_t stageCount = static_cast<std::size_t>(ForkStage::count);

struct Stage {
    ForkHandlers handlers{};
    bool installed = false;
};

// Plain static storage: nothing to construct or destroy, so handlers are safe
// to run at any time of the process's life.
std::array<Stage, stageCount> stages;
// Held across each fork too: a stage installed meanwhile would otherwise be
// released after the fork without having been prepared.
std::mutex installing;

void prepareAll() {
    installing.lock();
    for (Stage& stage : stages) {
        if (stage.installed) {
            stage.handlers.prepare();
        }
    }
}

template <void (*ForkHandlers::*Handler)()> void afterFork() {
    for (auto stage = stages.rbegin(); stage != stages.rend(); ++stage) {
        if (stage->installed) {
            (stage->handlers.*Handler)();
        }
    }
    installing.unlock();
}

} // namespace

void installForkHandlers(ForkStage stage, ForkHandlers handlers) {
    static const bool registered =
        pthread_atfork(&prepareAll, &afterFork<&ForkHandlers::parent>, &afterFork<&ForkHandlers::child>) == 0;
    static_cast<void>(registered);
    const std::lock_guard lock(installing);
    Stage& slot = stages[static_cast<std::size_t>(stage)];
    if (!slot.installed) {
        slot.handlers = handlers;
        slot.installed = true;
    }
}

} // namespace veltora
