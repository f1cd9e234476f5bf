// A client application that signs through the built module while the fault
// tests break things around it. Prints "rv <hex> ..." and "ms <n> ..." for the
// answers it got and how long each took, and "exiting" just before it calls
// exit() in the middle of signing.
//
//   quillet-fault-client sign                       one signature
//   quillet-fault-client thread-start-fails         one with thread starts failing, one without
//   quillet-fault-client exit-while-signing N MS [finalize]
//                                                   N threads sign; exit() after MS milliseconds,
//                                                   with C_Finalize just before it if asked
//   quillet-fault-client unload                     one signature, C_Finalize, dlclose, fork

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "tests/support/PrivateKeyLookup.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> failThreadStarts{false};

void* module = nullptr;

CK_FUNCTION_LIST* loadModule() {
    module = dlopen(VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        std::exit(2);
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* functions = nullptr;
    if (getFunctionList == nullptr || getFunctionList(&functions) != CKR_OK ||
        functions->C_Initialize(nullptr) != CKR_OK) {
        std::exit(3);
    }
    return functions;
}

CK_SESSION_HANDLE openSession(CK_FUNCTION_LIST* functions) {
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (functions->C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1 ||
        functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        std::exit(4);
    }
    return session;
}

CK_RV sign(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session) {
    const CK_OBJECT_HANDLE key = veltora::test::privateKeyOf(functions, session);
    if (key == CK_INVALID_HANDLE) {
        return CKR_GENERAL_ERROR;
    }
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    if (const CK_RV rv = functions->C_SignInit(session, &mechanism, key); rv != CKR_OK) {
        return rv;
    }
    CK_BYTE data[] = "to be signed";
    CK_BYTE signature[1024];
    CK_ULONG length = sizeof signature;
    return functions->C_Sign(session, data, sizeof data, signature, &length);
}

struct Answer {
    CK_RV rv;
    long long milliseconds;
};

Answer timedSign(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session) {
    const auto start = std::chrono::steady_clock::now();
    const CK_RV rv = sign(functions, session);
    const auto took = std::chrono::steady_clock::now() - start;
    return Answer{rv, std::chrono::duration_cast<std::chrono::milliseconds>(took).count()};
}

void printAnswers(const std::vector<Answer>& answers) {
    std::printf("rv");
    for (const Answer& answer : answers) {
        std::printf(" 0x%lx", answer.rv);
    }
    std::printf("\nms");
    for (const Answer& answer : answers) {
        std::printf(" %lld", answer.milliseconds);
    }
    std::printf("\n");
}

int exitWhileSigning(int threads, int milliseconds, bool finalizeFirst) {
    CK_FUNCTION_LIST* functions = loadModule();
    for (int i = 0; i < threads; ++i) {
        const CK_SESSION_HANDLE session = openSession(functions);
        std::thread([functions, session] {
            while (sign(functions, session) == CKR_OK) {
            }
        }).detach();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    std::printf("exiting\n");
    std::fflush(stdout);
    if (finalizeFirst) {
        functions->C_Finalize(nullptr);
    }
    std::exit(0);
}

} // namespace

// Fails with EAGAIN, as at the process's thread limit, while failThreadStarts is set.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (failThreadStarts.load()) {
        return EAGAIN;
    }
    return next(thread, attributes, start, argument);
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exit-while-signing" && (argc == 4 || argc == 5)) {
        return exitWhileSigning(std::atoi(argv[2]), std::atoi(argv[3]), argc == 5);
    }
    if (mode != "sign" && mode != "thread-start-fails" && mode != "unload") {
        std::fprintf(stderr, "usage: see the head of FaultClient.cpp\n");
        return 1;
    }
    CK_FUNCTION_LIST* functions = loadModule();
    const CK_SESSION_HANDLE session = openSession(functions);
    std::vector<Answer> answers;
    if (mode == "thread-start-fails") {
        failThreadStarts.store(true);
        answers.push_back(timedSign(functions, session));
        failThreadStarts.store(false);
    }
    answers.push_back(timedSign(functions, session));
    printAnswers(answers);
    if (functions->C_Finalize(nullptr) != CKR_OK) {
        return 5;
    }
    if (mode == "unload") {
        // Nothing of the module may be left running, allocated, or called at fork.
        if (dlclose(module) != 0) {
            return 6;
        }
        const pid_t child = fork();
        if (child == 0) {
            _exit(0);
        }
        int status = -1;
        return waitpid(child, &status, 0) == child && status == 0 ? 0 : 7;
    }
    return 0;
}
