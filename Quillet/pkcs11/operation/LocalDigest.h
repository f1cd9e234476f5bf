#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace quillet {

// A SHA-256 or SHA-1 hash taken in parts in the module's own OpenSSL context,
// for the mechanisms that hash before signing or verifying. Failures are
// CKR_DEVICE_ERROR.
class LocalDigest {
public:
    enum class Hash { sha1, sha256 };

    static veltora::Result<LocalDigest> make(Hash hash);

    // The kSecKeyAlgorithm constant that signs this hash.
    std::string_view algorithm() const { return algorithm_; }

    veltora::Result<void> update(std::span<const std::uint8_t> part);
    veltora::Result<std::vector<std::uint8_t>> finish();

private:
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };

    LocalDigest(std::unique_ptr<EVP_MD_CTX, ContextFree> context, std::string_view algorithm)
        : context_(std::move(context)), algorithm_(algorithm) {}

    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
    std::string_view algorithm_;
};

} // namespace quillet
