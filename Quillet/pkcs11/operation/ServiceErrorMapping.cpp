#include "Quillet/pkcs11/operation/ServiceErrorMapping.h"

#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/platform/TKError.h"
#include "Quillet/token/QuilletError.h"
#include "VeltoraCryptoTokenKit/client/RetryableHttpClient.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"

namespace quillet {

namespace {

CK_RV httpClientReturnValue(std::int64_t code) {
    namespace http = veltora::errors::http;
    if (code == http::kUnauthorized || code == http::kForbidden) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (code == veltora::RetryableHttpClient::kInvalidResponseCode ||
        code == veltora::RetryableHttpClient::kRetriesExhaustedCode ||
        (code >= http::kFirstServerError && code <= http::kLastServerError)) {
        return CKR_DEVICE_ERROR;
    }
    return CKR_FUNCTION_FAILED;
}

CK_RV returnValueFor(const veltora::Error& error) {
    if (error.domain == veltora::kLibcurlErrorDomain) {
        return CKR_DEVICE_ERROR;
    }
    if (veltora::isCancellation(error)) {
        return CKR_FUNCTION_CANCELED;
    }
    if (error.domain == veltora::RetryableHttpClient::kErrorDomain) {
        return httpClientReturnValue(error.code);
    }
    if (error.domain == veltora::VeltoraClient::kErrorDomain) {
        return error.code == veltora::VeltoraClient::kJsonParsingCode ? CKR_DEVICE_ERROR
                                                                      : CKR_FUNCTION_FAILED;
    }
    if (error.domain == TKErrorDomain && error.code == TKErrorCodeAuthenticationNeeded) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (error.domain == kQuilletErrorDomain) {
        // The registration went away under an open session: its key is gone.
        return error.code == static_cast<std::int64_t>(QuilletErrorCode::noTokenConfiguration)
                   ? CKR_KEY_HANDLE_INVALID
                   : CKR_DEVICE_ERROR;
    }
    return CKR_FUNCTION_FAILED;
}

} // namespace

veltora::Error signingFailure(const veltora::Error& tokenSessionError) {
    return ckError(returnValueFor(tokenSessionError), tokenSessionError.domain + " " +
                                                          std::to_string(tokenSessionError.code) + ": " +
                                                          tokenSessionError.description);
}

} // namespace quillet
