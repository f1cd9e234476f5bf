#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quillet {

// The digest inside a DER DigestInfo, and the token algorithm that signs it.
struct UnwrappedDigest {
    std::string_view algorithm; // a kSecKeyAlgorithm constant
    std::span<const std::uint8_t> digest;
};

// Accepts exactly the DER DigestInfo of a SHA-256 or SHA-1 digest (with NULL
// parameters); anything else is CKR_DATA_INVALID.
veltora::Result<UnwrappedDigest> unwrapDigestInfo(std::span<const std::uint8_t> digestInfo);

// The DER DigestInfo of a digest made for the token algorithm; empty when the
// algorithm is not SHA-256 or SHA-1 or the digest's length does not fit it.
std::vector<std::uint8_t> wrapDigestInfo(std::string_view algorithm, std::span<const std::uint8_t> digest);

} // namespace quillet
