// The product as Linux users install it: the .deb built from this tree, and the host run from the
// tree cmake --install makes, which must find the module installed there.

#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace veltora::test {
namespace {

using quillet::test::p11KitVariable;
using quillet::test::runCommand;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kHeader = "commonname\tproject\tsigningpolicy\tfingerprint\texpires\n";

std::string builtPackage(const std::string& directory) {
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".deb") {
            return entry.path().string();
        }
    }
    return {};
}

// The host of an installed tree registers the emulator's two policies and clears them at quit.
void expectHostRegistersAndClears(const std::string& program) {
    EmulatorProcess emulator({"--generate", "2", "--key-bits", "1024"});
    HostSandbox sandbox;
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator), program);
    ASSERT_TRUE(host.waitForOutput(kHeader)) << host.errors();
    EXPECT_THAT(host.output(), HasSubstr("policy-2\tproject-2\t"));
    EXPECT_EQ(sandbox.registrationCount(), 2u);
    EXPECT_THAT(sandbox.logText(), Not(HasSubstr("TokenDriver not found")));
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.errors();
    EXPECT_EQ(sandbox.registrationCount(), 0u);
}

TEST(DebianPackage, HoldsEveryPieceWhereTheSystemLooksForIt) {
    const TemporaryDirectory directory;
    // Uncompressed: this build carries sanitizers and debug information, and only the layout counts.
    const auto packed = runCommand("cpack --config " VELTORA_BINARY_DIR "/CPackConfig.cmake -B " +
                                   directory.path() + " -D CPACK_DEBIAN_COMPRESSION_TYPE=none");
    ASSERT_EQ(packed.status, 0) << packed.output;
    const std::string package = builtPackage(directory.path());
    ASSERT_FALSE(package.empty()) << packed.output;

    const std::string moduleDirectory = p11KitVariable("p11_module_path");
    const std::string moduleFiles = p11KitVariable("p11_module_configs");
    const auto contents = runCommand("dpkg-deb -c " + package);
    ASSERT_EQ(contents.status, 0) << contents.output;
    const std::vector<std::string> paths{
        "/usr/bin/VeltoraCryptoTokenKit",
        moduleDirectory + "/quillet-pkcs11.so",
        moduleFiles + "/quillet.module",
        "/usr/lib/systemd/user/veltora-token-kit.service",
        "/usr/lib/systemd/user/veltora-p11-kit-server.service",
        "/usr/share/applications/com.veltora.VeltoraCryptoTokenKit.desktop",
        "/usr/share/icons/hicolor/scalable/apps/com.veltora.VeltoraCryptoTokenKit.svg"};
    for (const std::string& path : paths) {
        EXPECT_THAT(contents.output, HasSubstr(" ." + path + "\n")) << path;
    }

    const auto fields = runCommand("dpkg-deb -f " + package + " Package Version Depends");
    EXPECT_THAT(fields.output, HasSubstr("Package: veltora-token-kit\nVersion: " VELTORA_VERSION "\n"));
    EXPECT_THAT(fields.output, HasSubstr("libqt6widgets6"));
    EXPECT_THAT(fields.output, HasSubstr("libcurl4"));

    // The files that name installed paths name them under /usr, not under the build tree.
    const std::string root = directory / "root";
    ASSERT_EQ(runCommand("dpkg-deb -x " + package + " " + root).status, 0);
    EXPECT_THAT(readFile(root + moduleFiles + "/quillet.module"),
                HasSubstr("\nmodule: " + moduleDirectory + "/quillet-pkcs11.so\n"));
    EXPECT_THAT(readFile(root + "/usr/lib/systemd/user/veltora-token-kit.service"),
                HasSubstr("\nExecStart=/usr/bin/VeltoraCryptoTokenKit --headless\n"));
    EXPECT_THAT(readFile(root + "/usr/lib/systemd/user/veltora-p11-kit-server.service"),
                HasSubstr("\nExecStart=/usr/bin/p11-kit server -f --provider " + moduleDirectory +
                          "/quillet-pkcs11.so -n %t/veltora/pkcs11 pkcs11:\n"));
}

TEST(InstalledTree, HostFindsTheModuleInstalledBesideIt) {
    const TemporaryDirectory root;
    const auto installed =
        runCommand("env DESTDIR=" + root.path() + " cmake --install " VELTORA_BINARY_DIR " --prefix /usr");
    ASSERT_EQ(installed.status, 0) << installed.output;
    expectHostRegistersAndClears(root / "usr/bin/VeltoraCryptoTokenKit");
}

} // namespace
} // namespace veltora::test
