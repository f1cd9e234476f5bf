// What the public-key object does locally: verifying the service's signatures
// and encrypting; and that no key decrypts.

#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"
#include "tests/support/RecordingLogger.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/rsa.h>

namespace quillet::test {
namespace {

using veltora::test::EmulatorProcess;

class Pkcs11PublicKey : public ModuleTest {
protected:
    void SetUp() override {
        ownKey.reset(EVP_RSA_gen(2048));
        ASSERT_TRUE(ownKey);
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      emulatorConfiguration(emulator));
        registerToken("own-key", selfSigned(ownKey.get(), "Own Key"), emulatorConfiguration(emulator));
        ModuleTest::SetUp();
        for (const CK_SLOT_ID slot : slots()) {
            const CK_SESSION_HANDLE opened = openSession(slot);
            const Bytes id = attribute(opened, findObject(opened, CKO_CERTIFICATE), CKA_ID);
            (std::string(id.begin(), id.end()) == "own-key" ? ownSession : session) = opened;
        }
        ASSERT_NE(session, 0u);
        ASSERT_NE(ownSession, 0u);
        publicKey = findObject(session, CKO_PUBLIC_KEY);
        privateKey = findObject(session, CKO_PRIVATE_KEY);
    }

    CK_RV verify(CK_MECHANISM_TYPE type, const Bytes& data, Bytes signature,
                 CK_OBJECT_HANDLE key = CK_INVALID_HANDLE) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        const CK_RV started =
            functions->C_VerifyInit(session, &mechanism, key == CK_INVALID_HANDLE ? publicKey : key);
        if (started != CKR_OK) {
            return started;
        }
        return functions->C_Verify(session, const_cast<CK_BYTE*>(data.data()), data.size(), signature.data(),
                                   signature.size());
    }

    // C_EncryptInit and the two-call C_Encrypt on the session's public key.
    CK_RV encrypt(CK_SESSION_HANDLE on, const Bytes& data, Bytes& encrypted) {
        CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
        if (const CK_RV started = functions->C_EncryptInit(on, &mechanism, findObject(on, CKO_PUBLIC_KEY));
            started != CKR_OK) {
            return started;
        }
        CK_ULONG length = 0;
        auto* input = const_cast<CK_BYTE*>(data.data());
        if (const CK_RV sized = functions->C_Encrypt(on, input, data.size(), nullptr, &length);
            sized != CKR_OK) {
            return sized;
        }
        encrypted.assign(length, 0);
        const CK_RV done = functions->C_Encrypt(on, input, data.size(), encrypted.data(), &length);
        encrypted.resize(done == CKR_OK ? length : 0);
        return done;
    }

    EmulatorProcess emulator{{"--generate", "2"}};
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ownKey{nullptr, &EVP_PKEY_free};
    CK_SESSION_HANDLE session = 0;
    CK_SESSION_HANDLE ownSession = 0;
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
};

struct VerifyCase {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    Bytes data;
};

