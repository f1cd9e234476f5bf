#include "Quillet/pkcs11/operation/SignatureVerifier.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"

namespace quillet {

veltora::Result<std::unique_ptr<SignatureVerifier>> SignatureVerifier::make(CK_MECHANISM_TYPE type,
                                                                            TKTokenKeychainKey key) {
    if (type == CKM_RSA_PKCS) {
        return std::unique_ptr<SignatureVerifier>(new SignatureVerifier(std::nullopt, std::move(key)));
    }
    const SigningAlgorithm* algorithm = signingAlgorithmOfMechanism(type);
    if (algorithm == nullptr) {
        return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
    }
    VELTORA_ASSIGN_OR_RETURN(auto digest, LocalDigest::make(*algorithm));
    return std::unique_ptr<SignatureVerifier>(new SignatureVerifier(std::move(digest), std::move(key)));
}

veltora::Result<void> SignatureVerifier::verify(std::span<const std::uint8_t> data,
                                                std::span<const std::uint8_t> signature) {
    if (digest_) {
        VELTORA_RETURN_IF_ERROR(update(data));
        return verifyFinal(signature);
    }
    if (data.size() + kPkcs1PaddingLength > key_.modulus().size()) {
        return ckError(CKR_DATA_LEN_RANGE, "CKM_RSA_PKCS input of " + std::to_string(data.size()) +
                                               " bytes is too long for the key");
    }
    return check(signature, data);
}

veltora::Result<void> SignatureVerifier::update(std::span<const std::uint8_t> part) {
    if (!digest_) {
        return ckError(CKR_FUNCTION_NOT_SUPPORTED,
                       "CKM_RSA_PKCS verifies in a single C_Verify call; C_VerifyUpdate and C_VerifyFinal "
                       "need CKM_SHA256_RSA_PKCS or CKM_SHA1_RSA_PKCS");
    }
    return digest_->update(part);
}

veltora::Result<void> SignatureVerifier::verifyFinal(std::span<const std::uint8_t> signature) {
    if (!digest_) {
        return update({});
    }
    VELTORA_ASSIGN_OR_RETURN(const auto digest, digest_->finish());
    return check(signature, wrapDigestInfo(digest_->algorithm(), digest));
}

veltora::Result<void> SignatureVerifier::check(std::span<const std::uint8_t> signature,
                                               std::span<const std::uint8_t> encoded) const {
    if (signature.size() != key_.modulus().size()) {
        return ckError(CKR_SIGNATURE_LEN_RANGE, "a signature of this key has " +
                                                    std::to_string(key_.modulus().size()) + " bytes, not " +
                                                    std::to_string(signature.size()));
    }
    if (!key_.verifies(signature, encoded)) {
        return ckError(CKR_SIGNATURE_INVALID, "the signature does not verify with the token's public key");
    }
    return {};
}

} // namespace quillet
