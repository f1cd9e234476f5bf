#include "Quillet/platform/RegistrationCache.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"

#include <list>
#include <mutex>
#include <new>
#include <unordered_map>

namespace quillet {

namespace {

// Far more registrations than a user has; a larger store only decodes more often.
constexpr std::size_t kMaximumEntries = 4096;

struct Kept {
    std::string fileText;
    // The file's status when it alone tells a later change apart.
    std::optional<FileStamp> stamp;
    TKTokenConfiguration decoded;
};

struct Cache;
Cache& cache();

struct Cache {
    Cache() {
        // Every signature looks here: a fork while a signing thread holds the
        // lock would leave it held in the child, whose first read would hang.
        veltora::installForkHandlers(
            veltora::ForkStage::registrationCache,
            {[] { cache().mutex.lock(); }, [] { cache().mutex.unlock(); }, [] { cache().mutex.unlock(); }});
    }

    std::mutex mutex;
    std::unordered_map<std::string, Kept> byPath;
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

std::optional<FileStamp> distinguishing(const FileStamp& stamp, const timespec& readStart) {
    return stamp.distinguishesChangesAfter(readStart) ? std::optional(stamp) : std::nullopt;
}

} // namespace

std::optional<TKTokenConfiguration> RegistrationCache::findUnchanged(const std::string& path,
                                                                     const FileStamp& stamp) {
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    const auto found = shared.byPath.find(path);
    if (found == shared.byPath.end() || !found->second.stamp || !(*found->second.stamp == stamp)) {
        return std::nullopt;
    }
    return found->second.decoded;
}

std::optional<TKTokenConfiguration> RegistrationCache::find(const std::string& path,
                                                            const std::string& fileText,
                                                            const FileStamp& stamp,
                                                            const timespec& readStart) {
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    const auto found = shared.byPath.find(path);
    if (found == shared.byPath.end() || found->second.fileText != fileText) {
        return std::nullopt;
    }
    found->second.stamp = distinguishing(stamp, readStart);
    return found->second.decoded;
}

void RegistrationCache::keep(const std::string& path, const std::string& fileText, const FileStamp& stamp,
                             const timespec& readStart, const TKTokenConfiguration& decoded) {
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    Kept kept{fileText, distinguishing(stamp, readStart), decoded};
    const auto [entry, added] = shared.byPath.insert_or_assign(path, std::move(kept));
    if (!added) {
        return;
    }
    shared.insertionOrder.push_back(entry->first);
    if (shared.insertionOrder.size() > kMaximumEntries) {
        shared.byPath.erase(shared.insertionOrder.front());
        shared.insertionOrder.pop_front();
    }
}

void RegistrationCache::forgetAll() {
    Cache& shared = cache();
    const std::lock_guard lock(shared.mutex);
    // Swapped out rather than cleared: clearing keeps the buckets.
    decltype(shared.byPath)().swap(shared.byPath);
    shared.insertionOrder.clear();
}

} // namespace quillet
