#pragma once

#include "Quillet/platform/TKTokenKeychainKey.h"
#include "Quillet/token/SigningAlgorithms.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
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

    // Signs a digest made for the algorithm. A signature shorter than
    // the modulus is left-padded with zero bytes; a longer one is refused, and
    // so is one that does not verify with the key item (CKR_DEVICE_ERROR).
    veltora::Result<std::vector<std::uint8_t>> signDigest(std::span<const std::uint8_t> digest,
                                                          const SigningAlgorithm& algorithm) const;

private:
    std::shared_ptr<TokenSession> session_;
    std::string keyObjectID_;
    TKTokenKeychainKey keyItem_;
};

} // namespace quillet
