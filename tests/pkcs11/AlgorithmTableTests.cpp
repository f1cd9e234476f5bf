// The signing algorithm table against OpenSSL's own view of each hash: a wrong
// byte in a DigestInfo prefix or a mismatched OID would sign what no verifier accepts.

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"
#include "Quillet/pkcs11/operation/LocalDigest.h"
#include "Quillet/pkcs11/operation/Mechanisms.h"
#include "Quillet/token/SigningAlgorithms.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The DER DigestInfo OpenSSL makes for a digest of the named hash.
Bytes opensslDigestInfo(const std::string& oid, const Bytes& digest) {
    X509_SIG* sig = X509_SIG_new();
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* octets = nullptr;
    X509_SIG_getm(sig, &algorithm, &octets);
    X509_ALGOR_set0(algorithm, OBJ_txt2obj(oid.c_str(), 1), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(octets, digest.data(), static_cast<int>(digest.size()));
    unsigned char* der = nullptr;
    const int length = i2d_X509_SIG(sig, &der);
    Bytes encoded(der, der + std::max(length, 0));
    OPENSSL_free(der);
    X509_SIG_free(sig);
    return encoded;
}

TEST(SigningAlgorithmTable, EveryHashRowMatchesOpenSslsDigestInfoAndDigest) {
    std::size_t hashRows = 0;
    for (const SigningAlgorithm& row : signingAlgorithms()) {
        if (row.digest.empty()) {
            EXPECT_TRUE(row.oid.empty()) << row.name;
            EXPECT_FALSE(row.mechanism) << row.name;
            continue;
        }
        ++hashRows;
        auto local = LocalDigest::make(row);
        ASSERT_TRUE(local) << row.name;
        const Bytes input{'a', 'b', 'c'};
        ASSERT_TRUE(local.value().update(input)) << row.name;
        const auto digest = local.value().finish();
        ASSERT_TRUE(digest) << row.name;
        EXPECT_EQ(digest.value().size(), row.digestLength) << row.name;
        EXPECT_EQ(&local.value().algorithm(), &row) << row.name;

        const Bytes wrapped = wrapDigestInfo(row, digest.value());
        EXPECT_EQ(wrapped, opensslDigestInfo(std::string(row.oid), digest.value())) << row.name;
        const auto unwrapped = unwrapDigestInfo(wrapped);
        ASSERT_TRUE(unwrapped) << row.name;
        EXPECT_EQ(&unwrapped.value().algorithm, &row) << row.name;
        EXPECT_TRUE(std::equal(unwrapped.value().digest.begin(), unwrapped.value().digest.end(),
                               digest.value().begin(), digest.value().end()))
            << row.name;
        // A digest of another length is no DigestInfo of this hash.
        EXPECT_TRUE(wrapDigestInfo(row, Bytes(row.digestLength + 1, 0)).empty()) << row.name;
    }
    EXPECT_EQ(hashRows, 2u);
}

TEST(SigningAlgorithmTable, MechanismsFindTheirRowsAndRsaPkcsSignsAsSha256) {
    struct Row {
        CK_MECHANISM_TYPE mechanism;
        SecKeyAlgorithm expected;
    };
    for (const Row& row : {Row{CKM_SHA256_RSA_PKCS, kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256},
                           Row{CKM_SHA1_RSA_PKCS, kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1},
                           Row{CKM_RSA_PKCS, kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256}}) {
        EXPECT_EQ(signingAlgorithmFor(row.mechanism).constant, row.expected) << hexText(row.mechanism);
        EXPECT_TRUE(isSupportedMechanism(row.mechanism)) << hexText(row.mechanism);
    }
    EXPECT_EQ(signingAlgorithmOfMechanism(CKM_SHA512_RSA_PKCS), nullptr);
    EXPECT_FALSE(isSupportedMechanism(CKM_SHA512_RSA_PKCS));
    const auto offered = supportedMechanisms();
    EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(offered.begin(), offered.end()),
              (std::vector<CK_MECHANISM_TYPE>{CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA1_RSA_PKCS}));
}

TEST(SigningAlgorithmTable, PlatformAlgorithmsMatchByExactConstantOnly) {
    for (const SigningAlgorithm& row : signingAlgorithms()) {
        EXPECT_EQ(signingAlgorithmOf(TKTokenKeyAlgorithm(std::string(row.constant))), &row) << row.name;
        EXPECT_EQ(signingAlgorithmOf(TKTokenKeyAlgorithm(std::string(row.name))), nullptr) << row.name;
    }
    EXPECT_EQ(signingAlgorithmOf(TKTokenKeyAlgorithm("RSASignatureDigestPKCS1v15SHA512")), nullptr);
}

} // namespace
} // namespace quillet
