#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillet {

class DerCertificate;

// The certificate a token presents. Everything but the DER bytes and the
// object ID is derived from the certificate.
class TKTokenKeychainCertificate {
public:
    // Fails when the bytes are not a DER X.509 certificate.
    static veltora::Result<TKTokenKeychainCertificate> make(std::span<const std::uint8_t> der,
                                                            std::string objectID);
    // The same from the certificate parsed from these bytes.
    static TKTokenKeychainCertificate make(const DerCertificate& certificate, std::span<const std::uint8_t> der,
                                           std::string objectID);

    const std::string& objectID() const { return objectID_; }
    // The subject's common name, else the subject's one-line summary.
    const std::optional<std::string>& label() const { return label_; }
    const std::vector<std::uint8_t>& data() const { return der_; }
    const std::vector<std::uint8_t>& subject() const { return subject_; }           // DER Name
    const std::vector<std::uint8_t>& issuer() const { return issuer_; }             // DER Name
    const std::vector<std::uint8_t>& serialNumber() const { return serialNumber_; } // DER INTEGER
    // The validity period's ends in UTC as "YYYYMMDD"; empty when OpenSSL cannot read one.
    const std::string& notBefore() const { return notBefore_; }
    const std::string& notAfter() const { return notAfter_; }
    // The authority key identifier's keyIdentifier; empty when the certificate has none.
    const std::vector<std::uint8_t>& authorityKeyIdentifier() const { return authorityKeyIdentifier_; }

private:
    std::string objectID_;
    std::optional<std::string> label_;
    std::string notBefore_, notAfter_;
    std::vector<std::uint8_t> der_, subject_, issuer_, serialNumber_, authorityKeyIdentifier_;
};

} // namespace quillet
