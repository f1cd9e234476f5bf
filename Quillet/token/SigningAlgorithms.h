#pragma once

#include "Quillet/platform/TKTokenKeyAlgorithm.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillet {

// One key algorithm the tokens know, with everything that signing with it needs.
struct SigningAlgorithm {
    SecKeyAlgorithm constant;
    std::string_view name; // the constant's name in log lines
    std::string_view oid;  // the hash algorithm the service signs with; empty for raw RSA
    std::span<const std::uint8_t> digestInfoPrefix; // DER DigestInfo up to the digest bytes
    std::string_view digest;                        // OpenSSL's name of the hash
    std::size_t digestLength;
    std::optional<unsigned long> mechanism; // the CK_MECHANISM_TYPE that hashes and signs with it
};

// Every known algorithm, in the order a TKTokenKeyAlgorithm is matched against them: raw RSA,
// then the SHA-256 and SHA-1 digests.
std::span<const SigningAlgorithm> signingAlgorithms();

// The first row whose constant the algorithm object is; none for others.
const SigningAlgorithm* signingAlgorithmOf(const TKTokenKeyAlgorithm& algorithm);
// The row of a hashing mechanism; none for other mechanisms.
const SigningAlgorithm* signingAlgorithmOfMechanism(unsigned long mechanism);
// The row the module signs with when the caller has wrapped the digest itself.
const SigningAlgorithm& defaultSigningAlgorithm();

} // namespace quillet
