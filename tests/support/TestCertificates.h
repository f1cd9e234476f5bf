#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillet::test {

// A self-signed certificate for the key, with the given subject common name (none when empty), valid
// for an hour or until notAfter ("YYYYMMDDHHMMSSZ") when one is given.
inline std::vector<std::uint8_t> selfSigned(EVP_PKEY* key, const std::string& commonName,
                                            const std::string& notAfter = "") {
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    if (notAfter.empty()) {
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    } else {
        EXPECT_EQ(ASN1_TIME_set_string(X509_getm_notAfter(certificate.get()), notAfter.c_str()), 1);
    }
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Veltora Test"), -1, -1, 0);
    if (!commonName.empty()) {
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    }
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key);
    EXPECT_GT(X509_sign(certificate.get(), key, EVP_sha256()), 0);
    const int length = i2d_X509(certificate.get(), nullptr);
    std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509(certificate.get(), &cursor);
    return der;
}

} // namespace quillet::test
