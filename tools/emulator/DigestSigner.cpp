#include "tools/emulator/DigestSigner.h"

#include "tools/emulator/OpenSslHandles.h"

#include <openssl/rsa.h>

#include <array>
#include <string_view>
#include <utility>

namespace veltora::emulator {

namespace {

const EVP_MD* hashForOid(std::string_view oid) {
    static const std::array<std::pair<std::string_view, const EVP_MD* (*)()>, 4> known{{
        {"1.3.14.3.2.26", &EVP_sha1},
        {"2.16.840.1.101.3.4.2.1", &EVP_sha256},
        {"2.16.840.1.101.3.4.2.2", &EVP_sha384},
        {"2.16.840.1.101.3.4.2.3", &EVP_sha512},
    }};
    for (const auto& [name, hash] : known) {
        if (name == oid) {
            return hash();
        }
    }
    return nullptr;
}

Error reject(std::string reason) {
    return Error{"emulator", 400, std::move(reason)};
}

} // namespace

Result<std::string> DigestSigner::sign(EVP_PKEY* key, const std::string& digest, const std::string& hashOid) {
    const EVP_MD* hash = hashForOid(hashOid);
    if (hash == nullptr) {
        return reject("unsupported RsaHashAlgorithm " + hashOid);
    }
    if (digest.size() != static_cast<std::size_t>(EVP_MD_get_size(hash))) {
        return reject("the digest has " + std::to_string(digest.size()) + " bytes, the hash algorithm " +
                      std::to_string(EVP_MD_get_size(hash)));
    }
    const KeyContext context(EVP_PKEY_CTX_new(key, nullptr));
    std::size_t length = 0;
    const auto* input = reinterpret_cast<const unsigned char*>(digest.data());
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), hash) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, input, digest.size()) != 1) {
        return Error{"emulator", 500, "the signing key cannot sign"};
    }
    std::string signature(length, '\0');
    if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, input,
                      digest.size()) != 1) {
        return Error{"emulator", 500, "signing failed"};
    }
    signature.resize(length);
    return signature;
}

} // namespace veltora::emulator
