#include "Quillet/platform/CryptoContext.h"

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <memory>

namespace quillet {

namespace {

struct ContextOwner {
    OSSL_LIB_CTX* context = nullptr;
    OSSL_PROVIDER* provider = nullptr;

    explicit ContextOwner(const char* providerName) {
        context = OSSL_LIB_CTX_new();
        if (context != nullptr) {
            provider = OSSL_PROVIDER_load(context, providerName);
        }
        if (provider == nullptr) {
            OSSL_LIB_CTX_free(context);
            context = nullptr;
        }
    }
    ~ContextOwner() {
        if (provider != nullptr) {
            OSSL_PROVIDER_unload(provider);
        }
        OSSL_LIB_CTX_free(context);
    }
    ContextOwner(const ContextOwner&) = delete;
    ContextOwner& operator=(const ContextOwner&) = delete;
};

std::vector<std::uint8_t> digest(const char* name, std::span<const std::uint8_t> data) {
    OSSL_LIB_CTX* context = CryptoContext::get();
    if (context == nullptr) {
        return {};
    }
    const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(context, name, nullptr),
                                                             EVP_MD_free);
    if (!md) {
        return {};
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(EVP_MD_get_size(md.get())));
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, md.get(), nullptr) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

} // namespace

OSSL_LIB_CTX* CryptoContext::get() {
    static ContextOwner owner("default"); // freed at exit and when the module is unloaded
    return owner.context;
}

OSSL_LIB_CTX* CryptoContext::fieldsOnly() {
    // Loading the null provider keeps OpenSSL from falling back to the default one.
    static ContextOwner owner("null");
    return owner.context;
}

std::vector<std::uint8_t> CryptoContext::sha1(std::span<const std::uint8_t> data) {
    return digest("SHA1", data);
}

std::vector<std::uint8_t> CryptoContext::sha256(std::span<const std::uint8_t> data) {
    return digest("SHA256", data);
}

bool CryptoContext::randomBytes(std::span<std::uint8_t> bytes) {
    OSSL_LIB_CTX* context = get();
    return context != nullptr &&
           (bytes.empty() || RAND_bytes_ex(context, bytes.data(), bytes.size(), 0) == 1);
}

} // namespace quillet
