#include "Quillet/platform/TKTokenKeychainKey.h"

#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/DerCertificate.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace quillet {

namespace {

struct FreeBignum {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using Bignum = std::unique_ptr<BIGNUM, FreeBignum>;

struct FreeFields {
    void operator()(ASN1_SEQUENCE_ANY* fields) const { sk_ASN1_TYPE_pop_free(fields, ASN1_TYPE_free); }
};

// The modulus and public exponent of the certificate's rsaEncryption key,
// read from its RSAPublicKey SEQUENCE {modulus, publicExponent}: OpenSSL's
// generic key decoders would cost ten times the rest of the certificate.
std::optional<std::pair<Bignum, Bignum>> rsaNumbers(X509* certificate) {
    ASN1_OBJECT* algorithm = nullptr;
    const unsigned char* key = nullptr;
    int length = 0;
    if (X509_PUBKEY_get0_param(&algorithm, &key, &length, nullptr, X509_get_X509_PUBKEY(certificate)) != 1 ||
        OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
        return std::nullopt;
    }
    const std::unique_ptr<ASN1_SEQUENCE_ANY, FreeFields> fields(d2i_ASN1_SEQUENCE_ANY(nullptr, &key, length));
    if (!fields || sk_ASN1_TYPE_num(fields.get()) != 2) {
        return std::nullopt;
    }
    // Both positive: a negative INTEGER decodes as V_ASN1_NEG_INTEGER.
    const auto positive = [&fields](int index) {
        const ASN1_TYPE* field = sk_ASN1_TYPE_value(fields.get(), index);
        return Bignum(ASN1_TYPE_get(field) == V_ASN1_INTEGER
                          ? ASN1_INTEGER_to_BN(field->value.integer, nullptr)
                          : nullptr);
    };
    Bignum modulus = positive(0);
    Bignum exponent = positive(1);
    if (!modulus || !exponent || BN_is_zero(modulus.get()) || BN_is_zero(exponent.get())) {
        return std::nullopt;
    }
    return std::pair(std::move(modulus), std::move(exponent));
}

// Big-endian, without leading zero bytes.
std::vector<std::uint8_t> bytesOf(const BIGNUM* number) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
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
    return make(parsed.value(), std::move(objectID));
}

veltora::Result<TKTokenKeychainKey> TKTokenKeychainKey::make(const DerCertificate& parsed,
                                                             std::string objectID) {
    X509* certificate = parsed.get();
    const auto numbers = rsaNumbers(certificate);
    if (!numbers) {
        return veltora::Error{kKeychainItemErrorDomain, veltora::errors::token::kNotAnRsaKey,
                              "The certificate's key is not an RSA key."};
    }
    TKTokenKeychainKey item;
    item.objectID_ = std::move(objectID);
    item.label_ = parsed.label();
    item.keySizeInBits_ = static_cast<std::size_t>(BN_num_bits(numbers->first.get()));
    item.modulus_ = bytesOf(numbers->first.get());
    item.exponent_ = bytesOf(numbers->second.get());
    item.numbers_ = std::make_shared<veltora::MadeOnce<std::optional<RsaPublicNumbers>>>();
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
    const auto& numbers = numbers_->get([this] { return RsaPublicNumbers::make(modulus_, exponent_); });
    return numbers ? numbers->raise(input, modulus_.size()) : std::vector<std::uint8_t>{};
}

} // namespace quillet
