// Answers too large to take, and large error bodies, seen by a fresh process
// that loads the built module as applications do: the process's memory, the
// time to the answer and the log file it leaves are what is measured.

#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using veltora::test::EmulatorProcess;

constexpr const char* kChildVariable = "QUILLET_ANSWER_CHILD";

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The built module's first token, one session and its private key.
struct LoadedToken {
    CK_FUNCTION_LIST* list = nullptr;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
};

LoadedToken loadModule() {
    LoadedToken token;
    void* module = dlopen(VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
    const auto getFunctionList =
        module != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))
                          : nullptr;
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search{CKA_CLASS, &keyClass, sizeof keyClass};
    if (getFunctionList == nullptr || getFunctionList(&token.list) != CKR_OK ||
        token.list->C_Initialize(nullptr) != CKR_OK ||
        token.list->C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1 ||
        token.list->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &token.session) != CKR_OK ||
        token.list->C_FindObjectsInit(token.session, &search, 1) != CKR_OK ||
        token.list->C_FindObjects(token.session, &token.key, 1, &count) != CKR_OK || count != 1 ||
        token.list->C_FindObjectsFinal(token.session) != CKR_OK) {
        token.list = nullptr;
    }
    return token;
}

CK_RV signOnce(const LoadedToken& token) {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[] = {'a'};
    std::array<CK_BYTE, 512> signature{};
    CK_ULONG length = signature.size();
    const CK_RV initialised = token.list->C_SignInit(token.session, &mechanism, token.key);
    return initialised != CKR_OK
               ? initialised
               : token.list->C_Sign(token.session, data, sizeof data, signature.data(), &length);
}

// Run only in the process started by runChild: signs twice, the service's
// script decides the answers, and reports the second signature's figures.
TEST(Pkcs11AnswerChild, SignsTwiceAndReports) {
    if (std::getenv(kChildVariable) == nullptr) {
        GTEST_SKIP() << "started by the Pkcs11Answers tests";
    }
    const LoadedToken token = loadModule();
    ASSERT_NE(token.list, nullptr);
    const CK_RV first = signOnce(token);
    const long peakBefore = peakResidentKiB();
    const auto started = std::chrono::steady_clock::now();
    const CK_RV second = signOnce(token);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    std::printf(
        "first=%lu second=%lu ms=%lld grown_kib=%ld\n", first, second,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
        peakResidentKiB() - peakBefore);
    std::fflush(stdout);
    ASSERT_EQ(token.list->C_Finalize(nullptr), CKR_OK);
    std::exit(0);
}

struct ChildReport {
    int status = -1;
    CK_RV first = 0, second = 0;
    long long milliseconds = -1;
    long grownKiB = -1;
};

// Starts this program as the child above, with the store and logs of the test.
ChildReport runChild(const std::string& logDirectory) {
    std::array<char, 4096> self{};
    if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0) {
        return {};
    }
    // The module's own configuration (organization and token) serves its log set-up only.
    const std::string command = std::string(kChildVariable) +
                                "=1 VELTORA_ORGANIZATION_ID=org VELTORA_API_TOKEN=token "
                                "VELTORA_LOG_FILE_DIRECTORY=" +
                                logDirectory + " " + self.data() +
                                " --gtest_filter=Pkcs11AnswerChild.* 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    ChildReport report;
    std::array<char, 512> line{};
    while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
        unsigned long first = 0, second = 0;
        if (std::sscanf(line.data(), "first=%lu second=%lu ms=%lld grown_kib=%ld", &first, &second,
                        &report.milliseconds, &report.grownKiB) == 4) {
            report.first = first;
            report.second = second;
        }
    }
    const int status = pclose(pipe);
    report.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return report;
}

// Every log file's text, one after the other.
std::string logText(const fs::path& directory) {
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) {
            std::ifstream file(entry.path(), std::ios::binary);
            text += std::string(std::istreambuf_iterator<char>(file), {});
        }
    }
    return text;
}

class Pkcs11Answers : public ::testing::Test {
protected:
    void SetUp() override {
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      emulatorConfiguration(emulator));
        logs = fs::path(store.path()) / "logs";
    }

    TemporaryStore store;
    EmulatorProcess emulator;
    fs::path logs;
};

TEST_F(Pkcs11Answers, AnOversizedAnswerIsRefusedAtOnceWithMemoryBounded) {
    emulator.script("signing", "ok,large-body:20971520"); // 20 MiB
    const ChildReport report = runChild(logs.string());
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.first, CKR_OK);
    EXPECT_EQ(report.second, CKR_DEVICE_ERROR);
    EXPECT_GE(report.milliseconds, 0);
    EXPECT_LT(report.milliseconds, 2000);
    // Taking the answer whole costs several times its size.
    EXPECT_GE(report.grownKiB, 0);
    EXPECT_LT(report.grownKiB, 16 * 1024);
    RecordProperty("milliseconds", std::to_string(report.milliseconds));
    RecordProperty("grown_kib", std::to_string(report.grownKiB));
    EXPECT_THAT(logText(logs), HasSubstr("C_Sign failed with CKR_DEVICE_ERROR: libcurl 63: libcurl error 63: "
                                         "Maximum file size exceeded (the answer is larger than the "
                                         "bound of 65536 bytes)"));
}

TEST_F(Pkcs11Answers, ALargeErrorBodyIsLoggedAsAnExcerptWithTheCountLeftOut) {
    // 60000 bytes, under the signing bound: 4095 bytes (1365 three-byte
    // characters) fit in the 4 KiB excerpt, 55905 are left out.
    emulator.script("signing", "ok,500:utf8-bytes-60000");
    const ChildReport report = runChild(logs.string());
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.second, CKR_DEVICE_ERROR);

    const std::string text = logText(logs);
    EXPECT_LT(text.size(), 60000u); // the body is in no line whole
    std::string excerpt;
    for (int i = 0; i < 1365; ++i) {
        excerpt += "\xE2\x82\xAC";
    }
    excerpt += "... (55905 bytes left out)";
    std::istringstream lines(text);
    std::string line;
    int found = 0;
    while (std::getline(lines, line)) {
        if (line.find("HTTP Request failed with status code 500 " + excerpt) != std::string::npos ||
            line.find(
                "C_Sign failed with CKR_DEVICE_ERROR: RetryableHttpClient 500: HTTP request failed with "
                "status code 500 " +
                excerpt) != std::string::npos) {
            ++found;
        }
    }
    EXPECT_EQ(found, 2);
}

} // namespace
} // namespace quillet::test
