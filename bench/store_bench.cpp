// The registration store's cost as the module sees it, with many tokens
// registered. BM_StoreSlotList: C_Initialize plus C_GetSlotList over 2,000
// registrations the module has not read before ("initialize"), and a repeated
// C_GetSlotList with the store unchanged ("repeat"), beside a bare read of the
// same 2,000 files ("raw"). BM_StoreSignRead: the store work of one signature,
// looking up one registration by its instance ID, in a store of 10 and of
// 2,000 registrations, beside a bare read of that one file ("raw"): it should
// not grow with the store.

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/platform/TokenStore.h"
#include "bench/InterleavedRun.h"
#include "bench/LoadedModule.h"
#include "tests/support/TestCertificates.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using quillet::TKTokenDriverConfiguration;
using veltora::bench::moduleFunctions;

constexpr int kManyRegistrations = 2000;
constexpr int kFewRegistrations = 10;

std::string instanceIDOf(int index) {
    return "policy-" + std::to_string(index);
}

// A store directory of `count` registrations, written once and removed at exit.
class Store {
public:
    explicit Store(int count)
        : root_(std::filesystem::temp_directory_path() /
                ("quillet-store-bench-" + std::to_string(getpid()) + "-" + std::to_string(count))),
          driver_(TKTokenDriverConfiguration::quilletClassID,
                  root_ / TKTokenDriverConfiguration::quilletClassID) {
        const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
        const std::vector<std::uint8_t> der = quillet::test::selfSigned(key.get(), "Store Bench");
        const std::string json = R"({"apiUrl":"https://127.0.0.1:1","organizationId":"o","apiToken":"t"})";
        for (int index = 0; index < count; ++index) {
            const std::string id = instanceIDOf(index);
            auto registration = driver_.addTokenConfigurationForTokenInstanceID(id);
            auto certificate = quillet::TKTokenKeychainCertificate::make(der, id);
            auto keyItem = quillet::TKTokenKeychainKey::make(der, id);
            if (!registration || !certificate || !keyItem ||
                !registration.value()->setConfigurationData(
                    std::vector<std::uint8_t>(json.begin(), json.end())) ||
                !registration.value()->setKeychainItems(std::move(certificate).value(),
                                                        std::move(keyItem).value())) {
                throw std::runtime_error("cannot write the registrations");
            }
        }
    }
    ~Store() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    const std::filesystem::path& root() const { return root_; }
    const TKTokenDriverConfiguration& driver() const { return driver_; }
    std::filesystem::path fileOf(const std::string& instanceID) const {
        return root_ / TKTokenDriverConfiguration::quilletClassID /
               quillet::TokenStore::fileNameFor(instanceID);
    }

private:
    std::filesystem::path root_;
    TKTokenDriverConfiguration driver_;
};

Store& store(int count) {
    static std::map<int, std::unique_ptr<Store>> stores;
    auto& kept = stores[count];
    if (!kept) {
        kept = std::make_unique<Store>(count);
    }
    return *kept;
}

std::size_t readFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 16384> buffer{};
    std::size_t total = 0;
    for (ssize_t count = 0; fd >= 0 && (count = ::read(fd, buffer.data(), buffer.size())) > 0;) {
        total += static_cast<std::size_t>(count);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return total;
}

CK_ULONG slotCount(CK_FUNCTION_LIST* functions) {
    CK_ULONG count = 0;
    return functions->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK ? count : 0;
}

enum class Listing { raw, initialize, repeat };

void slotList(benchmark::State& state, Listing listing) {
    const Store& target = store(kManyRegistrations);
    setenv("VELTORA_TOKEN_STORE", target.root().c_str(), 1);
    CK_FUNCTION_LIST* functions = moduleFunctions();
    functions->C_Finalize(nullptr);
    functions->C_Initialize(nullptr);
    for (auto _ : state) {
        std::size_t seen = 0;
        switch (listing) {
        case Listing::raw:
            for (int index = 0; index < kManyRegistrations; ++index) {
                seen += readFile(target.fileOf(instanceIDOf(index))) > 0 ? 1 : 0;
            }
            break;
        case Listing::initialize:
            state.PauseTiming();
            functions->C_Finalize(nullptr); // forgets everything read before
            state.ResumeTiming();
            functions->C_Initialize(nullptr);
            seen = slotCount(functions);
            break;
        case Listing::repeat:
            seen = slotCount(functions);
            break;
        }
        if (seen != kManyRegistrations) {
            state.SkipWithError("not every registration was seen");
            break;
        }
    }
    functions->C_Finalize(nullptr);
}

void signRead(benchmark::State& state, int registrations) {
    const Store& target = store(registrations == 0 ? kFewRegistrations : registrations);
    const std::string id = instanceIDOf(kFewRegistrations / 2);
    for (auto _ : state) {
        if (registrations == 0) {
            benchmark::DoNotOptimize(readFile(target.fileOf(id)));
            continue;
        }
        if (!target.driver().tokenConfiguration(id)) {
            state.SkipWithError("the registration was not found");
            break;
        }
    }
}

void registerAll() {
    benchmark::RegisterBenchmark("BM_StoreSlotList/raw", slotList, Listing::raw)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_StoreSlotList/initialize", slotList, Listing::initialize)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_StoreSlotList/repeat", slotList, Listing::repeat)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_StoreSignRead/raw", signRead, 0)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_StoreSignRead/10registrations", signRead, kFewRegistrations)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_StoreSignRead/2000registrations", signRead, kManyRegistrations)
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    return veltora::bench::runInterleaved(argc, argv);
}
