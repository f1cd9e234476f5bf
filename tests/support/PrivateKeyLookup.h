#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"

namespace veltora::test {

// The session's private key, found as applications find it before they sign;
// CK_INVALID_HANDLE when the token shows none.
inline CK_OBJECT_HANDLE privateKeyOf(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search{CKA_CLASS, &keyClass, sizeof keyClass};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    if (functions->C_FindObjectsInit(session, &search, 1) != CKR_OK ||
        functions->C_FindObjects(session, &key, 1, &found) != CKR_OK ||
        functions->C_FindObjectsFinal(session) != CKR_OK || found != 1) {
        return CK_INVALID_HANDLE;
    }
    return key;
}

} // namespace veltora::test
