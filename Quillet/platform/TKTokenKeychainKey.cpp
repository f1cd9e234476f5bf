#include "Quillet/platform/TKTokenKeychainKey.h"

#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/DerCertificate.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace quillet {

namespace {

// A big-endian unsigned integer parameter of the key, without leading zero bytes.
std::vector<std::uint8_t> integerParameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &number) != 1) {
        return {};
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    BN_free(number);
    return bytes;
}

} // namespace

veltora::Result<TKTokenKeychainKey> TKTokenKeychainKey::make(std::span<const std::uint8_t> certificateDer,
                                                             std::string objectID) {
    auto parsed = DerCertificate::parse(certificateDer);
    if (!parsed) {
        return parsed.error();
    }
    X509* certificate = parsed.value().get();
    const EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        return veltora::Error{keychainItemErrorDomain, 2, "The certificate's key is not an RSA key."};
    }
    TKTokenKeychainKey item;
    item.objectID_ = std::move(objectID);
    item.label_ = parsed.value().label();
    item.keySizeInBits_ = static_cast<std::size_t>(EVP_PKEY_get_bits(key));
    item.modulus_ = integerParameter(key, OSSL_PKEY_PARAM_RSA_N);
    item.exponent_ = integerParameter(key, OSSL_PKEY_PARAM_RSA_E);
    if (item.modulus_.empty() || item.exponent_.empty()) {
        return veltora::Error{keychainItemErrorDomain, 2, "The certificate's key is not an RSA key."};
    }
    if (EVP_PKEY_up_ref(const_cast<EVP_PKEY*>(key)) != 1) {
        return veltora::Error{keychainItemErrorDomain, 2, "The certificate's key cannot be kept."};
    }
    item.publicKey_.reset(const_cast<EVP_PKEY*>(key), EVP_PKEY_free);
    // The hash covers the DER RSAPublicKey: the subjectPublicKey bit string's bytes.
    if (const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate); bits != nullptr) {
        const std::span<const std::uint8_t> raw(ASN1_STRING_get0_data(bits),
                                                static_cast<std::size_t>(ASN1_STRING_length(bits)));
        if (auto hash = CryptoContext::sha1(raw); !hash.empty()) {
            item.publicKeyHash_ = std::move(hash);
        }
    }
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), nullptr);
    if (length > 0) {
        item.spki_.resize(static_cast<std::size_t>(length));
        unsigned char* cursor = item.spki_.data();
        i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &cursor);
    }
    return item;
}

bool TKTokenKeychainKey::verifies(std::span<const std::uint8_t> signature, std::span<const std::uint8_t> digest,
                                  std::string_view hashOid) const {
    if (!publicKey_) {
        return false;
    }
    // A failed check leaves nothing on the calling application's OpenSSL error queue.
    ERR_set_mark();
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_pkey(CryptoContext::get(), publicKey_.get(), nullptr), EVP_PKEY_CTX_free);
    std::string hash(hashOid);
    std::string padding(OSSL_PKEY_RSA_PAD_MODE_PKCSV15);
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_SIGNATURE_PARAM_PAD_MODE, padding.data(), 0),
        OSSL_PARAM_construct_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, hash.data(), 0),
        OSSL_PARAM_construct_end(),
    };
    const bool verified =
        context && EVP_PKEY_verify_init_ex(context.get(), parameters) == 1 &&
        EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_pop_to_mark();
    return verified;
}

} // namespace quillet
