#pragma once

#include "Quillet/platform/TKTokenConfiguration.h"

#include <ctime>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quillet {

// The status fields that every change of a file or directory alters: a
// rewrite (in place or by rename), a new or removed directory entry.
struct FileStamp {
    explicit FileStamp(const struct stat& status);
    bool operator==(const FileStamp& other) const;

    dev_t device;
    ino_t inode;
    mode_t mode;
    off_t size;
    timespec modified;
    timespec changed;
};

// The store is read for every signature, and on a machine where system calls
// are dear, listing the directory and reading each file costs a good share of
// a request. What a full read saw is kept with the status of the directory and
// of each file, and is used again while one status call per entry shows that
// nothing changed. Only statuses that were settled when read count: a stamp
// taken within a timestamp tick of a change could also match a later change in
// the same tick, so anything changed within the last two seconds is read in
// full. Network and unknown file systems, whose status may be cached or stamped
// by another clock, are always read in full.
class StoreSnapshot {
public:
    // Starts recording a full read of the directory open as `directoryFd`,
    // before anything in it is read.
    StoreSnapshot(const std::string& directory, int directoryFd);

    void addFile(std::string name, const struct stat& status, const TKTokenConfiguration& registration);
    // A file was skipped: every read must report it again.
    void markIncomplete() { usable_ = false; }
    // Keeps the record for later reads when all that it saw was settled.
    void keep() &&;

    // The registrations of the directory's kept record when nothing in the
    // directory changed since it was made.
    static std::optional<std::vector<TKTokenConfiguration>> unchanged(const std::string& directory);
    // Drops every kept record (when the module is finalised).
    static void forgetAll();

private:
    struct Entry {
        std::string path;
        FileStamp stamp;
    };

    bool settled(const FileStamp& stamp) const;

    std::string directory_;
    timespec started_{};
    bool usable_ = true;
    std::vector<Entry> entries_;
    std::vector<TKTokenConfiguration> registrations_;
};

} // namespace quillet
