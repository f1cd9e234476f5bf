// The C boundary: each function checks the calling conventions, makes one call
// into the module, turns the outcome into a CK_RV and logs a failure once.

#include "Quillet/pkcs11/FunctionList.h"
#include "Quillet/pkcs11/Module.h"
#include "Quillet/pkcs11/cryptoki/CkError.h"
#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/platform/CryptoContext.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <algorithm>
#include <new>
#include <span>
#include <string_view>
#include <vector>

using quillet::ckError;
using quillet::Module;
using VoidResult = veltora::Result<void>;

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

void logFailure(const char* function, CK_RV returnValue, const std::string& description) {
    std::string line =
        std::string(function) + " failed with " + quillet::returnValueName(returnValue) + ": " + description;
    if (isRoutineAnswer(function, returnValue)) {
        DDLogDebug(std::move(line));
    } else {
        DDLogError(std::move(line));
    }
}

template <class Call> CK_RV boundary(const char* function, Call&& call) noexcept {
    try {
        const VoidResult result = call();
        if (result) {
            return CKR_OK;
        }
        const CK_RV returnValue = quillet::returnValueOf(result.error());
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
        if (auto ready = Module::instance().checkInitialized(); !ready) {
            return ready;
        }
        return call();
    });
}

CK_RV notSupported(const char* function) noexcept {
    return boundary(function, [function] {
        return VoidResult(ckError(CKR_FUNCTION_NOT_SUPPORTED, std::string(function) + " is not offered"));
    });
}

VoidResult argumentsBad(const char* what) {
    return ckError(CKR_ARGUMENTS_BAD, what);
}

// Fills a caller's list the standard way: NULL asks for the count.
template <class T> VoidResult answerList(const std::vector<T>& values, T* list, CK_ULONG* count) {
    const CK_ULONG available = *count;
    *count = values.size();
    if (list == nullptr) {
        return {};
    }
    if (available < values.size()) {
        return ckError(CKR_BUFFER_TOO_SMALL, "the list needs " + std::to_string(values.size()) + " entries");
    }
    std::copy(values.begin(), values.end(), list);
    return {};
}

template <class T> VoidResult answerValue(veltora::Result<T> value, T* target) {
    if (!value) {
        return value.error();
    }
    *target = value.value();
    return {};
}

// Runs one call on an open session.
template <class Call> VoidResult onSession(CK_SESSION_HANDLE handle, Call&& call) {
    auto session = Module::instance().session(handle);
    if (!session) {
        return session.error();
    }
    return call(*session.value());
}

bool isValidTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return attributes != nullptr || count == 0;
}

template <class T> std::span<T> spanOf(T* first, CK_ULONG count) {
    return first == nullptr ? std::span<T>() : std::span<T>(first, count);
}

