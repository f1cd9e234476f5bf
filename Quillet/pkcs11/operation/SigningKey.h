#pragma once

#include "Quillet/platform/TKTokenKeychainKey.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// A token's private key as the signers use it: the one place that calls the
// token session's sign operation. The signature length is the modulus length,
// known without the service.
class SigningKey {
public:
    // The key item is the public half the token presents.
    SigningKey(std::shared_ptr<TokenSession> session, std::string keyObjectID, TKTokenKeychainKey keyItem);

    std::size_t signatureLength() const { return keyItem_.modulus().size(); }

    // Signs a digest with a kSecKeyAlgorithm constant. A signature shorter than
    // the modulus is left-padded with zero bytes; a longer one is refused, and
    // so is one that does not verify with the key item (CKR_DEVICE_ERROR).
    veltora::Result<std::vector<std::uint8_t>> signDigest(std::span<const std::uint8_t> digest,
                                                          std::string_view algorithm) const;

private:
    std::shared_ptr<TokenSession> session_;
    std::string keyObjectID_;
    TKTokenKeychainKey keyItem_;
};

} // namespace quillet
