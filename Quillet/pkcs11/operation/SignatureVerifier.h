#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/operation/LocalDigest.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quillet {

// One verification with the token's public key, done here and never at the
// service. CKM_RSA_PKCS checks the signature over the data as given (single
// part only); the hashing mechanisms hash the data first, in one call or in
// parts. A wrong signature is CKR_SIGNATURE_INVALID, one of the wrong length
// CKR_SIGNATURE_LEN_RANGE.
class SignatureVerifier {
public:
    // CKR_MECHANISM_INVALID for mechanisms the token does not offer.
    static veltora::Result<std::unique_ptr<SignatureVerifier>> make(CK_MECHANISM_TYPE type,
                                                                    TKTokenKeychainKey key);

    veltora::Result<void> verify(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature);
    veltora::Result<void> update(std::span<const std::uint8_t> part);
    veltora::Result<void> verifyFinal(std::span<const std::uint8_t> signature);

private:
    SignatureVerifier(std::optional<LocalDigest> digest, TKTokenKeychainKey key)
        : digest_(std::move(digest)), key_(std::move(key)) {}

    // Checks the signature over what PKCS #1 v1.5 puts under the padding.
    veltora::Result<void> check(std::span<const std::uint8_t> signature,
                                std::span<const std::uint8_t> encoded) const;

    std::optional<LocalDigest> digest_; // empty for CKM_RSA_PKCS
    TKTokenKeychainKey key_;
};

} // namespace quillet
