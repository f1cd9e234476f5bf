#include "Quillet/pkcs11/operation/SigningKey.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"
#include "Quillet/pkcs11/operation/ServiceErrorMapping.h"

namespace quillet {

SigningKey::SigningKey(std::shared_ptr<TokenSession> session, std::string keyObjectID,
                       TKTokenKeychainKey keyItem)
    : session_(std::move(session)), keyObjectID_(std::move(keyObjectID)), keyItem_(std::move(keyItem)) {}

veltora::Result<std::vector<std::uint8_t>> SigningKey::signDigest(std::span<const std::uint8_t> digest,
                                                                  const SigningAlgorithm& algorithm) const {
    auto signed_ =
        session_->signData(digest, keyObjectID_, TKTokenKeyAlgorithm(std::string(algorithm.constant)));
    if (!signed_) {
        return signingFailure(signed_.error());
    }
    std::vector<std::uint8_t> signature = std::move(signed_).value();
    const std::size_t length = signatureLength();
    if (signature.size() > length) {
        return ckError(CKR_DEVICE_ERROR, "the service returned a signature of " +
                                             std::to_string(signature.size()) + " bytes for a key of " +
                                             std::to_string(length) + " bytes");
    }
    // An RSA signature is a number: a service may drop its leading zero bytes.
    signature.insert(signature.begin(), length - signature.size(), 0);
    // So length alone cannot tell a cut or wrong signature: the key can.
    if (!keyItem_.verifies(signature, wrapDigestInfo(algorithm, digest))) {
        return ckError(CKR_DEVICE_ERROR,
                       "the service's signature does not match the registered certificate of " +
                           keyObjectID_ +
                           "; the certificate may have changed at the service since the host last "
                           "synchronised");
    }
    return signature;
}

} // namespace quillet
