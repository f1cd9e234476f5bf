#include "Quillet/platform/RegistrationCache.h"

#include <pthread.h>

#include <list>
#include <mutex>
#include <new>
#include <unordered_map>

namespace quillet {

namespace {

// Far more registrations than a user has; a larger store only decodes more often.
constexpr std::size_t maximumEntries = 256;

struct Cache;
Cache& cache();

struct Cache {
    Cache() {
        // Every signature looks here: a fork while a signing thread holds the
        // lock would leave it held in the child, whose first read would hang.
        pthread_atfork([] { cache().mutex.lock(); }, [] { cache().mutex.unlock(); },
                       [] { cache().mutex.unlock(); });
    }

    std::mutex mutex;
    std::unordered_map<std::string, TKTokenConfiguration> decoded;
    std::list<std::string> insertionOrder; // unlike a deque, allocates nothing while empty
};

// Never destroyed: sessions may still sign while the process ends. Built in
// the module's own storage and emptied by forgetAll(), so that a finalised and
// unloaded module leaves nothing of it behind.
Cache& cache() {
    alignas(Cache) static unsigned char storage[sizeof(Cache)];
    static Cache* const shared = new (storage) Cache;
    return *shared;
}

std::string keyOf(const std::string& directory, const std::string& fileText) {
    std::string key;
    key.reserve(directory.size() + 1 + fileText.size());
    key.append(directory).push_back('\0'); // no path holds a NUL
    key.append(fileText);
    return key;
}

} // namespace

std::optional<TKTokenConfiguration> RegistrationCache::find(const std::string& directory,
                                                            const std::string& fileText) {
    const std::string key = keyOf(directory, fileText);
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    const auto found = shared.decoded.find(key);
    return found != shared.decoded.end() ? std::optional(found->second) : std::nullopt;
}

void RegistrationCache::keep(const std::string& directory, const std::string& fileText,
                             const TKTokenConfiguration& decoded) {
    std::string key = keyOf(directory, fileText);
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    if (!shared.decoded.emplace(key, decoded).second) {
        return;
    }
    shared.insertionOrder.push_back(std::move(key));
    if (shared.insertionOrder.size() > maximumEntries) {
        shared.decoded.erase(shared.insertionOrder.front());
        shared.insertionOrder.pop_front();
    }
}

void RegistrationCache::forgetAll() {
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    // Swapped out rather than cleared: clearing keeps the buckets.
    decltype(shared.decoded)().swap(shared.decoded);
    shared.insertionOrder.clear();
}

} // namespace quillet
