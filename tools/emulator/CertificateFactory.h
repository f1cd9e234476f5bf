#pragma once

#include "tools/emulator/OpenSslHandles.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace veltora::emulator {

// What a certificate made by the emulator says about its subject.
struct CertificateProfile {
    std::string commonName;
    bool isAuthority = false;
    bool isServer = false;      // TLS server: serverAuth, the names below
    bool isCodeSigning = false; // signing policy: codeSigning
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    int validDays = 365; // negative: expired that many days ago
};

// Keys and certificates of the emulator: the TLS authority and server
// certificate, and the signing policies' certificates. Failures throw
// std::runtime_error; the emulator reports them and exits.
class CertificateFactory {
public:
    static std::shared_ptr<EVP_PKEY> generateRsaKey(int bits);
    // P-256: quick to make, which keeps start-up fast with --tls.
    static PrivateKey generateEcKey();

    // Signed by the issuer, or self-signed when issuer is null (issuerKey is
    // then the subject's own key).
    static Certificate issue(const CertificateProfile& profile, EVP_PKEY* subjectKey, X509* issuer,
                             EVP_PKEY* issuerKey);

    static std::string derBytes(X509* certificate);
    static std::string pemText(X509* certificate);
    static std::shared_ptr<EVP_PKEY> readPrivateKeyPem(std::string_view pem);
    static Certificate readCertificateDer(std::string_view der);
};

} // namespace veltora::emulator
