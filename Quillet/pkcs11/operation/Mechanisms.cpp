#include "Quillet/pkcs11/operation/Mechanisms.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/HashingSigner.h"
#include "Quillet/pkcs11/operation/RsaPkcsDigestInfoSigner.h"
#include "Quillet/platform/TKTokenKeyAlgorithm.h"

#include <algorithm>
#include <array>

namespace quillet {

namespace {

constexpr std::array<CK_MECHANISM_TYPE, 3> kMechanisms{CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA1_RSA_PKCS};

// The private key's operation runs in the service's hardware. CKF_DECRYPT on
// CKM_RSA_PKCS is what Java needs to offer its raw RSA signature; no key of
// the token permits decryption, and its attributes say so.
constexpr CK_FLAGS kSigningFlags = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kRsaPkcsFlags = kSigningFlags | CKF_ENCRYPT | CKF_DECRYPT;

} // namespace

std::span<const CK_MECHANISM_TYPE> supportedMechanisms() {
    return kMechanisms;
}

bool isSupportedMechanism(CK_MECHANISM_TYPE type) {
    return std::find(kMechanisms.begin(), kMechanisms.end(), type) != kMechanisms.end();
}

CK_FLAGS mechanismFlags(CK_MECHANISM_TYPE type) {
    return type == CKM_RSA_PKCS ? kRsaPkcsFlags : kSigningFlags;
}

std::string_view tokenAlgorithmFor(CK_MECHANISM_TYPE type) {
    return type == CKM_SHA1_RSA_PKCS ? kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA1
                                     : kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;
}

veltora::Result<std::unique_ptr<Signer>> makeSigner(CK_MECHANISM_TYPE type, SigningKey key) {
    switch (type) {
    case CKM_RSA_PKCS:
        return std::unique_ptr<Signer>(std::make_unique<RsaPkcsDigestInfoSigner>(std::move(key)));
    case CKM_SHA256_RSA_PKCS:
        return HashingSigner::make(LocalDigest::Hash::sha256, std::move(key));
    case CKM_SHA1_RSA_PKCS:
        return HashingSigner::make(LocalDigest::Hash::sha1, std::move(key));
    default:
        return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
    }
}

} // namespace quillet
