#include "Quillet/platform/TKTokenKeychainKey.h"

#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/DerCertificate.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

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

// EMSA-PKCS1-v1_5: 00 01 FF..FF 00 DigestInfo, as long as the modulus; empty
// when the DigestInfo does not fit.
std::vector<std::uint8_t> encodedMessage(std::span<const std::uint8_t> digestInfo, std::size_t length) {
    constexpr std::size_t kLeastPadding = 8;
    if (digestInfo.size() + kLeastPadding + 3 > length) {
        return {};
    }
    std::vector<std::uint8_t> encoded(length, 0xFF);
    encoded[0] = 0x00;
    encoded[1] = 0x01;
    encoded[length - digestInfo.size() - 1] = 0x00;
    std::copy(digestInfo.begin(), digestInfo.end(),
              encoded.end() - static_cast<std::ptrdiff_t>(digestInfo.size()));
    return encoded;
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
    item.numbers_ = RsaPublicNumbers::make(item.modulus_, item.exponent_);
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

bool TKTokenKeychainKey::verifies(std::span<const std::uint8_t> signature,
                                  std::span<const std::uint8_t> digestInfo) const {
    const std::vector<std::uint8_t> expected = encodedMessage(digestInfo, modulus_.size());
    return !expected.empty() && signature.size() == modulus_.size() && publicOperation(signature) == expected;
}

std::vector<std::uint8_t> TKTokenKeychainKey::publicOperation(std::span<const std::uint8_t> input) const {
    if (input.size() != modulus_.size() || !numbers_) {
        return {};
    }
    return numbers_->raise(input, modulus_.size());
}

} // namespace quillet
