// The server's command line, with and without the user's runtime directory.

#include "Quillet/server/ServerOptions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace quillet {
namespace {

using ::testing::HasSubstr;

TEST(ServerOptions, ParsesTheCommandLine) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* runtimeDirectory;      // nullptr: unset
        std::optional<std::string> socket; // none: the parse fails
        std::string errorOrModule;         // the error's text, or the module path
    };
    const std::vector<Case> cases{
        {"socket in the runtime directory",
         {"--module", "/m.so"},
         "/run/user/7",
         "/run/user/7/veltora/pkcs11",
         "/m.so"},
        {"socket given", {"--socket", "/s", "--module", "/m.so"}, nullptr, "/s", "/m.so"},
        {"no runtime directory",
         {"--module", "/m.so"},
         nullptr,
         std::nullopt,
         "no --socket and no XDG_RUNTIME_DIR"},
        {"relative runtime directory",
         {"--module", "/m.so"},
         "run",
         std::nullopt,
         "no --socket and no XDG_RUNTIME_DIR"},
        {"path missing", {"--socket"}, "/run/user/7", std::nullopt, "--socket needs a path"},
        {"empty path", {"--module", ""}, "/run/user/7", std::nullopt, "--module needs a path"},
        {"unknown argument", {"--sockets", "/s"}, "/run/user/7", std::nullopt, "unknown argument --sockets"}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        if (testCase.runtimeDirectory != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", testCase.runtimeDirectory, 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        const auto options = ServerOptions::parse(testCase.arguments);
        if (testCase.socket) {
            ASSERT_TRUE(options) << options.error().description;
            EXPECT_EQ(options.value().action, ServerOptions::Action::serve);
            EXPECT_EQ(options.value().socketPath, *testCase.socket);
            EXPECT_EQ(options.value().modulePath, testCase.errorOrModule);
        } else {
            ASSERT_FALSE(options);
            EXPECT_THAT(options.error().description, HasSubstr(testCase.errorOrModule));
        }
    }
    ::unsetenv("XDG_RUNTIME_DIR");
}

// --help and --version answer without a socket or a module to serve.
TEST(ServerOptions, HelpAndVersionNeedNothingElse) {
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ServerOptions::parse({"--help"}).value().action, ServerOptions::Action::help);
    EXPECT_EQ(ServerOptions::parse({"--version"}).value().action, ServerOptions::Action::version);
}

} // namespace
} // namespace quillet
