#include "Quillet/pkcs11/operation/SignatureVerifier.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"

namespace quillet {

namespace {

// PKCS #1 v1.5 needs at least 11 bytes of padding around the input.
constexpr std::size_t kPaddingLength = 11;

} // namespace

veltora::Result<std::unique_ptr<SignatureVerifier>> SignatureVerifier::make(CK_MECHANISM_TYPE type,
                                                                            TKTokenKeychainKey key) {
    if (type == CKM_RSA_PKCS) {
        return std::unique_ptr<SignatureVerifier>(new SignatureVerifier(std::nullopt, std::move(key)));
    }
    if (type != CKM_SHA256_RSA_PKCS && type != CKM_SHA1_RSA_PKCS) {
        return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
    }
    auto digest =
        LocalDigest::make(type == CKM_SHA256_RSA_PKCS ? LocalDigest::Hash::sha256 : LocalDigest::Hash::sha1);
    if (!digest) {
        return digest.error();
    }
    return std::unique_ptr<SignatureVerifier>(
        new SignatureVerifier(std::move(digest).value(), std::move(key)));
}

veltora::Result<void> SignatureVerifier::verify(std::span<const std::uint8_t> data,
                                                std::span<const std::uint8_t> signature) {
    if (digest_) {
        if (auto taken = update(data); !taken) {
            return taken;
        }
        return verifyFinal(signature);
    }
    if (data.size() + kPaddingLength > key_.modulus().size()) {
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
    auto digest = digest_->finish();
    if (!digest) {
        return digest.error();
    }
    return check(signature, wrapDigestInfo(digest_->algorithm(), digest.value()));
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
