// Signatures per second through the PKCS#11 module's C_Sign (two-call form)
// ("module") beside the same requests made directly through a fresh
// VeltoraClient per request ("direct"), the reference, at 1 and 8 threads,
// against the local service emulator. "tokenSession" calls the token session's
// sign operation without the PKCS#11 layer, to tell that layer's cost apart
// from the session's own (it reads the registration afresh for every request). BM_Pkcs11LatencyScaling adds 5
// ms of service latency and reports how far 8 threads outpace one ("speedup"); the module takes no lock
// across a request, so it should come close to 8. Throughput is counted against wall-clock time in
// "items_per_second". BM_Pkcs11SignatureCheck sets the module's check of each
// signature against the token's key ("verify") beside one signing round trip
// ("direct"), both in items per second. BM_SignCpuPerSignature sets the processor
// time of this whole process per signature through the module ("module")
// beside the direct client's ("direct"), one signature per iteration: its
// cpu_time counts every thread, the module's workers and log thread included,
// and leaves out the emulator, which runs in a process of its own.

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "Quillet/token/Token.h"
#include "Quillet/token/TokenDriver.h"
#include "Quillet/token/TokenSession.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "bench/InterleavedRun.h"
#include "bench/LoadedModule.h"
#include "bench/PolicyRegistration.h"
#include "tests/support/EmulatorProcess.h"
#include "tests/support/PrivateKeyLookup.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using veltora::TimeoutsConfiguration;
using veltora::VeltoraClient;
using veltora::bench::moduleFunctions;
using veltora::test::EmulatorProcess;

constexpr int kRequestsPerThreadAndIteration = 20;
using veltora::bench::kPolicyId;
constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";
const TimeoutsConfiguration kTimeouts{30.0f, 1.6f, 10};

// SHA-256 DigestInfo of some digest, as CKM_RSA_PKCS takes it.
const std::vector<CK_BYTE> kDigestInfo = [] {
    const std::array<CK_BYTE, 19> prefix{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<CK_BYTE> info(prefix.size() + 32, 0x5a);
    std::copy(prefix.begin(), prefix.end(), info.begin());
    return info;
}();
const std::string kDigestBase64 = "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlo=";

struct OpenSession {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
};

// The session's private key, found once as applications do before they sign.
CK_OBJECT_HANDLE findKey(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session) {
    const CK_OBJECT_HANDLE key = veltora::test::privateKeyOf(functions, session);
    if (key == CK_INVALID_HANDLE) {
        throw std::runtime_error("the token shows no private key");
    }
    return key;
}

std::vector<std::uint8_t> unbase64(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.size());
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        throw std::runtime_error("not Base64");
    }
    bytes.resize(static_cast<std::size_t>(length) - (text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0));
    return bytes;
}

// An emulator and a registration store holding its policy, for the whole run.
class Service {
public:
    explicit Service(int latencyMilliseconds)
        : emulator_({"--threads", "48", "--latency-ms", std::to_string(latencyMilliseconds)}) {
        store_ = std::filesystem::temp_directory_path() /
                 ("quillet-bench-" + std::to_string(getpid()) + "-" + std::to_string(latencyMilliseconds));
        std::filesystem::create_directories(store_);
    }
    ~Service() {
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }

    const EmulatorProcess& emulator() const { return emulator_; }

    // Points the module at this service's store and opens one session per thread.
    std::vector<OpenSession> openSessions(CK_FUNCTION_LIST* functions, int count) {
        setenv("VELTORA_TOKEN_STORE", store_.c_str(), 1);
        std::call_once(registered_, [this] { veltora::bench::registerFirstPolicy(emulator_, kTimeouts); });
        functions->C_Finalize(nullptr);
        CK_SLOT_ID slot = 0;
        CK_ULONG slots = 1;
        if (functions->C_Initialize(nullptr) != CKR_OK ||
            functions->C_GetSlotList(CK_TRUE, &slot, &slots) != CKR_OK || slots != 1) {
            throw std::runtime_error("the module shows no token");
        }
        std::vector<OpenSession> sessions(static_cast<std::size_t>(count));
        for (auto& session : sessions) {
            functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session.handle);
            session.key = findKey(functions, session.handle);
        }
        return sessions;
    }

private:
    EmulatorProcess emulator_;
    std::filesystem::path store_;
    std::once_flag registered_;
};

Service& service(int latencyMilliseconds) {
    static Service fast(0);
    static Service slow(5);
    return latencyMilliseconds == 0 ? fast : slow;
}

bool signThroughModule(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (functions->C_SignInit(session, &mechanism, key) != CKR_OK) {
        return false;
    }
    auto* data = const_cast<CK_BYTE*>(kDigestInfo.data());
    CK_ULONG length = 0;
    if (functions->C_Sign(session, data, kDigestInfo.size(), nullptr, &length) != CKR_OK) {
        return false;
    }
    std::vector<CK_BYTE> signature(length);
    return functions->C_Sign(session, data, kDigestInfo.size(), signature.data(), &length) == CKR_OK;
}

bool signDirectly(const EmulatorProcess& emulator) {
    const VeltoraClient fresh(emulator.baseUrl(), EmulatorProcess::kOrganization, EmulatorProcess::kApiToken,
                              kTimeouts);
    return fresh.sendSigningRequest(kDigestBase64, kPolicyId, kSha256Oid).ok();
}

bool signThroughTokenSession(quillet::TokenSession& session) {
    const std::span<const std::uint8_t> digest(kDigestInfo.data() + 19, 32);
    return session
        .signData(digest, std::string(kPolicyId),
                  quillet::TKTokenKeyAlgorithm(
                      std::string(quillet::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256)))
        .ok();
}

