#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <openssl/evp.h>

#include <string>

namespace veltora::emulator {

// RSA PKCS #1 v1.5 signatures over a digest the caller computed, for the hash
// named by its dotted object identifier (SHA-1, SHA-256, SHA-384, SHA-512).
class DigestSigner {
public:
    // The raw signature bytes, or an error whose description says why the
    // request cannot be signed (answered with status 400).
    static Result<std::string> sign(EVP_PKEY* key, const std::string& digest, const std::string& hashOid);
};

} // namespace veltora::emulator
