#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/pkcs11/operation/Signer.h"
#include "Quillet/pkcs11/operation/SigningKey.h"
#include "Quillet/token/SigningAlgorithms.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <memory>
#include <span>

namespace quillet {

// The signing mechanisms every token offers, in the order C_GetMechanismList lists them.
std::span<const CK_MECHANISM_TYPE> supportedMechanisms();
bool isSupportedMechanism(CK_MECHANISM_TYPE type);
// The CK_MECHANISM_INFO flags of an offered mechanism.
CK_FLAGS mechanismFlags(CK_MECHANISM_TYPE type);
// The algorithm a mechanism signs with; for CKM_RSA_PKCS the DigestInfo
// decides later, and SHA-256 stands for it in the token's supports check.
const SigningAlgorithm& signingAlgorithmFor(CK_MECHANISM_TYPE type);

// A fresh signer for one C_SignInit; CKR_MECHANISM_INVALID for other mechanisms.
veltora::Result<std::unique_ptr<Signer>> makeSigner(CK_MECHANISM_TYPE type, SigningKey key);

} // namespace quillet
