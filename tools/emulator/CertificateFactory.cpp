#include "tools/emulator/CertificateFactory.h"

#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace veltora::emulator {

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        throw std::runtime_error(std::string("OpenSSL failed: ") + what);
    }
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    require(extension != nullptr, "certificate extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1, "adding a certificate extension");
}

std::string alternativeNames(const CertificateProfile& profile) {
    std::string names;
    for (const auto& name : profile.dnsNames) {
        names += (names.empty() ? "DNS:" : ",DNS:") + name;
    }
    for (const auto& address : profile.ipAddresses) {
        names += (names.empty() ? "IP:" : ",IP:") + address;
    }
    return names;
}

void setSerialNumber(X509* certificate) {
    unsigned char bytes[8];
    require(RAND_bytes(bytes, sizeof bytes) == 1, "random serial number");
    bytes[0] &= 0x7F; // positive
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    require(number != nullptr, "serial number");
    const bool set = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr;
    BN_free(number);
    require(set, "serial number");
}

void setValidity(X509* certificate, int validDays) {
    constexpr long kDay = 24L * 3600L;
    const long notAfter = validDays * kDay;
    const long notBefore = validDays > 0 ? -kDay : notAfter - 365 * kDay;
    require(X509_gmtime_adj(X509_getm_notBefore(certificate), notBefore) != nullptr, "validity start");
    require(X509_gmtime_adj(X509_getm_notAfter(certificate), notAfter) != nullptr, "validity end");
}

} // namespace

std::shared_ptr<EVP_PKEY> CertificateFactory::generateRsaKey(int bits) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    require(key != nullptr, "RSA key generation");
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

PrivateKey CertificateFactory::generateEcKey() {
    PrivateKey key(EVP_EC_gen("P-256"));
    require(key != nullptr, "EC key generation");
    return key;
}

Certificate CertificateFactory::issue(const CertificateProfile& profile, EVP_PKEY* subjectKey, X509* issuer,
                                      EVP_PKEY* issuerKey) {
    Certificate certificate(X509_new());
    require(certificate != nullptr, "new certificate");
    X509* raw = certificate.get();
    require(X509_set_version(raw, 2) == 1, "certificate version");
    setSerialNumber(raw);
    setValidity(raw, profile.validDays);
    require(X509_set_pubkey(raw, subjectKey) == 1, "public key");

    X509_NAME* name = X509_get_subject_name(raw);
    const auto* organization = reinterpret_cast<const unsigned char*>("Veltora Service Emulator");
    const auto* commonName = reinterpret_cast<const unsigned char*>(profile.commonName.c_str());
    require(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, organization, -1, -1, 0) == 1,
            "organization");
    require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, commonName, -1, -1, 0) == 1, "common name");
    X509* signer = issuer != nullptr ? issuer : raw;
    require(X509_set_issuer_name(raw, X509_get_subject_name(signer)) == 1, "issuer name");

    addExtension(raw, signer, NID_subject_key_identifier, "hash");
    addExtension(raw, signer, NID_authority_key_identifier, "keyid:always");
    if (profile.isAuthority) {
        addExtension(raw, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(raw, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(raw, signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(raw, signer, NID_key_usage, "critical,digitalSignature");
    }
    if (profile.isServer) {
        addExtension(raw, signer, NID_ext_key_usage, "serverAuth");
    }
    if (profile.isCodeSigning) {
        addExtension(raw, signer, NID_ext_key_usage, "codeSigning");
    }
    if (const auto names = alternativeNames(profile); !names.empty()) {
        addExtension(raw, signer, NID_subject_alt_name, names);
    }
    require(X509_sign(raw, issuerKey, EVP_sha256()) > 0, "certificate signature");
    return certificate;
}

std::string CertificateFactory::derBytes(X509* certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(certificate, &bytes);
    require(length > 0, "DER encoding");
    std::string der(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return der;
}

std::string CertificateFactory::pemText(X509* certificate) {
    Bio bio(BIO_new(BIO_s_mem()));
    require(bio != nullptr && PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM encoding");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::shared_ptr<EVP_PKEY> CertificateFactory::readPrivateKeyPem(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    require(bio != nullptr, "reading a key");
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (key == nullptr) {
        throw std::runtime_error("privateKeyPem is not a PEM private key");
    }
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

Certificate CertificateFactory::readCertificateDer(std::string_view der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    Certificate certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
    if (certificate == nullptr) {
        throw std::runtime_error("certificateBytes is not a DER certificate");
    }
    return certificate;
}

} // namespace veltora::emulator
