#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace veltora::emulator {

struct EvpPkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};

using PrivateKey = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using Bio = std::unique_ptr<BIO, BioFree>;

} // namespace veltora::emulator
