#pragma once

#include "Quillet/pkcs11/Module.h"
#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <new>
#include <string>

// What every exported function shares: it checks the calling conventions, makes
// one call into the module, turns the outcome into a CK_RV and logs a failure once.
namespace quillet {

using VoidResult = veltora::Result<void>;

// Routine answers (probing for attributes, short buffers, ...) at debug level, the rest as errors.
void logFailure(const char* function, CK_RV returnValue, const std::string& description);

// CKR_ARGUMENTS_BAD when the caller broke a calling convention.
VoidResult argumentsBadIf(bool broken, const char* what);

template <class Call> CK_RV boundary(const char* function, Call&& call) noexcept {
    try {
        const VoidResult result = call();
        if (result) {
            return CKR_OK;
        }
        const CK_RV returnValue = returnValueOf(result.error());
        logFailure(function, returnValue, result.error().description);
        return returnValue;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// The same for every function that needs C_Initialize first.
template <class Call> CK_RV initializedBoundary(const char* function, Call&& call) noexcept {
    return boundary(function, [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(Module::instance().checkInitialized());
        return call();
    });
}

} // namespace quillet
