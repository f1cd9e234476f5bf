#include "Quillet/pkcs11/operation/RsaPkcsEncryption.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/platform/CryptoContext.h"

#include <openssl/rand.h>

#include <algorithm>

namespace quillet {

namespace {

constexpr std::size_t kLeastPadding = 8;

// Nonzero random bytes from the module's own context, which no engine or
// provider of the application replaces (EVP encryption there may be).
bool fillNonzeroRandom(std::span<std::uint8_t> bytes) {
    for (std::uint8_t& byte : bytes) {
        do {
            if (RAND_bytes_ex(CryptoContext::get(), &byte, 1, 0) != 1) {
                return false;
            }
        } while (byte == 0);
    }
    return true;
}

} // namespace

veltora::Result<std::vector<std::uint8_t>> encryptRsaPkcs(const TKTokenKeychainKey& key,
                                                          std::span<const std::uint8_t> data) {
    const std::size_t length = key.modulus().size();
    if (data.size() + kLeastPadding + 3 > length) {
        return ckError(CKR_DATA_LEN_RANGE, "CKM_RSA_PKCS encrypts at most " +
                                               std::to_string(length - kLeastPadding - 3) +
                                               " bytes with this key");
    }
    // 00 02 nonzero-random 00 data
    std::vector<std::uint8_t> block(length, 0);
    block[1] = 0x02;
    const std::size_t paddingEnd = length - data.size() - 1;
    if (!fillNonzeroRandom(std::span(block).subspan(2, paddingEnd - 2))) {
        return ckError(CKR_DEVICE_ERROR, "no random bytes for the padding");
    }
    std::copy(data.begin(), data.end(), block.begin() + static_cast<std::ptrdiff_t>(paddingEnd + 1));
    auto encrypted = key.publicOperation(block);
    if (encrypted.empty()) {
        return ckError(CKR_DEVICE_ERROR, "the RSA public-key operation failed");
    }
    return encrypted;
}

} // namespace quillet
