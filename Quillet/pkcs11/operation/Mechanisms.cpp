#include "Quillet/pkcs11/operation/Mechanisms.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/operation/HashingSigner.h"
#include "Quillet/pkcs11/operation/RsaPkcsDigestInfoSigner.h"

#include <algorithm>
#include <vector>

namespace quillet {

namespace {

// CKM_RSA_PKCS first, then the hashing mechanisms in the algorithm table's order.
std::vector<CK_MECHANISM_TYPE> listMechanisms() {
    std::vector<CK_MECHANISM_TYPE> mechanisms{CKM_RSA_PKCS};
    for (const SigningAlgorithm& algorithm : signingAlgorithms()) {
        if (algorithm.mechanism) {
            mechanisms.push_back(*algorithm.mechanism);
        }
    }
    return mechanisms;
}

// The private key's operation runs in the service's hardware. CKF_DECRYPT on
// CKM_RSA_PKCS is what Java needs to offer its raw RSA signature; no key of
// the token permits decryption, and its attributes say so.
constexpr CK_FLAGS kSigningFlags = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kRsaPkcsFlags = kSigningFlags | CKF_ENCRYPT | CKF_DECRYPT;

} // namespace

std::span<const CK_MECHANISM_TYPE> supportedMechanisms() {
    static const std::vector<CK_MECHANISM_TYPE> mechanisms = listMechanisms();
    return mechanisms;
}

bool isSupportedMechanism(CK_MECHANISM_TYPE type) {
    return type == CKM_RSA_PKCS || signingAlgorithmOfMechanism(type) != nullptr;
}

CK_FLAGS mechanismFlags(CK_MECHANISM_TYPE type) {
    return type == CKM_RSA_PKCS ? kRsaPkcsFlags : kSigningFlags;
}

const SigningAlgorithm& signingAlgorithmFor(CK_MECHANISM_TYPE type) {
    const SigningAlgorithm* algorithm = signingAlgorithmOfMechanism(type);
    return algorithm != nullptr ? *algorithm : defaultSigningAlgorithm();
}

veltora::Result<std::unique_ptr<Signer>> makeSigner(CK_MECHANISM_TYPE type, SigningKey key) {
    if (type == CKM_RSA_PKCS) {
        return std::unique_ptr<Signer>(std::make_unique<RsaPkcsDigestInfoSigner>(std::move(key)));
    }
    if (const SigningAlgorithm* algorithm = signingAlgorithmOfMechanism(type)) {
        return HashingSigner::make(*algorithm, std::move(key));
    }
    return ckError(CKR_MECHANISM_INVALID, "mechanism " + hexText(type) + " is not offered");
}

} // namespace quillet
