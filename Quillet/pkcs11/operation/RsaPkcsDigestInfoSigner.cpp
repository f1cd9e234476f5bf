#include "Quillet/pkcs11/operation/RsaPkcsDigestInfoSigner.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"

namespace quillet {

namespace {

// PKCS #1 v1.5 needs at least 11 bytes of padding around the input.
constexpr std::size_t kPaddingLength = 11;

veltora::Error singlePartOnly() {
    return ckError(CKR_FUNCTION_NOT_SUPPORTED,
                   "CKM_RSA_PKCS signs one DigestInfo in a single C_Sign call; C_SignUpdate and C_SignFinal "
                   "need CKM_SHA256_RSA_PKCS or CKM_SHA1_RSA_PKCS");
}

} // namespace

veltora::Result<std::vector<std::uint8_t>> RsaPkcsDigestInfoSigner::sign(std::span<const std::uint8_t> data) {
    if (data.size() + kPaddingLength > key_.signatureLength()) {
        return ckError(CKR_DATA_LEN_RANGE, "CKM_RSA_PKCS input of " + std::to_string(data.size()) +
                                               " bytes is too long for the key");
    }
    auto unwrapped = unwrapDigestInfo(data);
    if (!unwrapped) {
        return unwrapped.error();
    }
    return key_.signDigest(unwrapped.value().digest, unwrapped.value().algorithm);
}

veltora::Result<void> RsaPkcsDigestInfoSigner::update(std::span<const std::uint8_t>) {
    return singlePartOnly();
}

veltora::Result<std::vector<std::uint8_t>> RsaPkcsDigestInfoSigner::signFinal() {
    return singlePartOnly();
}

} // namespace quillet
