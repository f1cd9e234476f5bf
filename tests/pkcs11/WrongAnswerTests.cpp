// Service answers that must never become a signature, through the C functions
// against the emulator's fault modes.

#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"
#include "tests/support/RecordingLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace quillet::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using veltora::test::EmulatorProcess;

const std::string kMismatch =
    "the service's signature does not match the registered certificate of policy-id-1";

class Pkcs11WrongAnswers : public ModuleTest {
protected:
    void SetUp() override {
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      emulatorConfiguration(emulator));
        ModuleTest::SetUp();
        session = openSession(slots().at(0));
        certificate = attribute(session, findObject(session, CKO_CERTIFICATE), CKA_VALUE);
        veltora::DDLog::sharedInstance().addLogger(errors, veltora::DDLogLevel::error);
    }

    // The error lines logged since the last call.
    std::vector<std::string> newErrorLines() {
        veltora::DDLog::sharedInstance().flushLog();
        const auto lines = errors->lines();
        std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(seen), lines.end());
        seen = lines.size();
        return fresh;
    }

    // The data C_Sign takes for the mechanism: the DigestInfo for CKM_RSA_PKCS.
    static Bytes input(CK_MECHANISM_TYPE mechanism, const Bytes& message) {
        return mechanism == CKM_RSA_PKCS ? sha256DigestInfo(sha256(message)) : message;
    }

    EmulatorProcess emulator{{"--key-bits", "1024"}};
    CK_SESSION_HANDLE session = 0;
    Bytes certificate;
    std::shared_ptr<veltora::test::RecordingLogger> errors =
        std::make_shared<veltora::test::RecordingLogger>();
    std::size_t seen = 0;
};

TEST_F(Pkcs11WrongAnswers, ASignatureThatDoesNotVerifyFailsWithAnErrorLine) {
    struct Case {
        const char* name;
        const char* steps;
        CK_MECHANISM_TYPE mechanism;
        std::string logged;
    };
    const Case cases[] = {
        {"cut to one byte", "short-signature:1", CKM_SHA256_RSA_PKCS, kMismatch},
        {"cut to 16 bytes", "short-signature:16", CKM_SHA256_RSA_PKCS, kMismatch},
        {"one byte short", "short-signature:127", CKM_SHA256_RSA_PKCS, kMismatch},
        {"wrong, SHA-256", "wrong-signature", CKM_SHA256_RSA_PKCS, kMismatch},
        {"wrong, SHA-1", "wrong-signature", CKM_SHA1_RSA_PKCS, kMismatch},
        {"wrong, DigestInfo", "wrong-signature", CKM_RSA_PKCS, kMismatch},
        // 180 characters "A": a signature of 135 zero bytes, longer than the 128-byte key.
        {"longer than the key", "large-body:196", CKM_SHA256_RSA_PKCS,
         "the service returned a signature of 135 bytes for a key of 128 bytes"},
    };
    const Bytes message{'w'};
    for (const Case& row : cases) {
        emulator.script("signing", row.steps);
        Bytes signature;
        EXPECT_EQ(sign(session, row.mechanism, input(row.mechanism, message), signature), CKR_DEVICE_ERROR)
            << row.name;
        EXPECT_TRUE(signature.empty()) << row.name;
        EXPECT_THAT(newErrorLines(),
                    ::testing::ElementsAre(
                        AllOf(StartsWith("C_Sign failed with CKR_DEVICE_ERROR: "), HasSubstr(row.logged))))
            << row.name;
    }
    // Nothing of it sticks: the next answer is signed.
    Bytes signature;
    ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha256(message), true, signature));
}

TEST_F(Pkcs11WrongAnswers, ASignatureThatLostItsLeadingZerosIsPaddedAndPasses) {
    // One signature in 256 starts with a zero byte: sign until one does.
    Bytes message;
    Bytes expected;
    for (int i = 0; i < 4000 && (expected.empty() || expected[0] != 0); ++i) {
        message = Bytes{'z', static_cast<std::uint8_t>(i & 0xFF), static_cast<std::uint8_t>(i >> 8)};
        ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, expected), CKR_OK);
    }
    ASSERT_EQ(expected.at(0), 0) << "no signature with a leading zero byte in 4000";

    emulator.script("signing", "signature-without-leading-zeros");
    Bytes signature;
    ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_EQ(signature, expected);
    EXPECT_THAT(newErrorLines(), ::testing::IsEmpty());
}

} // namespace
} // namespace quillet::test
