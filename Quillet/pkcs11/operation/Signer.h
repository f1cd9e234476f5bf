#pragma once

#include "Quillet/pkcs11/cryptoki/CkError.h"
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
    // Multi-part, for the mechanisms that hash the input themselves: takes one more part ...
    virtual veltora::Result<void> update(std::span<const std::uint8_t>) { return singlePartOnly(); }
    // ... and signs everything taken.
    virtual veltora::Result<std::vector<std::uint8_t>> signFinal() { return singlePartOnly(); }

private:
    static veltora::Error singlePartOnly() {
        return ckError(CKR_FUNCTION_NOT_SUPPORTED,
                       "this mechanism signs in a single C_Sign call; C_SignUpdate and "
                       "C_SignFinal need CKM_SHA256_RSA_PKCS or CKM_SHA1_RSA_PKCS");
    }
};

} // namespace quillet
