#pragma once

#include "Quillet/token/SigningAlgorithms.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quillet {

// The hash of a signing algorithm taken in parts in the module's own OpenSSL
// context, for the mechanisms that hash before signing or verifying. Failures
// are CKR_DEVICE_ERROR.
class LocalDigest {
public:
    static veltora::Result<LocalDigest> make(const SigningAlgorithm& algorithm);

    // The algorithm that signs this hash.
    const SigningAlgorithm& algorithm() const { return *algorithm_; }

    veltora::Result<void> update(std::span<const std::uint8_t> part);
    veltora::Result<std::vector<std::uint8_t>> finish();

private:
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };

    LocalDigest(std::unique_ptr<EVP_MD_CTX, ContextFree> context, const SigningAlgorithm& algorithm)
        : context_(std::move(context)), algorithm_(&algorithm) {}

    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
    const SigningAlgorithm* algorithm_;
};

} // namespace quillet
