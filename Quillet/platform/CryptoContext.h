#pragma once

#include <cstdint>
#include <span>
#include <vector>

typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;

namespace quillet {

// A private OpenSSL library context with the default provider. The module runs
// inside applications that may route OpenSSL through a token engine or provider
// of their own; hashing and certificate parsing here never call back into it.
class CryptoContext {
public:
    // The process-wide context, made on first use; null if OpenSSL cannot make one.
    static OSSL_LIB_CTX* get();
    // A context without algorithms, for certificates that are only read field
    // by field: OpenSSL decodes a parsed certificate's public key with the
    // context's key decoders, which costs ten times the rest of the parse, and
    // here finds none. Null if OpenSSL cannot make one.
    static OSSL_LIB_CTX* fieldsOnly();

    // Empty when the digest cannot be computed.
    static std::vector<std::uint8_t> sha1(std::span<const std::uint8_t> data);
    static std::vector<std::uint8_t> sha256(std::span<const std::uint8_t> data);
    // Fills the bytes from the context's DRBG; false when it fails.
    static bool randomBytes(std::span<std::uint8_t> bytes);
};

} // namespace quillet
