#pragma once

#include "Quillet/platform/RsaPublicNumbers.h"
#include "VeltoraCryptoTokenKit/base/MadeOnce.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillet {

class DerCertificate;

// The private key a token presents, described by the certificate's public key.
// Only RSA keys can be made into key items.
class TKTokenKeychainKey {
public:
    // Fails when the bytes are not a certificate or its key is not RSA.
    static veltora::Result<TKTokenKeychainKey> make(std::span<const std::uint8_t> certificateDer,
                                                    std::string objectID);
    // The same from a certificate already parsed.
    static veltora::Result<TKTokenKeychainKey> make(const DerCertificate& certificate, std::string objectID);

    const std::string& objectID() const { return objectID_; }
    const std::optional<std::string>& label() const { return label_; } // as the certificate's
    const std::string& keyType() const { return keyType_; }            // "RSA"
    std::size_t keySizeInBits() const { return keySizeInBits_; }
    const std::vector<std::uint8_t>& modulus() const { return modulus_; } // big-endian, no leading zero
    const std::vector<std::uint8_t>& publicExponent() const { return exponent_; } // big-endian
    // SHA-1 of the DER RSAPublicKey (the certificate's subjectPublicKey bits).
    const std::optional<std::vector<std::uint8_t>>& publicKeyHash() const { return publicKeyHash_; }
    const std::vector<std::uint8_t>& subjectPublicKeyInfo() const { return spki_; } // DER
    bool canSign() const { return true; }

    // True when the signature is this key's PKCS #1 v1.5 signature over the
    // DER DigestInfo: one RSA public-key operation, compared with the encoding
    // it must give. Done on the key's numbers, so no engine or provider of the
    // application can step in.
    bool verifies(std::span<const std::uint8_t> signature, std::span<const std::uint8_t> digestInfo) const;
    // The RSA public-key operation on a number below the modulus, as long as
    // the modulus; empty when the input is not such a number.
    std::vector<std::uint8_t> publicOperation(std::span<const std::uint8_t> input) const;

private:
    std::string objectID_;
    std::optional<std::string> label_;
    std::string keyType_ = "RSA";
    std::size_t keySizeInBits_ = 0;
    std::vector<std::uint8_t> modulus_, exponent_, spki_;
    std::optional<std::vector<std::uint8_t>> publicKeyHash_;
    // Made at the first public-key operation, since the slot list makes a key
    // for every registration and only a signing one needs them; shared by the
    // copies, as sessions and the registration cache copy the key.
    std::shared_ptr<veltora::MadeOnce<std::optional<RsaPublicNumbers>>> numbers_;
};

} // namespace quillet