TEST_F(Pkcs11PublicKey, VerifiesTheServicesSignaturesAndRejectsAFlippedBit) {
    const Bytes message(1500, 'v');
    const VerifyCase cases[] = {
        {"RSA_PKCS over a SHA-256 DigestInfo", CKM_RSA_PKCS, sha256DigestInfo(sha256(message))},
        {"RSA_PKCS over a SHA-1 DigestInfo", CKM_RSA_PKCS, sha1DigestInfo(sha1(message))},
        {"SHA256_RSA_PKCS", CKM_SHA256_RSA_PKCS, message},
        {"SHA1_RSA_PKCS", CKM_SHA1_RSA_PKCS, message},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Bytes signature;
        ASSERT_EQ(sign(session, row.mechanism, row.data, signature), CKR_OK);
        EXPECT_EQ(verify(row.mechanism, row.data, signature), CKR_OK);
        for (const std::size_t byte : {std::size_t{0}, signature.size() / 2, signature.size() - 1}) {
            Bytes flipped = signature;
            flipped[byte] ^= 0x10;
            EXPECT_EQ(verify(row.mechanism, row.data, flipped), CKR_SIGNATURE_INVALID) << byte;
        }
        Bytes otherData = row.data;
        otherData.back() ^= 0x01;
        EXPECT_EQ(verify(row.mechanism, otherData, signature), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(verify(row.mechanism, row.data, Bytes(signature.begin() + 1, signature.end())),
                  CKR_SIGNATURE_LEN_RANGE);
        // Every answer ended the operation.
        EXPECT_EQ(functions->C_Verify(session, nullptr, 0, signature.data(), signature.size()),
                  CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST_F(Pkcs11PublicKey, VerifiesInPartsWithTheHashingMechanisms) {
    const Bytes message(3000, 'p');
    for (const CK_MECHANISM_TYPE type : {CKM_SHA256_RSA_PKCS, CKM_SHA1_RSA_PKCS}) {
        Bytes signature;
        ASSERT_EQ(sign(session, type, message, signature), CKR_OK);
        for (const bool flip : {false, true}) {
            CK_MECHANISM mechanism{type, nullptr, 0};
            ASSERT_EQ(functions->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
            EXPECT_EQ(functions->C_VerifyInit(session, &mechanism, publicKey), CKR_OPERATION_ACTIVE);
            for (std::size_t offset = 0; offset < message.size(); offset += 1024) {
                const std::size_t length = std::min<std::size_t>(1024, message.size() - offset);
                ASSERT_EQ(
                    functions->C_VerifyUpdate(session, const_cast<CK_BYTE*>(message.data() + offset), length),
                    CKR_OK);
            }
            Bytes checked = signature;
            checked[7] ^= flip ? 1 : 0;
            EXPECT_EQ(functions->C_VerifyFinal(session, checked.data(), checked.size()),
                      flip ? CKR_SIGNATURE_INVALID : CKR_OK)
                << type;
        }
    }
    // CKM_RSA_PKCS is single-part, as for signing.
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(functions->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
    CK_BYTE part[4] = {};
    EXPECT_EQ(functions->C_VerifyUpdate(session, part, sizeof part), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(functions->C_VerifyFinal(session, part, sizeof part), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11PublicKey, VerifyingNeedsThePublicKeyAndAnOfferedMechanism) {
    const Bytes data = sha256DigestInfo(sha256(Bytes{1, 2, 3}));
    const Bytes signature(256, 1);
    EXPECT_EQ(verify(CKM_RSA_PKCS, data, signature, privateKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(verify(CKM_RSA_PKCS, data, signature, findObject(session, CKO_CERTIFICATE)),
              CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(verify(CKM_SHA512_RSA_PKCS, data, signature), CKR_MECHANISM_INVALID);
    EXPECT_EQ(verify(CKM_RSA_PKCS, Bytes(250, 0), signature), CKR_DATA_LEN_RANGE);
    // The other token's public key does not accept this token's signature.
    Bytes signed_;
    ASSERT_EQ(sign(session, CKM_SHA256_RSA_PKCS, data, signed_), CKR_OK);
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(functions->C_VerifyInit(ownSession, &mechanism, findObject(ownSession, CKO_PUBLIC_KEY)),
              CKR_OK);
    EXPECT_EQ(functions->C_Verify(ownSession, const_cast<CK_BYTE*>(data.data()), data.size(), signed_.data(),
                                  signed_.size()),
              CKR_SIGNATURE_INVALID);
}

// A caller checking a signature it was given is not a fault of the module.
TEST_F(Pkcs11PublicKey, ASignatureThatDoesNotVerifyLogsNoError) {
    const auto errors = std::make_shared<veltora::test::RecordingLogger>();
    veltora::DDLog::sharedInstance().addLogger(errors, veltora::DDLogLevel::error);
    const Bytes data = sha256DigestInfo(sha256(Bytes{4, 5, 6}));
    EXPECT_EQ(verify(CKM_RSA_PKCS, data, Bytes(256, 1)), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(verify(CKM_RSA_PKCS, data, Bytes(255, 1)), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(verify(CKM_RSA_PKCS, data, Bytes(256, 1), privateKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    veltora::DDLog::sharedInstance().flushLog();
    EXPECT_THAT(errors->lines(), ::testing::ElementsAre(::testing::StartsWith(
                                     "C_VerifyInit failed with CKR_KEY_FUNCTION_NOT_PERMITTED")));
}

TEST_F(Pkcs11PublicKey, EncryptsSoThatThePrivateKeyDecrypts) {
    const Bytes secret{'s', 'e', 'c', 'r', 'e', 't'};
    Bytes first;
    Bytes second;
    ASSERT_EQ(encrypt(ownSession, secret, first), CKR_OK);
    ASSERT_EQ(encrypt(ownSession, secret, second), CKR_OK);
    EXPECT_EQ(first.size(), 256u);
    EXPECT_NE(first, second); // random padding

    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new(ownKey.get(), nullptr), &EVP_PKEY_CTX_free);
    ASSERT_EQ(EVP_PKEY_decrypt_init(context.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING), 1);
    for (const Bytes& encrypted : {first, second}) {
        Bytes decrypted(256);
        std::size_t length = decrypted.size();
        ASSERT_EQ(
            EVP_PKEY_decrypt(context.get(), decrypted.data(), &length, encrypted.data(), encrypted.size()),
            1);
        decrypted.resize(length);
        EXPECT_EQ(decrypted, secret);
    }

    // The longest input leaves 11 bytes of padding; a short buffer keeps the operation.
    Bytes longest(245, 'x');
    EXPECT_EQ(encrypt(ownSession, longest, first), CKR_OK);
    longest.push_back('x');
    EXPECT_EQ(encrypt(ownSession, longest, first), CKR_DATA_LEN_RANGE);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(functions->C_EncryptInit(ownSession, &mechanism, findObject(ownSession, CKO_PUBLIC_KEY)),
              CKR_OK);
    EXPECT_EQ(functions->C_EncryptInit(ownSession, &mechanism, findObject(ownSession, CKO_PUBLIC_KEY)),
              CKR_OPERATION_ACTIVE);
    CK_BYTE small[16];
    CK_ULONG length = sizeof small;
    EXPECT_EQ(functions->C_Encrypt(ownSession, small, 4, small, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);
    Bytes output(length);
    EXPECT_EQ(functions->C_Encrypt(ownSession, small, 4, output.data(), &length), CKR_OK);
    EXPECT_EQ(functions->C_Encrypt(ownSession, small, 4, output.data(), &length),
              CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11PublicKey, OnlyThePublicKeyEncryptsAndNoKeyDecrypts) {
    CK_MECHANISM rsaPkcs{CKM_RSA_PKCS, nullptr, 0};
    CK_MECHANISM hashing{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(functions->C_EncryptInit(session, &rsaPkcs, privateKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(functions->C_EncryptInit(session, &hashing, publicKey), CKR_MECHANISM_INVALID);
    EXPECT_EQ(functions->C_DecryptInit(session, &rsaPkcs, privateKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(functions->C_DecryptInit(session, &rsaPkcs, publicKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(functions->C_DecryptInit(session, &rsaPkcs, findObject(session, CKO_CERTIFICATE)),
              CKR_KEY_HANDLE_INVALID);

    // The attributes say the same.
    EXPECT_EQ(attribute(session, publicKey, CKA_VERIFY), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, publicKey, CKA_ENCRYPT), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, privateKey, CKA_DECRYPT), Bytes{CK_FALSE});
    EXPECT_EQ(attribute(session, privateKey, CKA_SIGN), Bytes{CK_TRUE});
}

TEST_F(Pkcs11PublicKey, MechanismFlagsSayWhatTheTokenDoes) {
    CK_SESSION_INFO info{};
    ASSERT_EQ(functions->C_GetSessionInfo(session, &info), CKR_OK);
    const struct {
        CK_MECHANISM_TYPE mechanism;
        CK_FLAGS flags;
    } expected[] = {
        // Java offers its raw RSA signature only with CKF_DECRYPT on CKM_RSA_PKCS.
        {CKM_RSA_PKCS, CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_ENCRYPT | CKF_DECRYPT},
        {CKM_SHA256_RSA_PKCS, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {CKM_SHA1_RSA_PKCS, CKF_HW | CKF_SIGN | CKF_VERIFY},
    };
    for (const auto& row : expected) {
        CK_MECHANISM_INFO mechanismInfo{};
        ASSERT_EQ(functions->C_GetMechanismInfo(info.slotID, row.mechanism, &mechanismInfo), CKR_OK);
        EXPECT_EQ(mechanismInfo.flags, row.flags) << row.mechanism;
    }
}

} // namespace
} // namespace quillet::test
