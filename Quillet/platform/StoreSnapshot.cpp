#include "Quillet/platform/StoreSnapshot.h"

#include <algorithm>
#include <array>
#include <linux/magic.h>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/vfs.h>

namespace quillet {

namespace {

// Twice the coarsest timestamp granularity among the file systems below (one
// second, on ext4 with small inodes): covers that and the kernel's clock tick.
constexpr time_t settleSeconds = 2;

// Local file systems whose status comes from this kernel, uncached.
constexpr std::array<unsigned long, 9> localFileSystems{
    EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, TMPFS_MAGIC, OVERLAYFS_SUPER_MAGIC,
    F2FS_SUPER_MAGIC, RAMFS_MAGIC,
    0x2fc12fc1, // ZFS
    0xca451a4e, // bcachefs
};

// Far more store directories than a process ever reads.
constexpr std::size_t maximumDirectories = 16;

bool sameTime(const timespec& left, const timespec& right) {
    return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

bool before(const timespec& left, const timespec& right) {
    return left.tv_sec < right.tv_sec || (left.tv_sec == right.tv_sec && left.tv_nsec < right.tv_nsec);
}

struct Kept;
Kept& kept();

struct Kept {
    Kept() {
        // A fork while another thread holds the lock would leave it held in the child.
        pthread_atfork([] { kept().mutex.lock(); }, [] { kept().mutex.unlock(); },
                       [] { kept().mutex.unlock(); });
    }

    std::mutex mutex;
    std::map<std::string, StoreSnapshot> byDirectory;
};

// Never destroyed, so that threads still signing while the process exits find
// it intact; built in the module's own storage, and emptied by forgetAll(), so
// that a finalised and unloaded module leaves nothing of it behind.
Kept& kept() {
    alignas(Kept) static unsigned char storage[sizeof(Kept)];
    static Kept* const shared = new (storage) Kept;
    return *shared;
}

} // namespace

FileStamp::FileStamp(const struct stat& status)
    : device(status.st_dev), inode(status.st_ino), mode(status.st_mode), size(status.st_size),
      modified(status.st_mtim), changed(status.st_ctim) {}

bool FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && mode == other.mode && size == other.size &&
           sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

StoreSnapshot::StoreSnapshot(const std::string& directory, int directoryFd) : directory_(directory) {
    struct statfs fileSystem {};
    struct stat status {};
    usable_ = ::clock_gettime(CLOCK_REALTIME, &started_) == 0 && ::fstatfs(directoryFd, &fileSystem) == 0 &&
              std::find(localFileSystems.begin(), localFileSystems.end(),
                        static_cast<unsigned long>(fileSystem.f_type)) != localFileSystems.end() &&
              ::fstat(directoryFd, &status) == 0;
    if (usable_) {
        entries_.push_back({directory, FileStamp(status)});
    }
}

void StoreSnapshot::addFile(std::string name, const struct stat& status,
                            const TKTokenConfiguration& registration) {
    if (!usable_) {
        return;
    }
    entries_.push_back({directory_ + "/" + name, FileStamp(status)});
    registrations_.push_back(registration);
}

bool StoreSnapshot::settled(const FileStamp& stamp) const {
    timespec limit = started_;
    limit.tv_sec -= settleSeconds;
    return before(stamp.modified, limit) && before(stamp.changed, limit);
}

void StoreSnapshot::keep() && {
    if (!usable_ || !std::all_of(entries_.begin(), entries_.end(),
                                 [this](const Entry& entry) { return settled(entry.stamp); })) {
        return;
    }
    Kept& shared = kept();
    const std::lock_guard lock(shared.mutex);
    if (shared.byDirectory.size() >= maximumDirectories) {
        shared.byDirectory.clear();
    }
    const std::string directory = directory_;
    shared.byDirectory.insert_or_assign(directory, std::move(*this));
}

std::optional<std::vector<TKTokenConfiguration>> StoreSnapshot::unchanged(const std::string& directory) {
    Kept& shared = kept();
    const std::lock_guard lock(shared.mutex);
    const auto found = shared.byDirectory.find(directory);
    if (found == shared.byDirectory.end()) {
        return std::nullopt;
    }
    for (const Entry& entry : found->second.entries_) {
        struct stat status {};
        if (::lstat(entry.path.c_str(), &status) != 0 || !(FileStamp(status) == entry.stamp)) {
            return std::nullopt;
        }
    }
    return found->second.registrations_;
}

void StoreSnapshot::forgetAll() {
    Kept& shared = kept();
    const std::lock_guard lock(shared.mutex);
    shared.byDirectory.clear();
}

} // namespace quillet
