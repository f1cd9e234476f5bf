#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>

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

} // namespace
} // namespace quillet
