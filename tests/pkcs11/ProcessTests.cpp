// The module in the life of a process: fork, unloading, exit, exported symbols.

#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"
#include "tests/support/TestCertificates.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quillet::test {
namespace {

using veltora::test::EmulatorProcess;

const std::string kModulePath = std::string(VELTORA_BINARY_DIR) + "/lib/quillet-pkcs11.so";

// Runs the function in a child process and returns its exit status. The log
// threads are idle first: AddressSanitizer's allocator is not safe to fork
// while another thread is inside it.
template <class Body> int inChild(Body body) {
    veltora::DDLog::sharedInstance().flushLog();
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Pkcs11Fork : public ModuleTest {
protected:
    // What a child does: the parent's session is gone, the module starts afresh and signs.
    int initialiseAndSignInChild(CK_SESSION_HANDLE parentSession, const Bytes& certificate) {
        CK_ULONG count = 0;
        if (functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED ||
            functions->C_CloseSession(parentSession) != CKR_CRYPTOKI_NOT_INITIALIZED) {
            return 1;
        }
        if (functions->C_Initialize(nullptr) != CKR_OK) {
            return 2;
        }
        CK_SLOT_ID slot = 0;
        count = 1;
        CK_SESSION_HANDLE session = 0;
        if (functions->C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1 ||
            functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
            return 3;
        }
        Bytes signature;
        if (sign(session, CKM_SHA256_RSA_PKCS, Bytes{'c'}, signature) != CKR_OK ||
            !verifiesDigest(certificate, sha256(Bytes{'c'}), true, signature)) {
            return 4;
        }
        return functions->C_Finalize(nullptr) == CKR_OK ? 0 : 5;
    }

    EmulatorProcess emulator;
};

TEST_F(Pkcs11Fork, ChildInitialisesAfreshAndSigns) {
    const Bytes certificate = policyCertificate(emulator, "policy-id-1");
    registerToken("policy-id-1", certificate, emulatorConfiguration(emulator));
    const CK_SESSION_HANDLE parentSession = openSession(slots()[0]);

    const int status = inChild([&] { return initialiseAndSignInChild(parentSession, certificate); });
    EXPECT_EQ(status, 0);

    // The parent's session is untouched.
    Bytes signature;
    EXPECT_EQ(sign(parentSession, CKM_SHA256_RSA_PKCS, Bytes{'p'}, signature), CKR_OK);
}

// The children are forked while the parent's signatures are under way: its
// threads wait in C_Sign for a service that holds their requests. Only then:
// AddressSanitizer's allocator (GCC 12) takes no lock around fork, so a thread
// inside malloc at the fork leaves the child hung in its next malloc.
TEST_F(Pkcs11Fork, ChildrenForkedWhileThreadsSignNeverHang) {
    constexpr int kSigners = 4;
    auto holding = std::make_unique<EmulatorProcess>(
        std::vector<std::string>{"--script", "signing=hang*" + std::to_string(kSigners)});
    const Bytes certificate = policyCertificate(*holding, "policy-id-1");
    veltora::Configuration record = emulatorConfiguration(*holding);
    record.timeouts = veltora::TimeoutsConfiguration{300.0f, 0.001f, 1};
    registerToken("policy-id-1", certificate, record);
    holding->clearRequests();
    const CK_SLOT_ID slot = slots()[0];
    const CK_SESSION_HANDLE parentSession = openSession(slot);
    std::vector<std::future<CK_RV>> signers;
    for (int i = 0; i < kSigners; ++i) {
        signers.push_back(std::async(std::launch::async, [this, session = openSession(slot)] {
            Bytes signature;
            return sign(session, CKM_SHA256_RSA_PKCS, Bytes{'p'}, signature);
        }));
    }
    for (int i = 0; i < 1000 && holding->requests().size() < kSigners; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(holding->requests().size(), kSigners);

    // Far longer than a child takes, even under the sanitizers on a busy machine.
    constexpr unsigned kChildLimitSeconds = 20;
    constexpr int kForks = 200;
    const auto start = std::chrono::steady_clock::now();
    int hung = 0;
    int failed = 0;
    for (int i = 0; i < kForks; ++i) {
        const int status = inChild([&] {
            alarm(kChildLimitSeconds);
            return initialiseAndSignInChild(parentSession, certificate);
        });
        hung += status == 128 + SIGALRM ? 1 : 0;
        failed += status != 0 ? 1 : 0;
    }
    std::printf("%d forks while %d signatures were under way: %.1f s\n", kForks, kSigners,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(failed, 0);

    // The parent's signatures were never answered: they fail when the service goes.
    holding.reset();
    for (auto& signer : signers) {
        EXPECT_EQ(signer.get(), CKR_DEVICE_ERROR);
    }
}

// Run only as a fresh process started by the test below (a forked copy of this
// one would carry the parent's allocations into the leak check at exit).
TEST(Pkcs11ModuleLoad, LoadsUsesAndEndsTheProcess) {
    const char* mode = std::getenv("QUILLET_LOAD_MODE");
    if (mode == nullptr) {
        GTEST_SKIP() << "started by Pkcs11Process.LoadedModuleUnloadsAndExitsCleanly";
    }
    void* module = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    ASSERT_NE(getFunctionList, nullptr);
    CK_FUNCTION_LIST* list = nullptr;
    ASSERT_EQ(getFunctionList(&list), CKR_OK);
    ASSERT_EQ(list->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(list->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    if (std::string(mode) == "finalize") {
        ASSERT_EQ(list->C_Finalize(nullptr), CKR_OK);
        ASSERT_EQ(dlclose(module), 0);
        // Nothing of the unloaded module may run at fork.
        const pid_t child = fork();
        if (child == 0) {
            _exit(0);
        }
        int status = 1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0);
    }
    // Like the OpenSSL engine, "exit" ends the process with the module still initialised.
    std::exit(0);
}

TEST(Pkcs11Process, LoadedModuleUnloadsAndExitsCleanly) {
    std::array<char, 4096> self{};
    ASSERT_GT(readlink("/proc/self/exe", self.data(), self.size() - 1), 0);
    TemporaryStore store;
    // A registration to decode: what the module keeps of it must go with C_Finalize.
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
    registerToken("policy", selfSigned(key.get(), "Unloaded"), veltora::Configuration{});
    for (const char* mode : {"finalize", "exit"}) {
        const std::string command = std::string("QUILLET_LOAD_MODE=") + mode + " " + self.data() +
                                    " --gtest_filter=Pkcs11ModuleLoad.* > /dev/null 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mode;
    }
}

TEST(Pkcs11Process, OnlyTheStandardFunctionsAreExported) {
    const std::string command = "nm -D --defined-only " + kModulePath;
    const std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    ASSERT_TRUE(pipe);
    std::vector<std::string> symbols;
    std::array<char, 512> line{};
    while (std::fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        std::string text(line.data());
        text.erase(text.find_last_not_of("\r\n") + 1);
        symbols.push_back(text.substr(text.find_last_of(' ') + 1));
    }
    EXPECT_THAT(symbols, ::testing::Contains("C_GetFunctionList"));
    EXPECT_THAT(symbols, ::testing::Contains("C_Sign"));
    for (const auto& symbol : symbols) {
        EXPECT_TRUE(symbol.starts_with("C_")) << symbol;
    }
}

} // namespace
} // namespace quillet::test
