#include "Quillet/platform/FileStamp.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

struct stat statusChangedAt(timespec modified, timespec changed) {
    struct stat status {};
    status.st_ino = 7;
    status.st_size = 100;
    status.st_mtim = modified;
    status.st_ctim = changed;
    return status;
}

// A stamp proves a file unchanged only when every later change must alter
// it: when the file was changed in an earlier tick than the read began.
TEST(FileStamp, TellsLaterChangesApartOnlyFromAnEarlierTick) {
    const timespec readStart{1000, 500};
    struct Case {
        const char* name;
        timespec modified;
        timespec changed;
        bool distinguishes;
    };
    const Case cases[] = {
        {"changed a tick before", {1000, 499}, {1000, 499}, true},
        {"changed in the tick the read began", {1000, 499}, {1000, 500}, false},
        {"modified in the tick the read began", {1000, 500}, {1000, 499}, false},
        {"stamped by a finer clock after it", {1000, 501}, {1000, 501}, false},
        {"whole seconds, two before", {998, 0}, {998, 0}, true},
        {"whole seconds, one before", {999, 0}, {999, 0}, false},
        {"whole seconds, the same", {1000, 0}, {1000, 0}, false},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(FileStamp(statusChangedAt(row.modified, row.changed)).distinguishesChangesAfter(readStart),
                  row.distinguishes)
            << row.name;
    }
}

TEST(FileStamp, DiffersWithEveryFieldAChangeAlters) {
    const struct stat base = statusChangedAt({5, 1}, {5, 2});
    struct Case {
        const char* name;
        void (*change)(struct stat&);
    };
    const Case cases[] = {
        {"inode", [](struct stat& s) { s.st_ino = 8; }},
        {"device", [](struct stat& s) { s.st_dev = 3; }},
        {"size", [](struct stat& s) { s.st_size = 101; }},
        {"modification time", [](struct stat& s) { s.st_mtim.tv_nsec = 9; }},
        {"status change time", [](struct stat& s) { s.st_ctim.tv_sec = 6; }},
    };
    EXPECT_EQ(FileStamp(base), FileStamp(base));
    for (const Case& row : cases) {
        struct stat changed = base;
        row.change(changed);
        EXPECT_FALSE(FileStamp(changed) == FileStamp(base)) << row.name;
    }
}

} // namespace
} // namespace quillet
