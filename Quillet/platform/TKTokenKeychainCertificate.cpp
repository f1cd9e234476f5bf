#include "Quillet/platform/TKTokenKeychainCertificate.h"

#include "Quillet/platform/DerCertificate.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <ctime>

namespace quillet {

namespace {

template <class T, class Encode> std::vector<std::uint8_t> derOf(const T* value, Encode encode) {
    const int length = encode(value, nullptr);
    if (length <= 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    unsigned char* cursor = bytes.data();
    encode(value, &cursor);
    return bytes;
}

std::string dateOf(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1 || parts.tm_year + 1900 > 9999) {
        return {};
    }
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%04d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday);
    return text.data();
}

std::vector<std::uint8_t> authorityKeyIdentifierOf(X509* certificate) {
    const ASN1_OCTET_STRING* identifier = X509_get0_authority_key_id(certificate);
    if (identifier == nullptr) {
        return {};
    }
    const unsigned char* first = ASN1_STRING_get0_data(identifier);
    return std::vector<std::uint8_t>(first, first + ASN1_STRING_length(identifier));
}

} // namespace

veltora::Result<TKTokenKeychainCertificate>
TKTokenKeychainCertificate::make(std::span<const std::uint8_t> der, std::string objectID) {
    auto parsed = DerCertificate::parse(der);
    if (!parsed) {
        return parsed.error();
    }
    X509* certificate = parsed.value().get();
    TKTokenKeychainCertificate item;
    item.objectID_ = std::move(objectID);
    item.label_ = parsed.value().label();
    item.der_.assign(der.begin(), der.end());
    item.subject_ = derOf(X509_get_subject_name(certificate), [](const X509_NAME* name, unsigned char** out) {
        return i2d_X509_NAME(name, out);
    });
    item.issuer_ = derOf(X509_get_issuer_name(certificate),
                         [](const X509_NAME* name, unsigned char** out) { return i2d_X509_NAME(name, out); });
    item.serialNumber_ =
        derOf(X509_get0_serialNumber(certificate),
              [](const ASN1_INTEGER* serial, unsigned char** out) { return i2d_ASN1_INTEGER(serial, out); });
    item.notBefore_ = dateOf(X509_get0_notBefore(certificate));
    item.notAfter_ = dateOf(X509_get0_notAfter(certificate));
    item.authorityKeyIdentifier_ = authorityKeyIdentifierOf(certificate);
    return item;
}

} // namespace quillet
