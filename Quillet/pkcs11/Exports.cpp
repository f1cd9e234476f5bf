// The functions of the C boundary that the token offers.

#include "Quillet/pkcs11/Boundary.h"
#include "Quillet/platform/CryptoContext.h"

#include <algorithm>
#include <span>
#include <vector>

using quillet::argumentsBadIf;
using quillet::boundary;
using quillet::ckError;
using quillet::initializedBoundary;
using quillet::Module;
using quillet::VoidResult;

namespace {

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
    VELTORA_ASSIGN_OR_RETURN(*target, std::move(value));
    return {};
}

// Runs one call on an open session.
template <class Call> VoidResult onSession(CK_SESSION_HANDLE handle, Call&& call) {
    VELTORA_ASSIGN_OR_RETURN(const auto session, Module::instance().session(handle));
    return call(*session);
}

// Runs one call on an open session that fills the caller's output buffer; the
// length is answered on success and when the buffer was too small.
template <class Call>
VoidResult fillOnSession(CK_SESSION_HANDLE handle, CK_BYTE_PTR bytes, CK_ULONG_PTR length, Call&& call) {
    return onSession(handle, [&](quillet::Pkcs11Session& session) {
        quillet::SignatureBuffer buffer{bytes, *length};
        auto filled = call(session, buffer);
        if (filled || quillet::returnValueOf(filled.error()) == CKR_BUFFER_TOO_SMALL) {
            *length = buffer.length;
        }
        return filled;
    });
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
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pReserved != nullptr, "pReserved must be NULL"));
        return Module::instance().finalize();
    });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return initializedBoundary("C_GetInfo", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pInfo == nullptr, "pInfo is NULL"));
        return answerValue(Module::instance().info(), pInfo);
    });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return initializedBoundary("C_GetSlotList", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pulCount == nullptr, "pulCount is NULL"));
        VELTORA_ASSIGN_OR_RETURN(const auto slots, Module::instance().slotList(tokenPresent != CK_FALSE));
        return answerList(slots, pSlotList, pulCount);
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return initializedBoundary("C_GetSlotInfo", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pInfo == nullptr, "pInfo is NULL"));
        return answerValue(Module::instance().slotInfo(slotID), pInfo);
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return initializedBoundary("C_GetTokenInfo", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pInfo == nullptr, "pInfo is NULL"));
        return answerValue(Module::instance().tokenInfo(slotID), pInfo);
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    return initializedBoundary("C_GetMechanismList", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pulCount == nullptr, "pulCount is NULL"));
        VELTORA_ASSIGN_OR_RETURN(const auto mechanisms, Module::instance().mechanismList(slotID));
        return answerList(mechanisms, pMechanismList, pulCount);
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return initializedBoundary("C_GetMechanismInfo", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pInfo == nullptr, "pInfo is NULL"));
        return answerValue(Module::instance().mechanismInfo(slotID, type), pInfo);
    });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR phSession) {
    return initializedBoundary("C_OpenSession", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(phSession == nullptr, "phSession is NULL"));
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
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pInfo == nullptr, "pInfo is NULL"));
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
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(!isValidTemplate(pTemplate, ulCount), "pTemplate is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.getAttributeValue(hObject, spanOf(pTemplate, ulCount));
        });
    });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return initializedBoundary("C_GetObjectSize", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pulSize == nullptr, "pulSize is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return answerValue(session.objectSize(hObject), pulSize);
        });
    });
}

