// The server program refuses to start, with a line saying why, when it cannot serve.

#include "tests/filelog/FileLogTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

namespace quillet {
namespace {

using ::testing::HasSubstr;
using veltora::test::TemporaryDirectory;

TEST(ServerProgram, RefusesToStartWhenItCannotServe) {
    struct Case {
        const char* name;
        std::string arguments; // after --socket DIRECTORY/pkcs11
        std::string reason;
    };
    const std::vector<Case> cases{{"no module there", "--module /nonexistent/quillet-pkcs11.so",
                                   "cannot load /nonexistent/quillet-pkcs11.so"},
                                  {"socket path a file", "", "exists and is not a socket"}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryDirectory directory;
        veltora::test::writeFile(directory / "pkcs11", "not a socket");
        const std::string command = VELTORA_BINARY_DIR "/bin/quillet-pkcs11-server --socket " +
                                    (directory / "pkcs11") + " " + testCase.arguments + " 2>" +
                                    (directory / "errors") + " </dev/null";
        const int status = std::system(("timeout 60 " + command).c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_THAT(veltora::test::readFile(directory / "errors"), HasSubstr(testCase.reason));
        EXPECT_EQ(veltora::test::readFile(directory / "pkcs11"), "not a socket");
    }
}

} // namespace
} // namespace quillet
