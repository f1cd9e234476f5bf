#pragma once

#include "Quillet/TokenSession.h"
#include "VeltoraCryptoTokenKit/Result.h"

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
    SigningKey(std::shared_ptr<TokenSession> session, std::string keyObjectID, std::size_t signatureLength);

    std::size_t signatureLength() const { return signatureLength_; }

    // Signs a digest with a kSecKeyAlgorithm constant. A signature shorter than
    // the modulus is left-padded with zero bytes; a longer one is refused.
    veltora::Result<std::vector<std::uint8_t>> signDigest(std::span<const std::uint8_t> digest,
                                                          std::string_view algorithm) const;

private:
    std::shared_ptr<TokenSession> session_;
    std::string keyObjectID_;
    std::size_t signatureLength_;
};

} // namespace quillet