// Randomness comes from this process's OpenSSL, not from the service.
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return initializedBoundary("C_GenerateRandom", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(
            argumentsBadIf(pRandomData == nullptr && ulRandomLen != 0, "pRandomData is NULL"));
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
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(!isValidTemplate(pTemplate, ulCount), "pTemplate is NULL"));
        const auto search = spanOf(static_cast<const CK_ATTRIBUTE*>(pTemplate), ulCount);
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(std::any_of(search.begin(), search.end(),
                                                           [](const CK_ATTRIBUTE& wanted) {
                                                               return wanted.pValue == nullptr &&
                                                                      wanted.ulValueLen != 0;
                                                           }),
                                               "a template attribute has a length but no value"));
        return onSession(hSession,
                         [&](quillet::Pkcs11Session& session) { return session.findObjectsInit(search); });
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    return initializedBoundary("C_FindObjects", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(phObject == nullptr || pulObjectCount == nullptr,
                                               "phObject or pulObjectCount is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) -> VoidResult {
            VELTORA_ASSIGN_OR_RETURN(const auto found, session.findObjects(ulMaxObjectCount));
            std::copy(found.begin(), found.end(), phObject);
            *pulObjectCount = found.size();
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
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pMechanism == nullptr, "pMechanism is NULL"));
        return onSession(
            hSession, [&](quillet::Pkcs11Session& session) { return session.signInit(*pMechanism, hKey); });
    });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
    return initializedBoundary("C_Sign", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pulSignatureLen == nullptr, "pulSignatureLen is NULL"));
        // A length query may leave the data out.
        VELTORA_RETURN_IF_ERROR(
            argumentsBadIf(pData == nullptr && ulDataLen != 0 && pSignature != nullptr, "pData is NULL"));
        return fillOnSession(hSession, pSignature, pulSignatureLen, [&](auto& session, auto& signature) {
            return session.sign(bytesOf(pData, ulDataLen), signature);
        });
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return initializedBoundary("C_SignUpdate", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pPart == nullptr && ulPartLen != 0, "pPart is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.signUpdate(bytesOf(pPart, ulPartLen));
        });
    });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return initializedBoundary("C_SignFinal", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pulSignatureLen == nullptr, "pulSignatureLen is NULL"));
        return fillOnSession(hSession, pSignature, pulSignatureLen,
                             [](auto& session, auto& signature) { return session.signFinal(signature); });
    });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_VerifyInit", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pMechanism == nullptr, "pMechanism is NULL"));
        return onSession(
            hSession, [&](quillet::Pkcs11Session& session) { return session.verifyInit(*pMechanism, hKey); });
    });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    return initializedBoundary("C_Verify", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf((pData == nullptr && ulDataLen != 0) ||
                                                   (pSignature == nullptr && ulSignatureLen != 0),
                                               "pData or pSignature is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verify(bytesOf(pData, ulDataLen), bytesOf(pSignature, ulSignatureLen));
        });
    });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return initializedBoundary("C_VerifyUpdate", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pPart == nullptr && ulPartLen != 0, "pPart is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verifyUpdate(bytesOf(pPart, ulPartLen));
        });
    });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return initializedBoundary("C_VerifyFinal", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(
            argumentsBadIf(pSignature == nullptr && ulSignatureLen != 0, "pSignature is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.verifyFinal(bytesOf(pSignature, ulSignatureLen));
        });
    });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_EncryptInit", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pMechanism == nullptr, "pMechanism is NULL"));
        return onSession(hSession, [&](quillet::Pkcs11Session& session) {
            return session.encryptInit(*pMechanism, hKey);
        });
    });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen) {
    return initializedBoundary("C_Encrypt", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(
            argumentsBadIf(pulEncryptedDataLen == nullptr, "pulEncryptedDataLen is NULL"));
        VELTORA_RETURN_IF_ERROR(
            argumentsBadIf(pData == nullptr && ulDataLen != 0 && pEncryptedData != nullptr, "pData is NULL"));
        return fillOnSession(hSession, pEncryptedData, pulEncryptedDataLen,
                             [&](auto& session, auto& encrypted) {
                                 return session.encrypt(bytesOf(pData, ulDataLen), encrypted);
                             });
    });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return initializedBoundary("C_DecryptInit", [&]() -> VoidResult {
        VELTORA_RETURN_IF_ERROR(argumentsBadIf(pMechanism == nullptr, "pMechanism is NULL"));
        return onSession(hSession,
                         [&](quillet::Pkcs11Session& session) { return session.decryptInit(hKey); });
    });
}

} // extern "C"
