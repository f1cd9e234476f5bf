#include "VeltoraCryptoTokenKit/log/LogFileWatcher.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace veltora {
namespace {

using test::TemporaryDirectory;

TEST(LogFileWatcher, BeginsItsWatchAfterTheFirstSecondAndReportsADeletionFromBeforeThenOnce) {
    TemporaryDirectory directory;
    const std::string path = directory / "watched.log";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::atomic<int> gone{0};
    {
        LogFileWatcher watcher(path, fd, LogFileWatcher::Events{[&] { ++gone; }, [] {}});
        EXPECT_TRUE(watcher.running());
        EXPECT_FALSE(watcher.watching());
        EXPECT_FALSE(LogFileWatcher::fileIsGone(fd, path));
        ASSERT_EQ(::unlink(path.c_str()), 0);
        EXPECT_TRUE(LogFileWatcher::fileIsGone(fd, path));
        EXPECT_TRUE(test::eventually([&] { return gone.load() > 0; }));
        EXPECT_TRUE(watcher.watching());
    }
    EXPECT_EQ(gone.load(), 1);
    ::close(fd);
}

TEST(LogFileWatcher, AFileReplacedUnderItsNameIsGone) {
    TemporaryDirectory directory;
    const std::string path = directory / "replaced.log";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::rename(path.c_str(), (directory / "moved.log").c_str()), 0);
    test::writeFile(path, "another file of the same name");
    EXPECT_TRUE(LogFileWatcher::fileIsGone(fd, path));
    ::close(fd);
}

} // namespace
} // namespace veltora
