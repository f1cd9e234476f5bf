#pragma once

#include "VeltoraCryptoTokenKit/base/Error.h"

namespace quillet {

// The return value an application sees when the token session could not sign.
// The error's description is kept for the log.
//
//   transport failure (libcurl)                  CKR_DEVICE_ERROR
//   cancellation                                 CKR_FUNCTION_CANCELED
//   HTTP 401 or 403                              CKR_USER_NOT_LOGGED_IN
//   HTTP 5xx, retries exhausted, no response     CKR_DEVICE_ERROR
//   other HTTP statuses (400, 404, ...)          CKR_FUNCTION_FAILED
//   answer not understood (VeltoraClient 1003)   CKR_DEVICE_ERROR
//   registration URL unusable (1001), 1002       CKR_FUNCTION_FAILED
//   TKErrorDomain -9 (answer not Base64)         CKR_USER_NOT_LOGGED_IN
//   registration gone (Quillet 3)                CKR_KEY_HANDLE_INVALID
//   other unusable registration (Quillet)        CKR_DEVICE_ERROR
//   anything else                                CKR_FUNCTION_FAILED
veltora::Error signingFailure(const veltora::Error& tokenSessionError);

} // namespace quillet
