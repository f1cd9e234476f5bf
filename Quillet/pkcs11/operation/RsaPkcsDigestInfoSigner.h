#pragma once

#include "Quillet/pkcs11/operation/Signer.h"
#include "Quillet/pkcs11/operation/SigningKey.h"

namespace quillet {

// CKM_RSA_PKCS: the caller hashed and wrapped the digest in a DigestInfo; the
// digest inside is signed with the matching algorithm. Single-part only.
class RsaPkcsDigestInfoSigner final : public Signer {
public:
    explicit RsaPkcsDigestInfoSigner(SigningKey key) : key_(std::move(key)) {}

    veltora::Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> data) override;

private:
    SigningKey key_;
};

} // namespace quillet
