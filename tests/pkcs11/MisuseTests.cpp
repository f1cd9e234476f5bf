// Every function with NULL pointers, wrong handles, short buffers and calls out
// of order. None of these reach the service: the registration points nowhere.

#include "Quillet/pkcs11/FunctionList.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace quillet::test {
namespace {

veltora::Configuration unreachableConfiguration() {
    veltora::Configuration configuration;
    configuration.apiUrl = "http://127.0.0.1:1/Api";
    configuration.organizationId = "org";
    configuration.apiToken = "token";
    configuration.timeouts = veltora::TimeoutsConfiguration{1.0f, 0.001f, 1};
    return configuration;
}

// One call and the answer it must get; the name says which call failed.
struct CallRow {
    const char* name;
    std::function<CK_RV()> call;
    CK_RV expected;
};

void expectAnswers(const std::vector<CallRow>& rows) {
    for (const CallRow& row : rows) {
        EXPECT_EQ(row.call(), row.expected) << row.name;
    }
}

TEST(Pkcs11Uninitialised, FunctionListIsVersion240AndComplete) {
    CK_FUNCTION_LIST* f = functionList();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->version.major, 2);
    EXPECT_EQ(f->version.minor, 40);
    const auto* entries = reinterpret_cast<void (*const*)()>(&f->C_Initialize);
    const std::size_t count =
        (sizeof(CK_FUNCTION_LIST) - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
    EXPECT_EQ(count, 68u);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
    EXPECT_EQ(f->C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    CK_FUNCTION_LIST* again = nullptr;
    EXPECT_EQ(f->C_GetFunctionList(&again), CKR_OK);
    EXPECT_EQ(again, f);
}

TEST(Pkcs11Uninitialised, CallsBeforeInitialiseAnswerNotInitialised) {
    CK_FUNCTION_LIST* f = functionList();
    CK_INFO info;
    CK_ULONG count = 0;
    CK_SESSION_HANDLE session = 0;
    expectAnswers({
        {"C_Finalize", [&] { return f->C_Finalize(nullptr); }, CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetInfo", [&] { return f->C_GetInfo(&info); }, CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetSlotList", [&] { return f->C_GetSlotList(CK_FALSE, nullptr, &count); },
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_OpenSession", [&] { return f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session); },
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_CloseSession", [&] { return f->C_CloseSession(1); }, CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_Sign", [&] { return f->C_Sign(1, nullptr, 0, nullptr, &count); }, CKR_CRYPTOKI_NOT_INITIALIZED},
        // Functions the token does not offer say so whatever the state.
        {"C_Decrypt", [&] { return f->C_Decrypt(1, nullptr, 0, nullptr, nullptr); },
         CKR_FUNCTION_NOT_SUPPORTED},
        {"C_WaitForSlotEvent", [&] { return f->C_WaitForSlotEvent(0, nullptr, nullptr); },
         CKR_FUNCTION_NOT_SUPPORTED},
    });
}

TEST(Pkcs11Uninitialised, InitialiseAndFinalizeCheckTheirArguments) {
    CK_FUNCTION_LIST* f = functionList();
    CK_C_INITIALIZE_ARGS arguments{};
    int reserved = 0;
    arguments.pReserved = &reserved;
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_ARGUMENTS_BAD) << "pReserved set";
    arguments = CK_C_INITIALIZE_ARGS{};
    arguments.CreateMutex = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_ARGUMENTS_BAD) << "one mutex function of four";
    // What GnuTLS passes.
    arguments = CK_C_INITIALIZE_ARGS{};
    arguments.flags = CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS;
    EXPECT_EQ(f->C_Initialize(&arguments), CKR_OK);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(f->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

class Pkcs11Misuse : public ModuleTest {
protected:
    void SetUp() override {
        registerToken("misuse", makeCertificate("Misuse"), unreachableConfiguration());
        ModuleTest::SetUp();
        const auto present = slots();
        ASSERT_EQ(present.size(), 1u);
        slot = present[0];
        session = openSession(slot);
        privateKey = findObject(session, CKO_PRIVATE_KEY);
        certificate = findObject(session, CKO_CERTIFICATE);
        publicKey = findObject(session, CKO_PUBLIC_KEY);
    }

    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE privateKey = 0, certificate = 0, publicKey = 0;
};

TEST_F(Pkcs11Misuse, NullPointersAreArgumentsBad) {
    CK_ATTRIBUTE lengthWithoutValue{CKA_LABEL, nullptr, 4};
    expectAnswers({
        {"C_GetInfo", [&] { return functions->C_GetInfo(nullptr); }, CKR_ARGUMENTS_BAD},
        {"C_GetSlotList", [&] { return functions->C_GetSlotList(CK_TRUE, nullptr, nullptr); },
         CKR_ARGUMENTS_BAD},
        {"C_GetSlotInfo", [&] { return functions->C_GetSlotInfo(slot, nullptr); }, CKR_ARGUMENTS_BAD},
        {"C_GetTokenInfo", [&] { return functions->C_GetTokenInfo(slot, nullptr); }, CKR_ARGUMENTS_BAD},
        {"C_GetMechanismList", [&] { return functions->C_GetMechanismList(slot, nullptr, nullptr); },
         CKR_ARGUMENTS_BAD},
        {"C_GetMechanismInfo", [&] { return functions->C_GetMechanismInfo(slot, CKM_RSA_PKCS, nullptr); },
         CKR_ARGUMENTS_BAD},
        {"C_OpenSession",
         [&] { return functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr); },
         CKR_ARGUMENTS_BAD},
        {"C_GetSessionInfo", [&] { return functions->C_GetSessionInfo(session, nullptr); },
         CKR_ARGUMENTS_BAD},
        {"C_GetAttributeValue",
         [&] { return functions->C_GetAttributeValue(session, certificate, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"C_FindObjectsInit", [&] { return functions->C_FindObjectsInit(session, nullptr, 1); },
         CKR_ARGUMENTS_BAD},
        {"C_FindObjectsInit with a length but no value",
         [&] { return functions->C_FindObjectsInit(session, &lengthWithoutValue, 1); }, CKR_ARGUMENTS_BAD},
        {"C_SignInit", [&] { return functions->C_SignInit(session, nullptr, privateKey); },
         CKR_ARGUMENTS_BAD},
    });
}

TEST_F(Pkcs11Misuse, UnknownSlotsAreSlotIdInvalid) {
    const CK_SLOT_ID unknownSlot = slot + 1000;
    CK_ULONG count = 0;
    CK_SESSION_HANDLE opened = 0;
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO tokenInfo;
    expectAnswers({
        {"C_GetSlotInfo", [&] { return functions->C_GetSlotInfo(unknownSlot, &slotInfo); },
         CKR_SLOT_ID_INVALID},
        {"C_GetTokenInfo", [&] { return functions->C_GetTokenInfo(unknownSlot, &tokenInfo); },
         CKR_SLOT_ID_INVALID},
        {"C_GetMechanismList", [&] { return functions->C_GetMechanismList(unknownSlot, nullptr, &count); },
         CKR_SLOT_ID_INVALID},
        {"C_OpenSession",
         [&] { return functions->C_OpenSession(unknownSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &opened); },
         CKR_SLOT_ID_INVALID},
        {"C_CloseAllSessions", [&] { return functions->C_CloseAllSessions(unknownSlot); },
         CKR_SLOT_ID_INVALID},
        {"C_OpenSession without CKF_SERIAL_SESSION",
         [&] { return functions->C_OpenSession(slot, 0, nullptr, nullptr, &opened); },
         CKR_SESSION_PARALLEL_NOT_SUPPORTED},
    });
}

TEST_F(Pkcs11Misuse, UnknownSessionsAreSessionHandleInvalid) {
    const CK_SESSION_HANDLE unknownSession = session + 1000;
    CK_ULONG count = 0;
    CK_SESSION_INFO sessionInfo;
    CK_OBJECT_HANDLE found[4];
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE byte = 0;
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    expectAnswers({
        {"C_CloseSession", [&] { return functions->C_CloseSession(unknownSession); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_GetSessionInfo", [&] { return functions->C_GetSessionInfo(unknownSession, &sessionInfo); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_Login", [&] { return functions->C_Login(unknownSession, CKU_USER, nullptr, 0); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_Logout", [&] { return functions->C_Logout(unknownSession); }, CKR_SESSION_HANDLE_INVALID},
        {"C_FindObjectsInit", [&] { return functions->C_FindObjectsInit(unknownSession, nullptr, 0); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_FindObjects", [&] { return functions->C_FindObjects(unknownSession, found, 4, &count); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_FindObjectsFinal", [&] { return functions->C_FindObjectsFinal(unknownSession); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_SignInit", [&] { return functions->C_SignInit(unknownSession, &mechanism, privateKey); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_Sign", [&] { return functions->C_Sign(unknownSession, &byte, 1, nullptr, &count); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_SignUpdate", [&] { return functions->C_SignUpdate(unknownSession, &byte, 1); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_SignFinal", [&] { return functions->C_SignFinal(unknownSession, nullptr, &count); },
         CKR_SESSION_HANDLE_INVALID},
        {"C_GetAttributeValue",
         [&] { return functions->C_GetAttributeValue(unknownSession, certificate, &label, 1); },
         CKR_SESSION_HANDLE_INVALID},
    });
}

TEST_F(Pkcs11Misuse, UnknownObjectsMechanismsAndUsersAreRefused) {
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    CK_MECHANISM_INFO mechanismInfo;
    expectAnswers({
        {"C_GetAttributeValue of an unknown object",
         [&] { return functions->C_GetAttributeValue(session, certificate + 100, &label, 1); },
         CKR_OBJECT_HANDLE_INVALID},
        {"C_GetAttributeValue of CK_INVALID_HANDLE",
         [&] { return functions->C_GetAttributeValue(session, CK_INVALID_HANDLE, &label, 1); },
         CKR_OBJECT_HANDLE_INVALID},
        {"C_GetMechanismInfo of CKM_MD5",
         [&] { return functions->C_GetMechanismInfo(slot, CKM_MD5, &mechanismInfo); }, CKR_MECHANISM_INVALID},
        {"C_Login of an unknown user type", [&] { return functions->C_Login(session, 42, nullptr, 0); },
         CKR_USER_TYPE_INVALID},
        {"C_Logout without C_Login", [&] { return functions->C_Logout(session); }, CKR_USER_NOT_LOGGED_IN},
    });
}

TEST_F(Pkcs11Misuse, ClosedSessionsAreGone) {
    CK_SESSION_INFO sessionInfo;
    EXPECT_EQ(functions->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(functions->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
    // So are all of a slot's.
    const CK_SESSION_HANDLE first = openSession(slot);
    const CK_SESSION_HANDLE second = openSession(slot);
    EXPECT_NE(first, second);
    EXPECT_EQ(functions->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(functions->C_GetSessionInfo(first, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(functions->C_GetSessionInfo(second, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Pkcs11Misuse, ShortBuffersAndListsAnswerTheNeededSize) {
    CK_SLOT_ID slotList[1];
    CK_ULONG count = 0;
    EXPECT_EQ(functions->C_GetSlotList(CK_TRUE, slotList, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);

    CK_MECHANISM_TYPE mechanisms[3];
    count = 2;
    EXPECT_EQ(functions->C_GetMechanismList(slot, mechanisms, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(functions->C_GetMechanismList(slot, mechanisms, &count), CKR_OK);
    EXPECT_EQ(mechanisms[0], CKM_RSA_PKCS);

    CK_BYTE small[4];
    CK_ATTRIBUTE value{CKA_VALUE, small, sizeof small};
    EXPECT_EQ(functions->C_GetAttributeValue(session, certificate, &value, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(value.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // Signing: a size query (data may be NULL) and a short buffer keep the operation.
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    EXPECT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(functions->C_Sign(session, nullptr, 10, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    count = 0;
    EXPECT_EQ(functions->C_Sign(session, nullptr, 10, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 256u);
    CK_BYTE signature[256];
    CK_BYTE data[3] = {1, 2, 3};
    count = 255;
    EXPECT_EQ(functions->C_Sign(session, data, 3, signature, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(functions->C_Sign(session, nullptr, 3, signature, &count), CKR_ARGUMENTS_BAD);
    count = 0;
    EXPECT_EQ(functions->C_SignFinal(session, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 256u);
    count = 1;
    EXPECT_EQ(functions->C_SignFinal(session, signature, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 256u);
    // Parts, then C_Sign: refused, and the operation is over.
    EXPECT_EQ(functions->C_SignUpdate(session, data, 3), CKR_OK);
    EXPECT_EQ(functions->C_Sign(session, data, 3, signature, &count), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(functions->C_SignUpdate(session, data, 3), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(Pkcs11Misuse, SignInitAndRsaPkcsInputsAreChecked) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE signature[256];
    CK_ULONG length = sizeof signature;
    CK_BYTE data[300] = {};

    EXPECT_EQ(functions->C_Sign(session, data, 10, signature, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_SignUpdate(session, data, 10), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_SignFinal(session, signature, &length), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_SignInit(session, &mechanism, certificate), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(functions->C_SignInit(session, &mechanism, publicKey), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(functions->C_SignInit(session, &mechanism, privateKey + 1000), CKR_KEY_HANDLE_INVALID);
    CK_MECHANISM other{CKM_SHA512_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(functions->C_SignInit(session, &other, privateKey), CKR_MECHANISM_INVALID);
    CK_ULONG parameter = 1;
    CK_MECHANISM withParameter{CKM_RSA_PKCS, &parameter, sizeof parameter};
    EXPECT_EQ(functions->C_SignInit(session, &withParameter, privateKey), CKR_MECHANISM_PARAM_INVALID);

    // Not a DigestInfo: refused before any request, and the operation ends.
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    EXPECT_EQ(functions->C_Sign(session, data, 32, signature, &length), CKR_DATA_INVALID);
    EXPECT_EQ(functions->C_Sign(session, data, 32, signature, &length), CKR_OPERATION_NOT_INITIALIZED);
    Bytes almost = sha256DigestInfo(Bytes(32, 7));
    almost[3] = 0x0c;
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    EXPECT_EQ(functions->C_Sign(session, almost.data(), almost.size(), signature, &length), CKR_DATA_INVALID);
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    EXPECT_EQ(functions->C_Sign(session, data, sizeof data, signature, &length), CKR_DATA_LEN_RANGE);
    // Single-part only; the failed update ends the operation.
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    EXPECT_EQ(functions->C_SignUpdate(session, data, 51), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(functions->C_SignFinal(session, signature, &length), CKR_OPERATION_NOT_INITIALIZED);

    // The service is unreachable: a transport failure.
    const Bytes digestInfo = sha256DigestInfo(sha256({1, 2, 3}));
    ASSERT_EQ(functions->C_SignInit(session, &mechanism, privateKey), CKR_OK);
    length = sizeof signature;
    EXPECT_EQ(functions->C_Sign(session, const_cast<CK_BYTE*>(digestInfo.data()), digestInfo.size(),
                                signature, &length),
              CKR_DEVICE_ERROR);
    EXPECT_EQ(functions->C_Sign(session, const_cast<CK_BYTE*>(digestInfo.data()), digestInfo.size(),
                                signature, &length),
              CKR_OPERATION_NOT_INITIALIZED);
}

} // namespace
} // namespace quillet::test
