#include "Quillet/pkcs11/operation/DigestInfo.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/platform/TKTokenKeyAlgorithm.h"

#include <algorithm>
#include <array>

namespace quillet {

namespace {

struct DigestInfoPrefix {
    std::span<const std::uint8_t> prefix;
    std::size_t digestLength;
    std::string_view algorithm;
};

// SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING } up to the digest bytes.
constexpr std::array<std::uint8_t, 19> kSha256Prefix{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                     0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                     0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<std::uint8_t, 15> kSha1Prefix{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

const std::array<DigestInfoPrefix, 2> kKnownPrefixes{{
    {kSha256Prefix, 32, kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256},
    {kSha1Prefix, 20, kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1},
}};

} // namespace

veltora::Result<UnwrappedDigest> unwrapDigestInfo(std::span<const std::uint8_t> digestInfo) {
    for (const auto& candidate : kKnownPrefixes) {
        if (digestInfo.size() == candidate.prefix.size() + candidate.digestLength &&
            std::equal(candidate.prefix.begin(), candidate.prefix.end(), digestInfo.begin())) {
            return UnwrappedDigest{candidate.algorithm, digestInfo.subspan(candidate.prefix.size())};
        }
    }
    return ckError(CKR_DATA_INVALID,
                   "CKM_RSA_PKCS signs only the DER DigestInfo of a SHA-256 or SHA-1 digest; got " +
                       std::to_string(digestInfo.size()) + " bytes that are neither");
}

std::vector<std::uint8_t> wrapDigestInfo(std::string_view algorithm, std::span<const std::uint8_t> digest) {
    for (const auto& candidate : kKnownPrefixes) {
        if (candidate.algorithm == algorithm && candidate.digestLength == digest.size()) {
            std::vector<std::uint8_t> digestInfo(candidate.prefix.begin(), candidate.prefix.end());
            digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
            return digestInfo;
        }
    }
    return {};
}

} // namespace quillet
