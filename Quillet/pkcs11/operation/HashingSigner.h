#pragma once

#include "Quillet/pkcs11/operation/LocalDigest.h"
#include "Quillet/pkcs11/operation/Signer.h"
#include "Quillet/pkcs11/operation/SigningKey.h"

#include <memory>

namespace quillet {

// The hashing mechanisms (CKM_SHA256_RSA_PKCS, CKM_SHA1_RSA_PKCS): the module
// hashes the input, in one call or in parts, and the digest is signed.
class HashingSigner final : public Signer {
public:
    // Fails (CKR_DEVICE_ERROR) when the hash cannot be set up.
    static veltora::Result<std::unique_ptr<Signer>> make(const SigningAlgorithm& algorithm, SigningKey key);

    veltora::Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> data) override;
    veltora::Result<void> update(std::span<const std::uint8_t> part) override;
    veltora::Result<std::vector<std::uint8_t>> signFinal() override;

private:
    HashingSigner(LocalDigest digest, SigningKey key) : digest_(std::move(digest)), key_(std::move(key)) {}

    LocalDigest digest_;
    SigningKey key_;
};

} // namespace quillet
