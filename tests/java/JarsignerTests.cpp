// jarsigner and keytool with the token as their key store, through Java's
// SunPKCS11 provider loading the built module; jarsigner -verify checks the
// signed jar against the certificate as a trusted one.

#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>

namespace quillet::test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using veltora::test::EmulatorProcess;

constexpr const char* kPolicy = "policy-id-1";
constexpr const char* kAlias = "policy-1"; // the certificate's label
constexpr std::string_view kContent = "Signed by Quillet\n";

// With a module built with AddressSanitizer (its runtime preloaded by runTool):
// leak checking stays off, as it fails when the JVM exits with its threads
// running, and SIGSEGV is left to the JVM, which raises it in normal operation.
constexpr const char* kJvmSanitizerOptions = "env ASAN_OPTIONS=detect_leaks=0:handle_segv=0 ";

class JavaTools : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // The emulator with keys of this size, its policy registered, and a provider configuration.
    void start(int keyBits) {
        emulator = std::make_unique<EmulatorProcess>(
            std::vector<std::string>{"--key-bits", std::to_string(keyBits)});
        const Bytes certificate = policyCertificate(*emulator, kPolicy);
        registerToken(kPolicy, certificate, emulatorConfiguration(*emulator));
        directory = store.path() + "-java";
        std::filesystem::create_directories(path("content"));
        std::ofstream(path("content/hello.txt")) << kContent;
        std::ofstream(path("provider.cfg")) << "name = Quillet\n"
                                            << "library = " << modulePath() << "\n"
                                            << "slotListIndex = 0\n";
        ASSERT_TRUE(writeCertificatePem(certificate, path("cert.pem")));
    }

    std::string path(const std::string& name) const { return directory + "/" + name; }

    static ToolResult runJava(const std::string& command) { return runTool(kJvmSanitizerOptions + command); }

    // A Java tool with the token as its key store; -protected, as the token
    // has no PIN to ask for.
    ToolResult runWithToken(const std::string& tool, const std::string& arguments) const {
        return runJava(tool + " -keystore NONE -storetype PKCS11 -addprovider SunPKCS11 -providerArg " +
                       path("provider.cfg") + " -protected " + arguments);
    }

    std::size_t signingRequests() const {
        std::size_t count = 0;
        for (const auto& request : emulator->requests()) {
            count += request.at("target").get<std::string>().find("SigningRequests") != std::string::npos;
        }
        return count;
    }

    TemporaryStore store;
    std::unique_ptr<EmulatorProcess> emulator;
    std::string directory;
};

TEST_F(JavaTools, KeytoolListsTheKeyUnderTheCertificateLabel) {
    ASSERT_NO_FATAL_FAILURE(start(2048));
    const auto listed = runWithToken("keytool", "-list");
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Your keystore contains 1 entry"));
    EXPECT_THAT(listed.output, HasSubstr(std::string(kAlias) + ", PrivateKeyEntry")) << listed.output;
}

struct JarsignerCase {
    const char* name;
    int keyBits;
    const char* options;
    friend void PrintTo(const JarsignerCase& row, std::ostream* out) { *out << row.name; }
};

class Jarsigner : public JavaTools, public ::testing::WithParamInterface<JarsignerCase> {};

TEST_P(Jarsigner, SignsAJarThatVerifies) {
    const JarsignerCase& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(row.keyBits));
    const auto packed = runJava("jar --create --file " + path("app.jar") + " -C " + path("content") + " .");
    ASSERT_EQ(packed.status, 0) << packed.output;

    const auto signedJar =
        runWithToken("jarsigner", std::string(row.options) + " -signedjar " + path("signed.jar") + " " +
                                      path("app.jar") + " " + kAlias);
    ASSERT_EQ(signedJar.status, 0) << signedJar.output;
    EXPECT_THAT(signedJar.output, HasSubstr("jar signed."));
    EXPECT_EQ(signingRequests(), 1u) << "the service made the signature";

    const auto trusted = runJava("keytool -importcert -noprompt -alias quillet -file " + path("cert.pem") +
                                 " -keystore " + path("trust.p12") + " -storepass changeit");
    ASSERT_EQ(trusted.status, 0) << trusted.output;
    // -strict turns an unverifiable signature or an untrusted chain into a failure.
    const auto verified = runJava("jarsigner -verify -strict -verbose -certs -keystore " + path("trust.p12") +
                                  " -storepass changeit " + path("signed.jar"));
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_THAT(verified.output, HasSubstr("jar verified.")) << verified.output;
    EXPECT_THAT(verified.output, ContainsRegex("smk +[0-9]+ .* hello.txt")) << verified.output;
    EXPECT_THAT(verified.output, HasSubstr("[trusted certificate]")) << verified.output;
    EXPECT_THAT(verified.output,
                HasSubstr("Signature algorithm: SHA256withRSA, " + std::to_string(row.keyBits) + "-bit key"));
}

// jarsigner picks SHA-384 for keys over 3072 bits, which the service does not
// sign; -sigalg brings it back to SHA-256.
INSTANTIATE_TEST_SUITE_P(KeySizes, Jarsigner,
                         ::testing::Values(JarsignerCase{"DefaultAlgorithm", 2048, ""},
                                           JarsignerCase{"LargeKeyWithSha256", 4096,
                                                         "-sigalg SHA256withRSA"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A program that hashes for itself and signs the DigestInfo with NONEwithRSA:
// Java offers it only when CKM_RSA_PKCS is flagged for decryption, and it
// reaches the token as one C_Sign with CKM_RSA_PKCS.
TEST_F(JavaTools, NoneWithRsaSignsADigestInfoJavaBuilt) {
    ASSERT_NO_FATAL_FAILURE(start(2048));
    const std::string program = std::string(VELTORA_SOURCE_DIR) + "/tests/java/programs/RawRsaSign.java";
    const auto ran = runJava("java --add-exports java.base/sun.security.util=ALL-UNNAMED "
                             "--add-exports java.base/sun.security.x509=ALL-UNNAMED " +
                             program + " " + path("provider.cfg") + " " + kAlias + " " +
                             path("content/hello.txt") + " " + path("signature-"));
    ASSERT_EQ(ran.status, 0) << ran.output;
    EXPECT_THAT(ran.output, HasSubstr("SHA-1 DigestInfo signed")) << ran.output;
    EXPECT_EQ(signingRequests(), 2u) << "the service made both signatures";

    const Bytes certificate = policyCertificate(*emulator, kPolicy);
    const Bytes data(kContent.begin(), kContent.end());
    for (const bool sha256Digest : {true, false}) {
        std::ifstream file(path(sha256Digest ? "signature-SHA-256" : "signature-SHA-1"), std::ios::binary);
        const Bytes signature{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        EXPECT_TRUE(
            verifiesDigest(certificate, sha256Digest ? sha256(data) : sha1(data), sha256Digest, signature))
            << (sha256Digest ? "SHA-256" : "SHA-1");
    }
}

} // namespace
} // namespace quillet::test
