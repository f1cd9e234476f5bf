#include "Quillet/pkcs11/Boundary.h"

#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <string_view>

namespace quillet {

namespace {

// Answers a caller may meet in normal use, such as probing for attributes and
// mechanisms; they are logged at debug level only.
bool isRoutineAnswer(std::string_view function, CK_RV returnValue) {
    if (returnValue == CKR_MECHANISM_INVALID) {
        return function == "C_GetMechanismInfo";
    }
    switch (returnValue) {
    case CKR_BUFFER_TOO_SMALL:
    case CKR_ATTRIBUTE_TYPE_INVALID:
    case CKR_ATTRIBUTE_SENSITIVE:
    case CKR_FUNCTION_NOT_SUPPORTED:
    case CKR_CRYPTOKI_ALREADY_INITIALIZED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_RANDOM_SEED_NOT_SUPPORTED:
    // A signature that does not verify is the caller's answer, not a fault here.
    case CKR_SIGNATURE_INVALID:
    case CKR_SIGNATURE_LEN_RANGE:
        return true;
    default:
        return false;
    }
}

} // namespace

void logFailure(const char* function, CK_RV returnValue, const std::string& description) {
    std::string line =
        std::string(function) + " failed with " + returnValueName(returnValue) + ": " + description;
    if (isRoutineAnswer(function, returnValue)) {
        DDLogDebug(std::move(line));
    } else {
        DDLogError(std::move(line));
    }
}

VoidResult argumentsBadIf(bool broken, const char* what) {
    if (broken) {
        return ckError(CKR_ARGUMENTS_BAD, what);
    }
    return {};
}

} // namespace quillet
