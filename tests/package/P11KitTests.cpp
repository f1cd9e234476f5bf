// Applications that go through p11-kit see the tokens without being told where the module is: a
// user's p11-kit configuration names it, as the package's system-wide module file does.

#include "tests/filelog/FileLogTestSupport.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace quillet::test {
namespace {

using ::testing::HasSubstr;
using veltora::test::EmulatorProcess;
using veltora::test::TemporaryDirectory;

const std::string kNobody = "65534";

class ThroughP11Kit : public ::testing::Test {
protected:
    void SetUp() override {
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      emulatorConfiguration(emulator));
        const std::string modules = home / ".config/pkcs11/modules";
        std::filesystem::create_directories(modules);
        // A copy in the home: the tools may run as another user, who cannot always reach the build tree.
        const std::string module = home / "quillet-pkcs11.so";
        std::filesystem::copy_file(modulePath(), module);
        veltora::test::writeFile(modules + "/quillet.module", "module: " + module + "\n");
        // The system's own modules hang at exit under the sanitizer runtime the tools preload for
        // ours; the user's configuration turns them off for the two tools.
        for (const auto& entry : std::filesystem::directory_iterator(p11KitVariable("p11_module_configs"))) {
            if (entry.path().filename() != "quillet.module") {
                veltora::test::writeFile(modules + "/" + entry.path().filename().string(),
                                         "disable-in: p11tool pkcs11-tool\n");
            }
        }
        // p11-kit ignores a user's configuration in programs running as root.
        if (::geteuid() == 0) {
            ASSERT_EQ(
                runCommand("chown -R " + kNobody + ":" + kNobody + " " + home.path() + " " + store.path())
                    .status,
                0);
        }
    }

    // The command with the throwaway home, whose p11-kit configuration is the user's.
    ToolResult run(const std::string& command) const {
        const std::string user =
            ::geteuid() == 0 ? "setpriv --reuid=" + kNobody + " --regid=" + kNobody + " --clear-groups " : "";
        return runTool(user + "env -u XDG_CONFIG_HOME HOME=" + home.path() + " " + command);
    }

    EmulatorProcess emulator;
    TemporaryStore store;
    TemporaryDirectory home;
};

TEST_F(ThroughP11Kit, P11toolListsTheToken) {
    const auto listed = run("p11tool --list-tokens");
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Manufacturer: Veltora")) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Model: Quillet")) << listed.output;
}

TEST_F(ThroughP11Kit, Pkcs11ToolOnTheProxyModuleListsTheToken) {
    const std::string proxy = p11KitVariable("proxy_module");
    ASSERT_TRUE(std::filesystem::exists(proxy)) << proxy;
    const auto listed = run("pkcs11-tool --module " + proxy + " -L");
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Veltora")) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Quillet")) << listed.output;
}

} // namespace
} // namespace quillet::test