std::span<const std::uint8_t> bytesOf(const CK_BYTE* first, CK_ULONG count) {
    return first == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(first, count);
}

} // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return boundary("C_Initialize", [&] {
        return Module::instance().initialize(static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs));
    });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return initializedBoundary("C_Finalize", [&]() -> VoidResult {
        if (pReserved != nullptr) {
            return argumentsBad("pReserved must be NULL");
        }
        return Module::instance().finalize();
    });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return initializedBoundary("C_GetInfo", [&]() -> VoidResult {
        if (pInfo == nullptr) {
            return argumentsBad("pInfo is NULL");
        }
        return answerValue(Module::instance().info(), pInfo);
    });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return initializedBoundary("C_GetSlotList", [&]() -> VoidResult {
        if (pulCount == nullptr) {
            return argumentsBad("pulCount is NULL");
        }
        auto slots = Module::instance().slotList(tokenPresent != CK_FALSE);
        if (!slots) {
            return slots.error();
        }
        return answerList(slots.value(), pSlotList, pulCount);
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return initializedBoundary("C_GetSlotInfo", [&]() -> VoidResult {
        if (pInfo == nullptr) {
            return argumentsBad("pInfo is NULL");
        }
        return answerValue(Module::instance().slotInfo(slotID), pInfo);
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return initializedBoundary("C_GetTokenInfo", [&]() -> VoidResult {
        if (pInfo == nullptr) {
            return argumentsBad("pInfo is NULL");
        }
        return answerValue(Module::instance().tokenInfo(slotID), pInfo);
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    return initializedBoundary("C_GetMechanismList", [&]() -> VoidResult {
        if (pulCount == nullptr) {
            return argumentsBad("pulCount is NULL");
        }
        auto mechanisms = Module::instance().mechanismList(slotID);
        if (!mechanisms) {
            return mechanisms.error();
        }
        return answerList(mechanisms.value(), pMechanismList, pulCount);
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return initializedBoundary("C_GetMechanismInfo", [&]() -> VoidResult {
        if (pInfo == nullptr) {
            return argumentsBad("pInfo is NULL");
        }
        return answerValue(Module::instance().mechanismInfo(slotID, type), pInfo);
    });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR phSession) {
    return initializedBoundary("C_OpenSession", [&]() -> VoidResult {
        if (phSession == nullptr) {
            return argumentsBad("phSession is NULL");
        }
        return answerValue(Module::instance().openSession(slotID, flags), phSession);
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return initializedBoundary("C_CloseSession", [&] { return Module::instance().closeSession(hSession); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return initializedBoundary("C_CloseAllSessions",
                               [&] { return Module::instance().closeAllSessions(slotID); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return initializedBoundary("C_GetSessionInfo", [&]() -> VoidResult {
        if (pInfo == nullptr) {
            return argumentsBad("pInfo is NULL");
        }
        return answerValue(Module::instance().sessionInfo(hSession), pInfo);
    });
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR, CK_ULONG) {
    // No PIN protects the keys, so whatever PIN is given is not looked at.
    return initializedBoundary("C_Login", [&] { return Module::instance().login(hSession, userType); });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return initializedBoundary("C_Logout", [&] { return Module::instance().logout(hSession); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    return initializedBoundary("C_GetAttributeValue", [&]() -> VoidResult {
        if (!isValidTemplate(pTemplate, ulCount)) {
            return argumentsBad("pTemplate is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.getAttributeValue(hObject, spanOf(pTemplate, ulCount));
        });
    });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return initializedBoundary("C_GetObjectSize", [&]() -> VoidResult {
        if (pulSize == nullptr) {
            return argumentsBad("pulSize is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return answerValue(session.objectSize(hObject), pulSize);
        });
    });
}

// Randomness comes from this process's OpenSSL, not from the service.
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return initializedBoundary("C_GenerateRandom", [&]() -> VoidResult {
        if (pRandomData == nullptr && ulRandomLen != 0) {
            return argumentsBad("pRandomData is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session&) -> VoidResult {
            if (!quillet::CryptoContext::randomBytes(std::span<std::uint8_t>(pRandomData, ulRandomLen))) {
                return ckError(CKR_FUNCTION_FAILED, "OpenSSL gave no random bytes");
            }
            return {};
        });
    });
}

// The generator seeds itself; a caller's seed is not mixed in.
CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
    return initializedBoundary("C_SeedRandom", [&]() -> VoidResult {
        return onSession(hSession, [](quillet::Pkcs11Session&) -> VoidResult {
            return ckError(CKR_RANDOM_SEED_NOT_SUPPORTED, "the token seeds its own generator");
        });
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return initializedBoundary("C_FindObjectsInit", [&]() -> VoidResult {
        if (!isValidTemplate(pTemplate, ulCount)) {
            return argumentsBad("pTemplate is NULL");
        }
        const auto search = spanOf(static_cast<const CK_ATTRIBUTE*>(pTemplate), ulCount);
        if (std::any_of(search.begin(), search.end(), [](const CK_ATTRIBUTE& wanted) {
                return wanted.pValue == nullptr && wanted.ulValueLen != 0;
            })) {
            return argumentsBad("a template attribute has a length but no value");
        }
        return onSession(hSession,
                         [&](quillet::Pkcs11Session& session) { return session.findObjectsInit(search); });
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    return initializedBoundary("C_FindObjects", [&]() -> VoidResult {
        if (phObject == nullptr || pulObjectCount == nullptr) {
            return argumentsBad("phObject or pulObjectCount is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) -> VoidResult {
            auto found = session.findObjects(ulMaxObjectCount);
            if (!found) {
                return found.error();
            }
            std::copy(found.value().begin(), found.value().end(), phObject);
            *pulObjectCount = found.value().size();
            return {};
        });
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return initializedBoundary("C_FindObjectsFinal", [&] {
        return onSession(hSession,
                         [](quillet::Pkcs11Session& session) { return session.findObjectsFinal(); });
    });
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_SignInit", [&]() -> VoidResult {
        if (pMechanism == nullptr) {
            return argumentsBad("pMechanism is NULL");
        }
        return onSession(
            hSession, [&](quillet::Pkcs11Session& session) { return session.signInit(*pMechanism, hKey); });
    });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
    return initializedBoundary("C_Sign", [&]() -> VoidResult {
        if (pulSignatureLen == nullptr) {
            return argumentsBad("pulSignatureLen is NULL");
        }
        // A length query may leave the data out.
        if (pData == nullptr && ulDataLen != 0 && pSignature != nullptr) {
            return argumentsBad("pData is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            quillet::SignatureBuffer signature{pSignature, *pulSignatureLen};
            auto signed_ = session.sign(bytesOf(pData, ulDataLen), signature);
            if (signed_ || quillet::returnValueOf(signed_.error()) == CKR_BUFFER_TOO_SMALL) {
                *pulSignatureLen = signature.length;
            }
            return signed_;
        });
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return initializedBoundary("C_SignUpdate", [&]() -> VoidResult {
        if (pPart == nullptr && ulPartLen != 0) {
            return argumentsBad("pPart is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.signUpdate(bytesOf(pPart, ulPartLen));
        });
    });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return initializedBoundary("C_SignFinal", [&]() -> VoidResult {
        if (pulSignatureLen == nullptr) {
            return argumentsBad("pulSignatureLen is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            quillet::SignatureBuffer signature{pSignature, *pulSignatureLen};
            auto signed_ = session.signFinal(signature);
            if (signed_ || quillet::returnValueOf(signed_.error()) == CKR_BUFFER_TOO_SMALL) {
                *pulSignatureLen = signature.length;
            }
            return signed_;
        });
    });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_VerifyInit", [&]() -> VoidResult {
        if (pMechanism == nullptr) {
            return argumentsBad("pMechanism is NULL");
        }
        return onSession(
            hSession, [&](quillet::Pkcs11Session& session) { return session.verifyInit(*pMechanism, hKey); });
    });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    return initializedBoundary("C_Verify", [&]() -> VoidResult {
        if ((pData == nullptr && ulDataLen != 0) || (pSignature == nullptr && ulSignatureLen != 0)) {
            return argumentsBad("pData or pSignature is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verify(bytesOf(pData, ulDataLen), bytesOf(pSignature, ulSignatureLen));
        });
    });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return initializedBoundary("C_VerifyUpdate", [&]() -> VoidResult {
        if (pPart == nullptr && ulPartLen != 0) {
            return argumentsBad("pPart is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verifyUpdate(bytesOf(pPart, ulPartLen));
        });
    });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return initializedBoundary("C_VerifyFinal", [&]() -> VoidResult {
        if (pSignature == nullptr && ulSignatureLen != 0) {
            return argumentsBad("pSignature is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verifyFinal(bytesOf(pSignature, ulSignatureLen));
        });
    });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_EncryptInit", [&]() -> VoidResult {
        if (pMechanism == nullptr) {
            return argumentsBad("pMechanism is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.encryptInit(*pMechanism, hKey);
        });
    });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen) {
    return initializedBoundary("C_Encrypt", [&]() -> VoidResult {
        if (pulEncryptedDataLen == nullptr) {
            return argumentsBad("pulEncryptedDataLen is NULL");
        }
        if (pData == nullptr && ulDataLen != 0 && pEncryptedData != nullptr) {
            return argumentsBad("pData is NULL");
        }
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            quillet::SignatureBuffer encrypted{pEncryptedData, *pulEncryptedDataLen};
            auto done = session.encrypt(bytesOf(pData, ulDataLen), encrypted);
            if (done || quillet::returnValueOf(done.error()) == CKR_BUFFER_TOO_SMALL) {
                *pulEncryptedDataLen = encrypted.length;
            }
            return done;
        });
    });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_DecryptInit", [&]() -> VoidResult {
        if (pMechanism == nullptr) {
            return argumentsBad("pMechanism is NULL");
        }
        return onSession(hSession,
                         [&](quillet::Pkcs11Session& session) { return session.decryptInit(hKey); });
    });
}

// Everything below is outside what a signing-only token offers.

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
    return notSupported("C_InitToken");
}
CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) {
    return notSupported("C_InitPIN");
}
CK_RV C_SetPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
    return notSupported("C_SetPIN");
}
CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_GetOperationState");
}
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return notSupported("C_SetOperationState");
}
CK_RV C_CreateObject(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_CreateObject");
}
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_CopyObject");
}
CK_RV C_DestroyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) {
    return notSupported("C_DestroyObject");
}
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return notSupported("C_SetAttributeValue");
}
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_EncryptUpdate");
}
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_EncryptFinal");
}
CK_RV C_Decrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_Decrypt");
}
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DecryptUpdate");
}
CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DecryptFinal");
}
CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR) {
    return notSupported("C_DigestInit");
}
CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_Digest");
}
CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) {
    return notSupported("C_DigestUpdate");
}
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) {
    return notSupported("C_DigestKey");
}
CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DigestFinal");
}
CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return notSupported("C_SignRecoverInit");
}
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_SignRecover");
}
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return notSupported("C_VerifyRecoverInit");
}
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_VerifyRecover");
}
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DigestEncryptUpdate");
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DecryptDigestUpdate");
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_SignEncryptUpdate");
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported("C_DecryptVerifyUpdate");
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_GenerateKey");
}
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                        CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_GenerateKeyPair");
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                CK_ULONG_PTR) {
    return notSupported("C_WrapKey");
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                  CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_UnwrapKey");
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
    return notSupported("C_DeriveKey");
}
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return notSupported("C_GetFunctionStatus");
}
CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return notSupported("C_CancelFunction");
}
CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return notSupported("C_WaitForSlotEvent");
}

} // extern "C"

