#include "Quillet/pkcs11/operation/DigestInfo.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"

#include <algorithm>

namespace quillet {

namespace {

bool fits(const SigningAlgorithm& algorithm, std::size_t digestLength) {
    return !algorithm.digestInfoPrefix.empty() && algorithm.digestLength == digestLength;
}

} // namespace

veltora::Result<UnwrappedDigest> unwrapDigestInfo(std::span<const std::uint8_t> digestInfo) {
    for (const SigningAlgorithm& candidate : signingAlgorithms()) {
        const auto prefix = candidate.digestInfoPrefix;
        if (digestInfo.size() >= prefix.size() && fits(candidate, digestInfo.size() - prefix.size()) &&
            std::equal(prefix.begin(), prefix.end(), digestInfo.begin())) {
            return UnwrappedDigest{candidate, digestInfo.subspan(prefix.size())};
        }
    }
    return ckError(CKR_DATA_INVALID,
                   "CKM_RSA_PKCS signs only the DER DigestInfo of a SHA-256 or SHA-1 digest; got " +
                       std::to_string(digestInfo.size()) + " bytes that are neither");
}

std::vector<std::uint8_t> wrapDigestInfo(const SigningAlgorithm& algorithm,
                                         std::span<const std::uint8_t> digest) {
    if (!fits(algorithm, digest.size())) {
        return {};
    }
    std::vector<std::uint8_t> digestInfo(algorithm.digestInfoPrefix.begin(),
                                         algorithm.digestInfoPrefix.end());
    digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
    return digestInfo;
}

} // namespace quillet
