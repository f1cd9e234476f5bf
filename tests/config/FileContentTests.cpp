#include "VeltoraCryptoTokenKit/base/FileContent.h"
#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace veltora {
namespace {

namespace fs = std::filesystem;

class FileContentTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = fs::temp_directory_path() / ("file-content-" + std::to_string(getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory);
    }
    void TearDown() override { fs::remove_all(directory); }

    fs::path directory;
};

TEST_F(FileContentTest, ReadsOnlyRegularFilesWithinTheBound) {
    std::ofstream(directory / "ten") << "0123456789";
    std::ofstream(directory / "empty");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    fs::create_symlink(directory / "ten", directory / "link");
    struct Case {
        const char* name;
        std::size_t maximumSize;
        int extraFlags;
        std::optional<std::string> text;
        int code;
    };
    const Case cases[] = {
        {"ten", 10, 0, "0123456789", 0},
        {"empty", 10, 0, "", 0},
        {"ten", 9, 0, std::nullopt, EFBIG},
        {"fifo", 10, 0, std::nullopt, EINVAL}, // without a writer: must not hang
        {".", 10, 0, std::nullopt, EINVAL},
        {"missing", 10, 0, std::nullopt, ENOENT},
        {"link", 10, 0, "0123456789", 0},
        {"link", 10, O_NOFOLLOW, std::nullopt, ELOOP},
    };
    const FileDescriptor opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(opened.valid());
    for (const Case& row : cases) {
        struct stat status {};
        const auto read = readRegularFile(opened.get(), row.name, row.extraFlags, row.maximumSize, status);
        ASSERT_EQ(read.ok(), row.text.has_value()) << row.name << " " << row.maximumSize;
        if (read) {
            EXPECT_EQ(read.value(), *row.text) << row.name;
            EXPECT_EQ(static_cast<std::size_t>(status.st_size), row.text->size()) << row.name;
        } else {
            EXPECT_EQ(read.error().code, row.code) << row.name;
            EXPECT_FALSE(read.error().description.empty()) << row.name;
        }
    }
    struct stat status {};
    const auto byPath = readRegularFile(AT_FDCWD, (directory / "ten").c_str(), 0, 10, status);
    ASSERT_TRUE(byPath);
    EXPECT_EQ(byPath.value(), "0123456789");
}

// More than a pipe takes at once: the rest must follow the short write.
TEST_F(FileContentTest, WritesAllOfALongTextAndReportsAFailedWrite) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    const std::string text(1 << 20, 'x');
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t count; (count = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<std::size_t>(count));
        }
    });
    EXPECT_EQ(writeAll(writeEnd.get(), text), 0);
    EXPECT_EQ(writeEnd.close(), 0);
    reader.join();
    EXPECT_EQ(received, text);
    EXPECT_EQ(writeAll(writeEnd.get(), "more"), EBADF);
}

} // namespace
} // namespace veltora