// Requests per second of `threads` threads each signing kRequestsPerThreadAndIteration times.
template <class Sign> double roundRate(int threads, std::atomic<long>& failures, Sign sign) {
    const auto started = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < kRequestsPerThreadAndIteration; ++i) {
                    failures += sign(t) ? 0 : 1;
                }
            });
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return threads * kRequestsPerThreadAndIteration / seconds;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

enum class Path { direct, tokenSession, module };

void signRoundTrips(benchmark::State& state, Path path, int threads) {
    CK_FUNCTION_LIST* functions = moduleFunctions();
    Service& target = service(0);
    const auto sessions = target.openSessions(functions, threads);
    const auto driver = std::make_shared<quillet::TokenDriver>();
    const auto token = std::make_shared<quillet::Token>(driver, kPolicyId);
    std::atomic<long> failures{0};
    double rates = 0;
    long rounds = 0;
    const double cpuBefore = processCpuSeconds();
    for (auto _ : state) {
        rates += roundRate(threads, failures, [&](int t) {
            switch (path) {
            case Path::module:
                return signThroughModule(functions, sessions[static_cast<std::size_t>(t)].handle,
                                         sessions[static_cast<std::size_t>(t)].key);
            case Path::tokenSession:
                return signThroughTokenSession(*token->createSession());
            default:
                return signDirectly(target.emulator());
            }
        });
        ++rounds;
    }
    if (failures > 0) {
        state.SkipWithError("some signing requests failed");
    }
    state.counters["items_per_second"] = rates / static_cast<double>(rounds);
    // This process's processor time per signature, all its threads counted: the
    // emulator's share of the machine is what is left for it.
    state.counters["cpu_us_per_signature"] =
        (processCpuSeconds() - cpuBefore) * 1e6 /
        static_cast<double>(rounds * threads * kRequestsPerThreadAndIteration);
}

void latencyScaling(benchmark::State& state) {
    CK_FUNCTION_LIST* functions = moduleFunctions();
    const auto sessions = service(5).openSessions(functions, 8);
    const auto sign = [&](int t) {
        const auto& session = sessions[static_cast<std::size_t>(t)];
        return signThroughModule(functions, session.handle, session.key);
    };
    std::atomic<long> failures{0};
    double single = 0;
    double eight = 0;
    for (auto _ : state) {
        single += roundRate(1, failures, sign);
        eight += roundRate(8, failures, sign);
    }
    if (failures > 0) {
        state.SkipWithError("some signing requests failed");
    }
    state.counters["rate_1thread"] = single / static_cast<double>(state.iterations());
    state.counters["rate_8threads"] = eight / static_cast<double>(state.iterations());
    state.counters["speedup"] = eight / single;
}

// The check C_Sign makes of every signature, alone: one RSA public-key operation.
void signatureCheck(benchmark::State& state) {
    const EmulatorProcess& emulator = service(0).emulator();
    const auto key =
        quillet::TKTokenKeychainKey::make(veltora::bench::policyCertificate(emulator, kTimeouts), kPolicyId);
    const VeltoraClient client(emulator.baseUrl(), EmulatorProcess::kOrganization, EmulatorProcess::kApiToken,
                               kTimeouts);
    const auto signature = client.sendSigningRequest(kDigestBase64, kPolicyId, kSha256Oid);
    if (!key || !signature) {
        state.SkipWithError("no key or signature to check");
        return;
    }
    const std::vector<std::uint8_t> bytes = unbase64(signature.value());
    long failures = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        failures += key.value().verifies(bytes, kDigestInfo) ? 0 : 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (failures > 0) {
        state.SkipWithError("the signature did not verify");
    }
    state.counters["items_per_second"] = static_cast<double>(state.iterations()) / seconds;
    state.counters["us_per_item"] = seconds * 1e6 / static_cast<double>(state.iterations());
}

// One signature per iteration, on one calling thread; the process's CPU time is what counts.
void cpuPerSignature(benchmark::State& state, Path path) {
    CK_FUNCTION_LIST* functions = moduleFunctions();
    Service& target = service(0);
    const auto sessions = target.openSessions(functions, 1);
    long failures = 0;
    for (auto _ : state) {
        const bool signed_ = path == Path::module
                                 ? signThroughModule(functions, sessions.front().handle, sessions.front().key)
                                 : signDirectly(target.emulator());
        failures += signed_ ? 0 : 1;
    }
    if (failures > 0) {
        state.SkipWithError("some signing requests failed");
    }
}

void registerAll() {
    for (const int threads : {1, 8}) {
        const std::string name = "BM_Pkcs11Sign_" + std::to_string(threads) + "threads/";
        const std::pair<Path, const char*> paths[] = {
            {Path::direct, "direct"}, {Path::tokenSession, "tokenSession"}, {Path::module, "module"}};
        for (const auto& [path, pathName] : paths) {
            benchmark::RegisterBenchmark((name + pathName).c_str(), signRoundTrips, path, threads)
                ->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("BM_Pkcs11SignatureCheck/direct", signRoundTrips, Path::direct, 1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_Pkcs11SignatureCheck/verify", signatureCheck)->UseRealTime();
    benchmark::RegisterBenchmark("BM_Pkcs11LatencyScaling/module", latencyScaling)->UseRealTime();
    for (const auto& [path, pathName] :
         {std::pair{Path::direct, "direct"}, std::pair{Path::module, "module"}}) {
        benchmark::RegisterBenchmark((std::string("BM_SignCpuPerSignature/") + pathName).c_str(),
                                     cpuPerSignature, path)
            ->MeasureProcessCPUTime()
            ->UseRealTime();
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    return veltora::bench::runInterleaved(argc, argv);
}
