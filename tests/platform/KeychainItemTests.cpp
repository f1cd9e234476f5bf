#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::selfSigned;

TEST(KeychainItems, AreDerivedFromTheCertificate) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    ASSERT_TRUE(key);
    const Bytes der = selfSigned(key.get(), "Signing Policy Ä");

    auto certificate = TKTokenKeychainCertificate::make(der, "policy/1");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate.value().objectID(), "policy/1");
    EXPECT_EQ(certificate.value().label(), "Signing Policy Ä");
    EXPECT_EQ(certificate.value().data(), der);
    EXPECT_EQ(certificate.value().subject(), certificate.value().issuer());
    EXPECT_EQ(certificate.value().serialNumber(), (Bytes{0x02, 0x02, 0x10, 0x92}));

    auto item = TKTokenKeychainKey::make(der, "policy/1");
    ASSERT_TRUE(item);
    const auto& keyItem = item.value();
    EXPECT_EQ(keyItem.keyType(), "RSA");
    EXPECT_EQ(keyItem.keySizeInBits(), 2048u);
    EXPECT_EQ(keyItem.modulus().size(), 256u);
    EXPECT_NE(keyItem.modulus().front(), 0);
    EXPECT_EQ(keyItem.publicExponent(), (Bytes{0x01, 0x00, 0x01}));

    // SHA-1 of the DER RSAPublicKey, as the key's own encoder writes it.
    unsigned char* rsaPublicKey = nullptr;
    const int length = i2d_PublicKey(key.get(), &rsaPublicKey);
    ASSERT_GT(length, 0);
    Bytes expected(SHA_DIGEST_LENGTH);
    SHA1(rsaPublicKey, static_cast<std::size_t>(length), expected.data());
    OPENSSL_free(rsaPublicKey);
    EXPECT_EQ(keyItem.publicKeyHash(), expected);
}

TEST(KeychainItems, LabelFallsBackToTheSubjectAndOnlyRsaCertificatesMakeKeys) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rsa(EVP_RSA_gen(2048), EVP_PKEY_free);
    auto certificate = TKTokenKeychainCertificate::make(selfSigned(rsa.get(), ""), "id");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate.value().label(), "/O=Veltora Test");

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const Bytes ecDer = selfSigned(ec.get(), "ec");
    EXPECT_TRUE(TKTokenKeychainCertificate::make(ecDer, "id"));
    EXPECT_FALSE(TKTokenKeychainKey::make(ecDer, "id"));

    Bytes trailing = selfSigned(rsa.get(), "x");
    trailing.push_back(0);
    for (const Bytes& bad : {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01}, trailing}) {
        EXPECT_FALSE(TKTokenKeychainCertificate::make(bad, "id"));
        EXPECT_FALSE(TKTokenKeychainKey::make(bad, "id"));
    }
}

// The PKCS #1 v1.5 signature of the key over a DigestInfo, padded but not hashed here.
Bytes signDigestInfo(EVP_PKEY* key, const Bytes& digestInfo) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                        EVP_PKEY_CTX_free);
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, digestInfo.data(), digestInfo.size()) != 1) {
        return {};
    }
    Bytes signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digestInfo.data(), digestInfo.size()) != 1) {
        return {};
    }
    signature.resize(length);
    return signature;
}

// Keys keep their numbers for the check and share them with their copies;
// each key, and every copy of it, still accepts only its own signatures while
// threads check with both keys at once.
TEST(KeychainItems, EachKeyAcceptsOnlyItsOwnSignaturesFromManyThreads) {
    Bytes digestInfo{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}; // SHA-256
    digestInfo.resize(digestInfo.size() + 32, 0x5a);
    struct Signer {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_RSA_gen(2048), EVP_PKEY_free};
        std::optional<TKTokenKeychainKey> item;
        Bytes signature;
    };
    std::array<Signer, 2> signers;
    for (Signer& signer : signers) {
        ASSERT_TRUE(signer.key);
        auto item = TKTokenKeychainKey::make(selfSigned(signer.key.get(), "policy"), "policy");
        ASSERT_TRUE(item);
        signer.item = std::move(item).value();
        signer.signature = signDigestInfo(signer.key.get(), digestInfo);
        ASSERT_EQ(signer.signature.size(), 256u);
    }
    std::array<int, 4> accepted{}, rejected{}; // per thread
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < accepted.size(); ++t) {
            threads.emplace_back([&, t] {
                const Signer& own = signers[t % 2];
                const Signer& other = signers[(t + 1) % 2];
                const TKTokenKeychainKey key = *own.item; // a copy: it shares the numbers
                Bytes flipped = own.signature;
                flipped[flipped.size() / 2] ^= 0x01;
                for (int round = 0; round < 20; ++round) {
                    accepted[t] += key.verifies(own.signature, digestInfo) ? 1 : 0;
                    rejected[t] += key.verifies(other.signature, digestInfo) ? 0 : 1;
                    rejected[t] += key.verifies(flipped, digestInfo) ? 0 : 1;
                }
            });
        }
    }
    EXPECT_EQ(accepted, (std::array<int, 4>{20, 20, 20, 20}));
    EXPECT_EQ(rejected, (std::array<int, 4>{40, 40, 40, 40}));
    // The public operation turns a signature back into what was signed, under its own key only.
    const Bytes recovered = signers[1].item->publicOperation(signers[1].signature);
    ASSERT_EQ(recovered.size(), 256u);
    EXPECT_TRUE(std::equal(digestInfo.rbegin(), digestInfo.rend(), recovered.rbegin()));
    EXPECT_NE(signers[0].item->publicOperation(signers[1].signature), recovered);
}

} // namespace
} // namespace quillet
