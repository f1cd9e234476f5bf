// The server's socket as a signer and a second server meet it on disk.

#include "Quillet/server/ListeningSocket.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <functional>
#include <optional>

namespace quillet {
namespace {

using ::testing::HasSubstr;
using veltora::test::TemporaryDirectory;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// A socket left at the path by a server that is gone: bound, never listening.
void leaveStaleSocket(const std::string& path) {
    const veltora::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

TEST(ListeningSocket, IsPrivateToTheUserInADirectoryItMakes) {
    TemporaryDirectory directory;
    const std::string path = directory / "run/veltora/pkcs11";
    const auto listener = ListeningSocket::open(path);
    ASSERT_TRUE(listener) << listener.error().description;
    EXPECT_EQ(modeOf(path), S_IFSOCK | 0600);
    EXPECT_EQ(modeOf(directory / "run/veltora"), S_IFDIR | 0700);
    EXPECT_EQ(veltora::test::fileNames(directory / "run/veltora"), std::vector<std::string>{"pkcs11"});
}

TEST(ListeningSocket, TakesOverOnlyAStaleSocket) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> leave;
        std::optional<std::string> refusal; // none: the path is taken over
    };
    std::optional<ListeningSocket> running;
    const std::vector<Case> cases{
        {"stale socket", leaveStaleSocket, std::nullopt},
        {"regular file", [](const std::string& path) { veltora::test::writeFile(path, "data"); },
         "exists and is not a socket"},
        {"directory", [](const std::string& path) { std::filesystem::create_directory(path); },
         "exists and is not a socket"},
        {"server listening",
         [&running](const std::string& path) {
             running.emplace(std::move(ListeningSocket::open(path).value()));
         },
         "another server listens on"}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryDirectory directory;
        const std::string path = directory / "pkcs11";
        testCase.leave(path);
        const mode_t before = modeOf(path);
        const auto listener = ListeningSocket::open(path);
        if (testCase.refusal) {
            ASSERT_FALSE(listener);
            EXPECT_THAT(listener.error().description, HasSubstr(*testCase.refusal));
            EXPECT_EQ(modeOf(path), before); // left as it was
        } else {
            ASSERT_TRUE(listener) << listener.error().description;
            EXPECT_EQ(modeOf(path), S_IFSOCK | 0600);
        }
        EXPECT_EQ(veltora::test::fileNames(directory.path()), std::vector<std::string>{"pkcs11"});
        running.reset();
    }
}

} // namespace
} // namespace quillet
