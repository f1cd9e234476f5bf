#include "Quillet/token/SigningAlgorithms.h"

// The mechanism numbers only; the header's lower-case macros stay inside this file.
#include <p11-kit/pkcs11.h>

#include <array>
#include <type_traits>

namespace quillet {

namespace {

static_assert(std::is_same_v<CK_MECHANISM_TYPE, unsigned long>);

// SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING } up to the digest bytes.
constexpr std::array<std::uint8_t, 19> kSha256Prefix{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                     0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                     0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<std::uint8_t, 15> kSha1Prefix{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

constexpr std::array<SigningAlgorithm, 3> kSigningAlgorithms{{
    {kSecKeyAlgorithmRSASignatureRaw, "kSecKeyAlgorithmRSASignatureRaw", {}, {}, {}, 0, std::nullopt},
    {kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256, "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256",
     "2.16.840.1.101.3.4.2.1", kSha256Prefix, "SHA2-256", 32, CKM_SHA256_RSA_PKCS},
    {kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1, "kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1",
     "1.3.14.3.2.26", kSha1Prefix, "SHA1", 20, CKM_SHA1_RSA_PKCS},
}};

// CKM_RSA_PKCS stands for SHA-256 until its DigestInfo is seen.
constexpr std::size_t kDefaultRow = 1;
static_assert(kSigningAlgorithms[kDefaultRow].constant == kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256);

} // namespace

std::span<const SigningAlgorithm> signingAlgorithms() {
    return kSigningAlgorithms;
}

const SigningAlgorithm* signingAlgorithmOf(const TKTokenKeyAlgorithm& algorithm) {
    for (const SigningAlgorithm& known : kSigningAlgorithms) {
        if (algorithm.isAlgorithm(known.constant)) {
            return &known;
        }
    }
    return nullptr;
}

const SigningAlgorithm* signingAlgorithmOfMechanism(unsigned long mechanism) {
    for (const SigningAlgorithm& known : kSigningAlgorithms) {
        if (known.mechanism == mechanism) {
            return &known;
        }
    }
    return nullptr;
}

const SigningAlgorithm& defaultSigningAlgorithm() {
    return kSigningAlgorithms[kDefaultRow];
}

} // namespace quillet
