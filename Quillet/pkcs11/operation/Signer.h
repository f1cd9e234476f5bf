#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quillet {

// One signing operation of one mechanism family. Every path ends in exactly one
// call of SigningKey::signDigest.
class Signer {
public:
    virtual ~Signer() = default;

    // Single-part: signs the whole input.
    virtual veltora::Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> data) = 0;
    // Multi-part: takes one more part of the input ... (CKR_FUNCTION_NOT_SUPPORTED
    // unless the mechanism hashes the input itself)
    virtual veltora::Result<void> update(std::span<const std::uint8_t> part);
    // ... and signs everything taken.
    virtual veltora::Result<std::vector<std::uint8_t>> signFinal();
};

} // namespace quillet
