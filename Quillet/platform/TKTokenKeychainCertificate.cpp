#include "Quillet/platform/TKTokenKeychainCertificate.h"

#include "Quillet/platform/DerCertificate.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>

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

// Read from its own extension: OpenSSL's cached extensions need a fingerprint
// of the certificate, which the context it is parsed in cannot compute.
std::vector<std::uint8_t> authorityKeyIdentifierOf(X509* certificate) {
    const std::unique_ptr<AUTHORITY_KEYID, decltype(&AUTHORITY_KEYID_free)> extension(
        static_cast<AUTHORITY_KEYID*>(X509_get_ext_d2i(certificate, NID_authority_key_identifier, nullptr, nullptr)),
        AUTHORITY_KEYID_free);
    if (!extension || extension->keyid == nullptr) {
        return {};
    }
    const unsigned char* first = ASN1_STRING_get0_data(extension->keyid);
    return std::vector<std::uint8_t>(first, first + ASN1_STRING_length(extension->keyid));
}

} // namespace

veltora::Result<TKTokenKeychainCertificate>
TKTokenKeychainCertificate::make(std::span<const std::uint8_t> der, std::string objectID) {
    auto parsed = DerCertificate::parse(der);
    if (!parsed) {
        return parsed.error();
    }
    return make(parsed.value(), der, std::move(objectID));
}

TKTokenKeychainCertificate TKTokenKeychainCertificate::make(const DerCertificate& parsed,
                                                            std::span<const std::uint8_t> der,
                                                            std::string objectID) {
    X509* certificate = parsed.get();
    TKTokenKeychainCertificate item;
    item.objectID_ = std::move(objectID);
    item.label_ = parsed.label();
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
