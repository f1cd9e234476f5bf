#pragma once

#include "Quillet/token/SigningAlgorithms.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quillet {

// PKCS #1 v1.5 needs at least 11 bytes of padding around what it signs.
inline constexpr std::size_t kPkcs1PaddingLength = 11;

// The digest inside a DER DigestInfo, and the algorithm that signs it.
struct UnwrappedDigest {
    const SigningAlgorithm& algorithm;
    std::span<const std::uint8_t> digest;
};

// Accepts exactly the DER DigestInfo of a digest of a known hash (with NULL
// parameters); anything else is CKR_DATA_INVALID.
veltora::Result<UnwrappedDigest> unwrapDigestInfo(std::span<const std::uint8_t> digestInfo);

// The DER DigestInfo of a digest made for the algorithm; empty when the
// algorithm has no hash or the digest's length does not fit it.
std::vector<std::uint8_t> wrapDigestInfo(const SigningAlgorithm& algorithm,
                                         std::span<const std::uint8_t> digest);

} // namespace quillet