namespace {

CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return boundary("C_GetFunctionList", [&]() -> VoidResult {
        if (ppFunctionList == nullptr) {
            return argumentsBad("ppFunctionList is NULL");
        }
        *ppFunctionList = quillet::functionList();
        return {};
    });
}

} // namespace

namespace quillet {

CK_FUNCTION_LIST* functionList() {
    static CK_FUNCTION_LIST list{
        {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
        C_Initialize,
        C_Finalize,
        C_GetInfo,
        getFunctionList,
        C_GetSlotList,
        C_GetSlotInfo,
        C_GetTokenInfo,
        C_GetMechanismList,
        C_GetMechanismInfo,
        C_InitToken,
        C_InitPIN,
        C_SetPIN,
        C_OpenSession,
        C_CloseSession,
        C_CloseAllSessions,
        C_GetSessionInfo,
        C_GetOperationState,
        C_SetOperationState,
        C_Login,
        C_Logout,
        C_CreateObject,
        C_CopyObject,
        C_DestroyObject,
        C_GetObjectSize,
        C_GetAttributeValue,
        C_SetAttributeValue,
        C_FindObjectsInit,
        C_FindObjects,
        C_FindObjectsFinal,
        C_EncryptInit,
        C_Encrypt,
        C_EncryptUpdate,
        C_EncryptFinal,
        C_DecryptInit,
        C_Decrypt,
        C_DecryptUpdate,
        C_DecryptFinal,
        C_DigestInit,
        C_Digest,
        C_DigestUpdate,
        C_DigestKey,
        C_DigestFinal,
        C_SignInit,
        C_Sign,
        C_SignUpdate,
        C_SignFinal,
        C_SignRecoverInit,
        C_SignRecover,
        C_VerifyInit,
        C_Verify,
        C_VerifyUpdate,
        C_VerifyFinal,
        C_VerifyRecoverInit,
        C_VerifyRecover,
        C_DigestEncryptUpdate,
        C_DecryptDigestUpdate,
        C_SignEncryptUpdate,
        C_DecryptVerifyUpdate,
        C_GenerateKey,
        C_GenerateKeyPair,
        C_WrapKey,
        C_UnwrapKey,
        C_DeriveKey,
        C_SeedRandom,
        C_GenerateRandom,
        C_GetFunctionStatus,
        C_CancelFunction,
        C_WaitForSlotEvent,
    };
    return &list;
}

} // namespace quillet
