#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
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

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Key rsaKey(unsigned bits, unsigned long exponent, const char* type = "RSA") {
    Key key(nullptr, EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr), EVP_PKEY_CTX_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(BN_new(), BN_free);
    EVP_PKEY* made = nullptr;
    if (context && e && BN_set_word(e.get(), exponent) == 1 && EVP_PKEY_keygen_init(context.get()) == 1 &&
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) == 1 &&
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), e.get()) == 1 &&
        EVP_PKEY_generate(context.get(), &made) == 1) {
        key.reset(made);
    }
    return key;
}

TEST(KeychainItems, LabelFallsBackToTheSubjectAndOnlyRsaCertificatesMakeKeys) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rsa(EVP_RSA_gen(2048), EVP_PKEY_free);
    auto certificate = TKTokenKeychainCertificate::make(selfSigned(rsa.get(), ""), "id");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate.value().label(), "/O=Veltora Test");

    // Keys that are not rsaEncryption make certificates but no key items.
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const Key pss = rsaKey(2048, 65537, "RSA-PSS");
    for (EVP_PKEY* other : {ec.get(), pss.get()}) {
        ASSERT_NE(other, nullptr);
        const Bytes otherDer = selfSigned(other, "other");
        EXPECT_TRUE(TKTokenKeychainCertificate::make(otherDer, "id"));
        EXPECT_FALSE(TKTokenKeychainKey::make(otherDer, "id"));
    }

    Bytes trailing = selfSigned(rsa.get(), "x");
    trailing.push_back(0);
    for (const Bytes& bad : {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01}, trailing}) {
        EXPECT_FALSE(TKTokenKeychainCertificate::make(bad, "id"));
        EXPECT_FALSE(TKTokenKeychainKey::make(bad, "id"));
    }
}

Bytes numberOf(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &number) != 1) {
        return {};
    }
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    BN_free(number);
    return bytes;
}

template <class Encode> Bytes derOf(const EVP_PKEY* key, Encode encode) {
    unsigned char* der = nullptr;
    const int length = encode(key, &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

// The key item reads its numbers from the certificate's key bits itself; what
// it presents must be what OpenSSL's own key decoding of the certificate gives.
TEST(KeychainItems, KeyMatchesOpenSslsDecodingOfTheCertificate) {
    const struct {
        unsigned bits;
        unsigned long exponent;
    } rows[] = {{1024, 3}, {1024, 65537}, {2048, 65537}, {3072, 3}, {3072, 65537}, {4096, 65537}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.bits) + " bits, exponent " + std::to_string(row.exponent));
        const Key generated = rsaKey(row.bits, row.exponent);
        ASSERT_TRUE(generated);
        const Bytes der = selfSigned(generated.get(), "policy");
        const unsigned char* cursor = der.data();
        std::unique_ptr<X509, decltype(&X509_free)> certificate(
            d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), X509_free);
        ASSERT_TRUE(certificate);
        const EVP_PKEY* decoded = X509_get0_pubkey(certificate.get());
        ASSERT_NE(decoded, nullptr);
        const Bytes rsaPublicKey = derOf(decoded, [](const EVP_PKEY* k, unsigned char** out) {
            return i2d_PublicKey(k, out);
        });
        Bytes hash(SHA_DIGEST_LENGTH);
        SHA1(rsaPublicKey.data(), rsaPublicKey.size(), hash.data());

        ERR_clear_error();
        ASSERT_TRUE(TKTokenKeychainCertificate::make(der, "policy"));
        auto item = TKTokenKeychainKey::make(der, "policy");
        ASSERT_TRUE(item);
        EXPECT_EQ(ERR_peek_error(), 0u); // nothing left behind for the application to trip over
        EXPECT_EQ(item.value().keySizeInBits(), static_cast<std::size_t>(EVP_PKEY_get_bits(decoded)));
        EXPECT_EQ(item.value().modulus(), numberOf(decoded, OSSL_PKEY_PARAM_RSA_N));
        EXPECT_EQ(item.value().publicExponent(), numberOf(decoded, OSSL_PKEY_PARAM_RSA_E));
        EXPECT_EQ(item.value().publicKeyHash(), hash);
        EXPECT_EQ(item.value().subjectPublicKeyInfo(),
                  derOf(decoded, [](const EVP_PKEY* k, unsigned char** out) { return i2d_PUBKEY(k, out); }));
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
