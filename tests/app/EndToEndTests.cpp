// The whole system: the host registers from the emulator, a PKCS#11 client signs
// through the built module with that registration, and the host's quit removes it.

#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

namespace veltora::test {
namespace {

using quillet::test::Bytes;
using quillet::test::modulePath;
using quillet::test::runTool;

Bytes fileBytes(const std::string& path) {
    const std::string content = readFile(path);
    return Bytes(content.begin(), content.end());
}

TEST(HostEndToEnd, RegisteredCertificateSignsThroughTheModuleUntilTheHostQuits) {
    HostSandbox sandbox;
    EmulatorProcess emulator;
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(host.waitForOutput("\tpolicy-1\t")) << host.errors();

    const std::string tool = "env VELTORA_TOKEN_STORE=" + sandbox.storePath() + " HOME=" + sandbox.path() +
                             "/home XDG_STATE_HOME=" + sandbox.path() + "/state pkcs11-tool --module " +
                             modulePath() + " --id 706f6c6963792d69642d31 "; // "policy-id-1"
    const std::string message = "signed end to end";
    writeFile(sandbox / "message", message);
    const auto signedMessage = runTool(tool + "--sign -m SHA256-RSA-PKCS -i " + (sandbox / "message") +
                                       " -o " + (sandbox / "signature"));
    ASSERT_EQ(signedMessage.status, 0) << signedMessage.output;
    const auto readCertificate =
        runTool(tool + "--read-object --type cert -o " + (sandbox / "certificate.der"));
    ASSERT_EQ(readCertificate.status, 0) << readCertificate.output;

    const Bytes registered = fileBytes(sandbox / "certificate.der");
    EXPECT_EQ(registered, quillet::test::policyCertificate(emulator, "policy-id-1"));
    EXPECT_TRUE(quillet::test::verifiesDigest(registered,
                                              quillet::test::sha256(Bytes(message.begin(), message.end())),
                                              true, fileBytes(sandbox / "signature")));

    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(), 0);
    EXPECT_EQ(sandbox.registrationCount(), 0u);
    const auto slots = runTool(tool + "--list-token-slots");
    EXPECT_THAT(slots.output, ::testing::Not(::testing::HasSubstr("Veltora"))) << slots.output;
}

} // namespace
} // namespace veltora::test
