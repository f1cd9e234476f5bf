#pragma once

#include "Quillet/pkcs11/Signer.h"
#include "Quillet/pkcs11/SigningKey.h"

#include <openssl/evp.h>

#include <memory>
#include <string_view>

namespace quillet {

// CKM_SHA256_RSA_PKCS and CKM_SHA1_RSA_PKCS: the module hashes the input, in
// one call or in parts, and the digest is signed.
class HashingSigner final : public Signer {
public:
    enum class Hash { sha1, sha256 };

    // Fails (CKR_DEVICE_ERROR) when the hash cannot be set up.
    static veltora::Result<std::unique_ptr<Signer>> make(Hash hash, SigningKey key);

    veltora::Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> data) override;
    veltora::Result<void> update(std::span<const std::uint8_t> part) override;
    veltora::Result<std::vector<std::uint8_t>> signFinal() override;

private:
    struct DigestFree {
        void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
    };
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };

    HashingSigner(std::unique_ptr<EVP_MD_CTX, ContextFree> context, std::string_view algorithm,
                  SigningKey key);

    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
    std::string_view algorithm_;
    SigningKey key_;
};

} // namespace quillet
