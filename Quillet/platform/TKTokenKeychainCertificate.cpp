#include "Quillet/platform/TKTokenKeychainCertificate.h"

#include "Quillet/platform/DerCertificate.h"

#include <openssl/x509.h>

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
    return item;
}

} // namespace quillet
