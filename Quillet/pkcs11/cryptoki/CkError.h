#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "VeltoraCryptoTokenKit/base/Error.h"

#include <string>
#include <string_view>

namespace quillet {

// Failures inside the module carry the return value the application will see:
// domain "PKCS#11", code = the CK_RV. Any other error reaching the C boundary
// is reported as CKR_FUNCTION_FAILED.
inline constexpr std::string_view kCkErrorDomain = veltora::errors::token::kPkcs11Domain;

veltora::Error ckError(CK_RV returnValue, std::string description);
CK_RV returnValueOf(const veltora::Error& error);

// "CKR_ARGUMENTS_BAD", or the number in hexadecimal for values without a name.
std::string returnValueName(CK_RV returnValue);
// "0x1" for 1: how log lines show mechanism and attribute types.
std::string hexText(CK_ULONG number);

} // namespace quillet
