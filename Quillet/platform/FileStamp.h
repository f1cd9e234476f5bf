#pragma once

#include <ctime>
#include <sys/stat.h>

namespace quillet {

// The status fields that every change of a file alters: a rewrite, in place
// or by rename.
class FileStamp {
public:
    explicit FileStamp(const struct stat& status);
    bool operator==(const FileStamp& other) const;

    // The clock that file systems stamp changes with, read before a file's
    // status is taken.
    static timespec now();
    // True when any change after `readStart` is bound to alter this stamp: the
    // file was last changed in an earlier tick of the file system's clock. A
    // file changed within the same tick could be changed again in it and keep
    // its stamp, so only its text tells whether it changed.
    bool distinguishesChangesAfter(const timespec& readStart) const;

private:
    dev_t device_;
    ino_t inode_;
    off_t size_;
    timespec modified_;
    timespec changed_;
};

} // namespace quillet
