#include "Quillet/platform/DerCertificate.h"

#include "Quillet/platform/CryptoContext.h"

#include <openssl/x509.h>

namespace quillet {

void DerCertificate::Free::operator()(X509* certificate) const {
    X509_free(certificate);
}

veltora::Result<DerCertificate> DerCertificate::parse(std::span<const std::uint8_t> der) {
    const auto invalid = veltora::Error{kKeychainItemErrorDomain, veltora::errors::token::kNotACertificate,
                                        "The data is not a DER X.509 certificate."};
    if (der.empty() || der.size() > 1024 * 1024) {
        return invalid;
    }
    X509* certificate = X509_new_ex(CryptoContext::fieldsOnly(), nullptr);
    if (certificate == nullptr) {
        return invalid;
    }
    const unsigned char* cursor = der.data();
    if (d2i_X509(&certificate, &cursor, static_cast<long>(der.size())) == nullptr) {
        X509_free(certificate); // d2i_X509 leaves a reused object allocated on failure
        return invalid;
    }
    DerCertificate parsed;
    parsed.certificate_.reset(certificate, Free{});
    if (cursor != der.data() + der.size()) {
        return invalid; // trailing bytes
    }
    return parsed;
}

veltora::Result<std::optional<std::string>> DerCertificate::commonName() const {
    const X509_NAME* subject = X509_get_subject_name(certificate_.get());
    const int index = subject == nullptr ? -1 : X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
        return std::optional<std::string>{};
    }
    unsigned char* text = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) {
        return veltora::Error{kKeychainItemErrorDomain, veltora::errors::token::kNoCommonName,
                              "The certificate's common name cannot be read."};
    }
    std::string name(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    OPENSSL_free(text);
    return std::optional<std::string>{std::move(name)};
}

std::optional<std::string> DerCertificate::label() const {
    if (auto name = commonName(); name && name.value()) {
        return name.value();
    }
    const X509_NAME* subject = X509_get_subject_name(certificate_.get());
    if (subject == nullptr) {
        return std::nullopt;
    }
    char* summary = X509_NAME_oneline(subject, nullptr, 0);
    if (summary == nullptr) {
        return std::nullopt;
    }
    std::string text(summary);
    OPENSSL_free(summary);
    return text;
}

} // namespace quillet
