// The built module loaded by the tools people sign with. Every test has its
// own emulator and store; every command runs under `timeout`.

#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace quillet::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using veltora::test::EmulatorProcess;

const std::string kModulePath = modulePath();
constexpr const char* kPolicy = "policy-id-1";
constexpr const char* kPolicyHex = "706f6c6963792d69642d31"; // "policy-id-1"

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class Pkcs11Clients : public ::testing::Test {
protected:
    void SetUp() override {
        certificate = policyCertificate(emulator, kPolicy);
        registerToken(kPolicy, certificate, emulatorConfiguration(emulator));
        directory = store.path() + "-work";
        std::filesystem::create_directories(directory);
        ASSERT_TRUE(writeCertificatePem(certificate, path("cert.pem")));
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string path(const std::string& name) const { return directory + "/" + name; }

    // pkcs11-tool signs the file with the mechanism and returns the signature.
    Bytes signWithPkcs11Tool(const std::string& mechanism, const Bytes& input) {
        writeFile(path("input"), input);
        std::filesystem::remove(path("signature"));
        const auto result = runTool("pkcs11-tool --module " + kModulePath + " --sign --id " + kPolicyHex +
                                    " -m " + mechanism + " -i " + path("input") + " -o " + path("signature"));
        EXPECT_EQ(result.status, 0) << result.output;
        return readFile(path("signature"));
    }

    EmulatorProcess emulator;
    TemporaryStore store;
    Bytes certificate;
    std::string directory;
};

TEST_F(Pkcs11Clients, Pkcs11ToolListsAndSignsWithEveryMechanism) {
    const auto slots = runTool("pkcs11-tool --module " + kModulePath + " -L");
    EXPECT_EQ(slots.status, 0) << slots.output;
    EXPECT_THAT(slots.output, HasSubstr("Quillet"));
    EXPECT_THAT(slots.output, HasSubstr("Veltora"));
    const auto objects = runTool("pkcs11-tool --module " + kModulePath + " -O");
    EXPECT_EQ(objects.status, 0) << objects.output;
    EXPECT_THAT(objects.output, HasSubstr("Certificate Object"));
    EXPECT_THAT(objects.output, HasSubstr("Private Key Object"));

    const Bytes message(3000, 'q'); // over 1 KiB: signed in parts
    EXPECT_TRUE(
        verifiesDigest(certificate, sha256(message), true, signWithPkcs11Tool("SHA256-RSA-PKCS", message)));
    EXPECT_TRUE(
        verifiesDigest(certificate, sha1(message), false, signWithPkcs11Tool("SHA1-RSA-PKCS", message)));
    const Bytes digest = sha256(message);
    EXPECT_TRUE(
        verifiesDigest(certificate, digest, true, signWithPkcs11Tool("RSA-PKCS", sha256DigestInfo(digest))));
}

// pkcs11-tool --verify checks with the public-key object, on the token.
TEST_F(Pkcs11Clients, Pkcs11ToolVerifiesWithThePublicKey) {
    const Bytes message(3000, 'w');
    Bytes signature = signWithPkcs11Tool("SHA256-RSA-PKCS", message);
    ASSERT_EQ(signature.size(), 256u);
    const std::string verify = "pkcs11-tool --module " + kModulePath + " --verify --id " + kPolicyHex +
                               " -m SHA256-RSA-PKCS -i " + path("input") + " --signature-file " +
                               path("signature");
    const auto valid = runTool(verify);
    EXPECT_EQ(valid.status, 0) << valid.output;
    EXPECT_THAT(valid.output, HasSubstr("Signature is valid"));
    signature[100] ^= 0x01;
    writeFile(path("signature"), signature);
    // pkcs11-tool exits with 0 either way; only its words tell.
    const auto invalid = runTool(verify);
    EXPECT_THAT(invalid.output, HasSubstr("Invalid signature")) << invalid.output;
}

// OpenSC's own test: random bytes, signatures through the service and local
// verification with the public key, without an error.
TEST_F(Pkcs11Clients, Pkcs11ToolSelfTestPasses) {
    const auto tested = runTool("pkcs11-tool --module " + kModulePath + " --test");
    EXPECT_EQ(tested.status, 0) << tested.output;
    EXPECT_THAT(tested.output, HasSubstr("No errors")) << tested.output;
    EXPECT_THAT(tested.output, HasSubstr("Signatures (currently only for RSA)")) << tested.output;
    EXPECT_THAT(tested.output, HasSubstr("Verify (currently only for RSA)")) << tested.output;
    EXPECT_THAT(tested.output, Not(HasSubstr("Signatures: not implemented"))) << tested.output;
    EXPECT_THAT(tested.output, Not(HasSubstr("Verify: not implemented"))) << tested.output;
    EXPECT_THAT(tested.output, Not(HasSubstr("ERR:"))) << tested.output;
}

TEST_F(Pkcs11Clients, P11toolListsTheToken) {
    const auto listed = runTool("p11tool --provider " + kModulePath + " --list-all");
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_THAT(listed.output, HasSubstr("Type: Private key"));
    EXPECT_THAT(listed.output, HasSubstr("Type: X.509 Certificate"));
}

TEST_F(Pkcs11Clients, OpenSslEngineAndOsslsigncodeSign) {
    const Bytes digest = sha256(Bytes{'e', 'n', 'g'});
    writeFile(path("digest"), digest);
    const std::string key = "'pkcs11:id=%70%6f%6c%69%63%79%2d%69%64%2d%31;type=private'";
    const auto signedDigest = runTool(
        "env PKCS11_MODULE_PATH=" + kModulePath + " openssl pkeyutl -engine pkcs11 -keyform engine -inkey " +
        key + " -sign -pkeyopt digest:sha256 -in " + path("digest") + " -out " + path("engine-signature"));
    EXPECT_EQ(signedDigest.status, 0) << signedDigest.output;
    EXPECT_TRUE(verifiesDigest(certificate, digest, true, readFile(path("engine-signature"))));

    const std::string script = "Write-Output 'Signed by Quillet'\r\n";
    writeFile(path("script.ps1"), Bytes(script.begin(), script.end()));
    const auto signedScript =
        runTool("osslsigncode sign -pkcs11engine " + pkcs11Engine() + " -pkcs11module " + kModulePath +
                " -certs " + path("cert.pem") + " -key " + key + " -h sha256 -in " + path("script.ps1") +
                " -out " + path("signed.ps1"));
    EXPECT_EQ(signedScript.status, 0) << signedScript.output;
    const auto verified =
        runTool("osslsigncode verify -CAfile " + path("cert.pem") + " -in " + path("signed.ps1"));
    EXPECT_THAT(verified.output, HasSubstr("Signature verification: ok")) << verified.output;
}

} // namespace
} // namespace quillet::test
