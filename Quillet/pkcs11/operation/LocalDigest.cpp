#include "Quillet/pkcs11/operation/LocalDigest.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/platform/CryptoContext.h"

namespace quillet {

namespace {

veltora::Error hashFailure(const char* what) {
    return ckError(CKR_DEVICE_ERROR, std::string("hashing failed: ") + what);
}

struct DigestFree {
    void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

} // namespace

veltora::Result<LocalDigest> LocalDigest::make(const SigningAlgorithm& algorithm) {
    // The module's own library context: an application that routes OpenSSL
    // through a PKCS#11 provider must not see our hashing come back to it.
    // The context keeps its own reference to the fetched digest.
    const std::unique_ptr<EVP_MD, DigestFree> digest(
        EVP_MD_fetch(CryptoContext::get(), std::string(algorithm.digest).c_str(), nullptr));
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!digest || !context || EVP_DigestInit_ex2(context.get(), digest.get(), nullptr) != 1) {
        return hashFailure("cannot start the digest");
    }
    return LocalDigest(std::move(context), algorithm);
}

veltora::Result<void> LocalDigest::update(std::span<const std::uint8_t> part) {
    if (!part.empty() && EVP_DigestUpdate(context_.get(), part.data(), part.size()) != 1) {
        return hashFailure("cannot take the input");
    }
    return {};
}

veltora::Result<std::vector<std::uint8_t>> LocalDigest::finish() {
    std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1) {
        return hashFailure("cannot finish the digest");
    }
    digest.resize(length);
    return digest;
}

} // namespace quillet
