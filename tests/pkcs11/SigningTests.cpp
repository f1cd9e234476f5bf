// Signing through the C functions against the service emulator.

#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace quillet::test {
namespace {

using veltora::test::EmulatorProcess;

class Pkcs11Signing : public ModuleTest {
protected:
    void SetUp() override {
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      emulatorConfiguration(emulator));
        registerToken("policy-id-2", policyCertificate(emulator, "policy-id-2"),
                      emulatorConfiguration(emulator));
        ModuleTest::SetUp();
        const auto present = slots();
        ASSERT_EQ(present.size(), 2u);
        slot = present[0];
        session = openSession(slot);
        certificate = attribute(session, findObject(session, CKO_CERTIFICATE), CKA_VALUE);
        emulator.clearRequests();
    }

    std::size_t signingRequests() const { return emulator.requests().size(); }

    EmulatorProcess emulator{{"--generate", "2"}};
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    Bytes certificate;
};

TEST_F(Pkcs11Signing, EveryMechanismMakesAVerifiableSignature) {
    const Bytes message(3000, 'm');
    Bytes signature;

    ASSERT_EQ(sign(session, CKM_RSA_PKCS, sha256DigestInfo(sha256(message)), signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha256(message), true, signature));
    ASSERT_EQ(sign(session, CKM_RSA_PKCS, sha1DigestInfo(sha1(message)), signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha1(message), false, signature));
    ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha256(message), true, signature));
    ASSERT_EQ(sign(session, CKM_SHA1_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha1(message), false, signature));
    // One request per signature: the size queries never reached the service.
    EXPECT_EQ(signingRequests(), 4u);

    // In parts, the way pkcs11-tool signs inputs over 1 KiB; size query and short buffer first.
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, findObject(session, CKO_PRIVATE_KEY)), CKR_OK);
    for (std::size_t offset = 0; offset < message.size(); offset += 1025) {
        const std::size_t length = std::min<std::size_t>(1025, message.size() - offset);
        ASSERT_EQ(functions->C_SignUpdate(session, const_cast<CK_BYTE*>(message.data() + offset), length),
                  CKR_OK);
    }
    CK_ULONG length = 0;
    ASSERT_EQ(functions->C_SignFinal(session, nullptr, &length), CKR_OK);
    signature.assign(length, 0);
    length = 10;
    ASSERT_EQ(functions->C_SignFinal(session, signature.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(signingRequests(), 4u);
    ASSERT_EQ(functions->C_SignFinal(session, signature.data(), &length), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha256(message), true, signature));

    // The other token signs with its own policy.
    const CK_SESSION_HANDLE other = openSession(slots()[1]);
    const Bytes otherCertificate = attribute(other, findObject(other, CKO_CERTIFICATE), CKA_VALUE);
    ASSERT_EQ(sign(other, CKM_SHA256_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(otherCertificate, sha256(message), true, signature));
    const auto requests = emulator.requests();
    EXPECT_NE(requests.back().at("target").get<std::string>().find("SigningRequests"), std::string::npos);
    EXPECT_NE(EmulatorProcess::body(requests.back()).find("policy-id-2"), std::string::npos);
}

TEST_F(Pkcs11Signing, ServiceFailuresMapToReturnValuesAndEndTheOperation) {
    const Bytes message{'x'};
    Bytes signature;
    const auto expectFailure = [&](const std::string& script, CK_RV expected) {
        emulator.script("signing", script);
        EXPECT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), expected) << script;
        CK_ULONG length = 512;
        CK_BYTE buffer[512];
        EXPECT_EQ(functions->C_Sign(session, buffer, 1, buffer, &length), CKR_OPERATION_NOT_INITIALIZED)
            << script;
    };
    expectFailure("401", CKR_USER_NOT_LOGGED_IN);
    expectFailure("403", CKR_USER_NOT_LOGGED_IN);
    expectFailure("503*2", CKR_DEVICE_ERROR); // retries exhausted
    expectFailure("500", CKR_DEVICE_ERROR);
    expectFailure("404", CKR_FUNCTION_FAILED);
    expectFailure("invalid-base64", CKR_USER_NOT_LOGGED_IN);
    expectFailure("not-json", CKR_DEVICE_ERROR);

    // The session works on after the failures.
    emulator.script("signing", "ok");
    ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha256(message), true, signature));

    // A registration removed under an open session can no longer sign.
    unregisterToken("policy-id-1");
    EXPECT_EQ(sign(session, CKM_SHA256_RSA_PKCS, message, signature), CKR_KEY_HANDLE_INVALID);
}

TEST_F(Pkcs11Signing, AWaitingSignatureDoesNotHoldUpOtherSessions) {
    // The first request hangs until the client's timeout; meanwhile another
    // session, and another call on the blocked session, get answers.
    emulator.script("signing", "hang");
    const CK_SESSION_HANDLE blocked = openSession(slot);
    auto hanging = std::async(std::launch::async, [&] {
        Bytes signature;
        return sign(blocked, CKM_SHA256_RSA_PKCS, Bytes{'h'}, signature);
    });
    for (int i = 0; i < 500 && signingRequests() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(signingRequests(), 1u);
    EXPECT_EQ(hanging.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    Bytes signature;
    EXPECT_EQ(sign(session, CKM_SHA1_RSA_PKCS, Bytes{'o'}, signature), CKR_OK);
    EXPECT_TRUE(verifiesDigest(certificate, sha1(Bytes{'o'}), false, signature));
    CK_BYTE buffer[256];
    CK_ULONG length = sizeof buffer;
    EXPECT_EQ(functions->C_Sign(blocked, buffer, 1, buffer, &length), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(hanging.get(), CKR_DEVICE_ERROR);

    // Many threads at once, each with its own session.
    std::vector<std::future<bool>> signers;
    for (int i = 0; i < 8; ++i) {
        signers.push_back(std::async(std::launch::async, [&, i] {
            const CK_SESSION_HANDLE own = openSession(slot);
            const Bytes message(100, static_cast<std::uint8_t>(i));
            Bytes own_signature;
            return sign(own, CKM_SHA256_RSA_PKCS, message, own_signature) == CKR_OK &&
                   verifiesDigest(certificate, sha256(message), true, own_signature);
        }));
    }
    for (auto& signer : signers) {
        EXPECT_TRUE(signer.get());
    }
}

} // namespace
} // namespace quillet::test
