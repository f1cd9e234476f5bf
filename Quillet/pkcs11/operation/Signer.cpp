#include "Quillet/pkcs11/operation/Signer.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"

namespace quillet {

namespace {

veltora::Error singlePartOnly() {
    return ckError(CKR_FUNCTION_NOT_SUPPORTED,
                   "this mechanism signs in a single C_Sign call; C_SignUpdate and C_SignFinal need a mechanism "
                   "that hashes, CKM_SHA256_RSA_PKCS or CKM_SHA1_RSA_PKCS");
}

} // namespace

veltora::Result<void> Signer::update(std::span<const std::uint8_t>) {
    return singlePartOnly();
}

veltora::Result<std::vector<std::uint8_t>> Signer::signFinal() {
    return singlePartOnly();
}

} // namespace quillet
