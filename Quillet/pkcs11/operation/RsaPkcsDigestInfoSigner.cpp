#include "Quillet/pkcs11/operation/RsaPkcsDigestInfoSigner.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/DigestInfo.h"

namespace quillet {

veltora::Result<std::vector<std::uint8_t>> RsaPkcsDigestInfoSigner::sign(std::span<const std::uint8_t> data) {
    if (data.size() + kPkcs1PaddingLength > key_.signatureLength()) {
        return ckError(CKR_DATA_LEN_RANGE, "CKM_RSA_PKCS input of " + std::to_string(data.size()) +
                                               " bytes is too long for the key");
    }
    VELTORA_ASSIGN_OR_RETURN(const UnwrappedDigest unwrapped, unwrapDigestInfo(data));
    return key_.signDigest(unwrapped.digest, unwrapped.algorithm);
}

} // namespace quillet
