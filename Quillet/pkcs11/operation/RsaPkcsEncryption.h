#pragma once

#include "Quillet/platform/TKTokenKeychainKey.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quillet {

// CKM_RSA_PKCS encryption with the token's public key, done here: PKCS #1
// v1.5 type 2 padding and one public-key operation on the key's numbers.
// CKR_DATA_LEN_RANGE when the data leaves less than 11 bytes of padding.
veltora::Result<std::vector<std::uint8_t>> encryptRsaPkcs(const TKTokenKeychainKey& key,
                                                          std::span<const std::uint8_t> data);

} // namespace quillet
