// One synchronisation pass over 1,000 policies served by the local service emulator ("pass"),
// beside a bare loop that parses the same 1,000 certificates with OpenSSL and writes the same
// registrations through the store writer ("raw"), the reference. Both start each iteration from an
// empty store. Throughput (registrations per second of wall-clock time) is in "items_per_second";
// "registration_time" is the seconds per registration.

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/app/CertificateService.h"
#include "VeltoraCryptoTokenKit/app/CertificateSync.h"
#include "bench/InterleavedRun.h"
#include "tests/support/EmulatorProcess.h"

#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using veltora::test::EmulatorProcess;

constexpr int kPolicies = 1000;

struct Policy {
    std::string id;
    std::vector<std::uint8_t> der;
};

// The emulator, the configuration, the policies it serves and a store of the run's own.
class Service {
public:
    Service() : emulator_({"--generate", std::to_string(kPolicies)}) {
        store_ = std::filesystem::temp_directory_path() / ("host-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(store_);
        setenv("VELTORA_TOKEN_STORE", store_.c_str(), 1);
        config_.apiUrl = emulator_.baseUrl();
        config_.organizationId = EmulatorProcess::kOrganization;
        config_.apiToken = EmulatorProcess::kApiToken;
        config_.projectSlug = "";
        config_.signingPolicySlug = "";
        config_.timeouts = {30.0F, 1.6F, 10};
        client_ = std::make_unique<veltora::VeltoraClient>(*config_.apiUrl, *config_.organizationId,
                                                           *config_.apiToken, config_.timeouts);
        const auto answer = client_->mySigningPolicies(std::nullopt, std::nullopt);
        if (!answer) {
            throw std::runtime_error("the emulator serves no policies: " + answer.error().description);
        }
        for (const auto& policy : answer.value().at("signingPolicies")) {
            auto der = quillet::base64Decoded(policy.at("certificateBytes").get<std::string>());
            if (!der) {
                throw std::runtime_error("a certificate text is not Base64");
            }
            policies_.push_back({policy.at("signingPolicyId"), std::move(*der)});
        }
        if (policies_.size() != kPolicies ||
            quillet::TKTokenDriverConfiguration::driverConfigurations().empty()) {
            throw std::runtime_error("no policies or no token driver (is the module built?)");
        }
    }
    ~Service() {
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }

    const veltora::VeltoraClient& client() const { return *client_; }
    const veltora::Configuration& config() const { return config_; }
    const std::vector<Policy>& policies() const { return policies_; }

private:
    EmulatorProcess emulator_;
    std::filesystem::path store_;
    veltora::Configuration config_;
    std::unique_ptr<veltora::VeltoraClient> client_;
    std::vector<Policy> policies_;
};

Service& service() {
    static Service shared;
    return shared;
}

void countRegistrations(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kPolicies);
    state.counters["registration_time"] = benchmark::Counter(
        kPolicies, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_HostPass_pass(benchmark::State& state) {
    auto& shared = service();
    const veltora::CertificateService certificateService;
    const veltora::CertificateSync sync(&shared.client(), shared.config(), &certificateService);
    for (auto _ : state) {
        const auto outcome = sync.certificateSync();
        if (outcome.rows.size() != kPolicies) {
            state.SkipWithError("the pass did not register every policy");
            break;
        }
        state.PauseTiming();
        certificateService.clearVeltoraTokens();
        state.ResumeTiming();
    }
    countRegistrations(state);
}

void BM_HostPass_raw(benchmark::State& state) {
    auto& shared = service();
    const std::string json = shared.config().toJson();
    const std::vector<std::uint8_t> data(json.begin(), json.end());
    for (auto _ : state) {
        auto drivers = quillet::TKTokenDriverConfiguration::driverConfigurations();
        auto& driver = *drivers.begin()->second;
        for (const auto& policy : shared.policies()) {
            const unsigned char* cursor = policy.der.data();
            X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(policy.der.size()));
            benchmark::DoNotOptimize(parsed);
            X509_free(parsed);
            auto registration = driver.addTokenConfigurationForTokenInstanceID(policy.id);
            auto certificate = quillet::TKTokenKeychainCertificate::make(policy.der, policy.id);
            auto key = quillet::TKTokenKeychainKey::make(policy.der, policy.id);
            if (!registration || !certificate || !key || !registration.value()->setConfigurationData(data) ||
                !registration.value()->setKeychainItems(std::move(certificate).value(),
                                                        std::move(key).value())) {
                state.SkipWithError("cannot write a registration");
                return;
            }
        }
        state.PauseTiming();
        veltora::CertificateService{}.clearVeltoraTokens();
        state.ResumeTiming();
    }
    countRegistrations(state);
}

} // namespace

BENCHMARK(BM_HostPass_pass)->Name("BM_HostPass/pass")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostPass_raw)->Name("BM_HostPass/raw")->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return veltora::bench::runInterleaved(argc, argv);
}
