#include "Quillet/pkcs11/SigningKey.h"

#include "Quillet/pkcs11/CkError.h"
#include "Quillet/pkcs11/ServiceErrorMapping.h"

namespace quillet {

SigningKey::SigningKey(std::shared_ptr<TokenSession> session, std::string keyObjectID,
                       std::size_t signatureLength)
    : session_(std::move(session)), keyObjectID_(std::move(keyObjectID)), signatureLength_(signatureLength) {}

veltora::Result<std::vector<std::uint8_t>> SigningKey::signDigest(std::span<const std::uint8_t> digest,
                                                                  std::string_view algorithm) const {
    auto signed_ = session_->signData(digest, keyObjectID_, TKTokenKeyAlgorithm(std::string(algorithm)));
    if (!signed_) {
        return signingFailure(signed_.error());
    }
    std::vector<std::uint8_t> signature = std::move(signed_).value();
    if (signature.size() > signatureLength_) {
        return ckError(CKR_DEVICE_ERROR, "the service returned a signature of " +
                                             std::to_string(signature.size()) + " bytes for a key of " +
                                             std::to_string(signatureLength_) + " bytes");
    }
    // An RSA signature is a number: a service may drop its leading zero bytes.
    signature.insert(signature.begin(), signatureLength_ - signature.size(), 0);
    return signature;
}

} // namespace quillet
