#include "Quillet/platform/FileStamp.h"

namespace quillet {

namespace {

bool sameTime(const timespec& left, const timespec& right) {
    return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

bool before(const timespec& left, const timespec& right) {
    return left.tv_sec < right.tv_sec || (left.tv_sec == right.tv_sec && left.tv_nsec < right.tv_nsec);
}

// File systems that stamp in whole seconds stamp in one or two of them.
constexpr time_t kCoarsestTick = 2;

} // namespace

FileStamp::FileStamp(const struct stat& status)
    : device_(status.st_dev), inode_(status.st_ino), size_(status.st_size), modified_(status.st_mtim),
      changed_(status.st_ctim) {}

bool FileStamp::operator==(const FileStamp& other) const {
    return device_ == other.device_ && inode_ == other.inode_ && size_ == other.size_ &&
           sameTime(modified_, other.modified_) && sameTime(changed_, other.changed_);
}

timespec FileStamp::now() {
    timespec time{};
    // Without the clock nothing counts as distinguishable, and every file is read.
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &time) != 0) {
        return timespec{};
    }
    return time;
}

bool FileStamp::distinguishesChangesAfter(const timespec& readStart) const {
    if (modified_.tv_nsec == 0 && changed_.tv_nsec == 0) {
        return modified_.tv_sec + kCoarsestTick <= readStart.tv_sec &&
               changed_.tv_sec + kCoarsestTick <= readStart.tv_sec;
    }
    return before(modified_, readStart) && before(changed_, readStart);
}

} // namespace quillet
