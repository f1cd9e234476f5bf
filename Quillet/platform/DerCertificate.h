#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

typedef struct x509_st X509;

namespace quillet {

// A DER X.509 certificate, parsed to be read field by field in a private
// OpenSSL context without algorithms (CryptoContext::fieldsOnly()): calls that
// need one, X509_get0_pubkey() and X509_get0_authority_key_id() among them,
// find none.
class DerCertificate {
public:
    // Fails unless the bytes are exactly one DER certificate.
    static veltora::Result<DerCertificate> parse(std::span<const std::uint8_t> der);

    X509* get() const { return certificate_.get(); }
    // The subject's first common name: nothing when the subject has none, an error when it
    // cannot be read as text.
    veltora::Result<std::optional<std::string>> commonName() const;
    // The subject's common name, else the subject's one-line summary.
    std::optional<std::string> label() const;

private:
    struct Free {
        void operator()(X509* certificate) const;
    };
    std::shared_ptr<X509> certificate_;
};

// Domain of the errors raised when a certificate cannot be made into a keychain item.
inline constexpr const char* kKeychainItemErrorDomain = veltora::errors::token::kKeychainItemDomain.data();

} // namespace quillet
