// Signing round trips per second against the local service emulator, over HTTP
// and HTTPS, at 1 and 8 client threads: through one long-lived VeltoraClient
// ("longLived"), through a fresh VeltoraClient per request ("freshClient"), and
// through a bare libcurl keep-alive loop posting the same bytes ("raw"), the
// reference. Benchmarks are named BM_<case>/<variant>; scripts/bench.sh prints
// the throughput ratios of each case. Throughput is counted against wall-clock
// time in the "items_per_second" counter.

#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "bench/InterleavedRun.h"
#include "tests/support/EmulatorProcess.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using veltora::TimeoutsConfiguration;
using veltora::VeltoraClient;
using veltora::test::EmulatorProcess;

constexpr int kRequestsPerThreadAndIteration = 20;
constexpr const char* kDigestBase64 = "LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=";
constexpr const char* kPolicyId = "policy-id-1";
constexpr const char* kSha256Oid = "2.16.840.1.101.3.4.2.1";

enum class Transport { http, https };
enum class Variant { longLived, freshClient, raw };

const TimeoutsConfiguration kTimeouts{30.0f, 1.6f, 10};

// One emulator per transport for the whole run, with the exact request our
// client sends, captured from the emulator so the raw loop posts the same bytes.
struct Service {
    std::unique_ptr<EmulatorProcess> emulator;
    std::string url;
    std::vector<std::string> headerLines;
    std::string body;
};

Service& service(Transport transport) {
    static std::map<Transport, Service> services;
    auto& entry = services[transport];
    if (entry.emulator) {
        return entry;
    }
    entry.emulator = std::make_unique<EmulatorProcess>(std::vector<std::string>{"--threads", "48"},
                                                       transport == Transport::https);
    if (transport == Transport::https) {
        // Our client trusts the bundle named here; the raw loop is given the same file.
        setenv("SSL_CERT_FILE", entry.emulator->caFile().c_str(), 1);
    }
    const VeltoraClient client(entry.emulator->baseUrl(), "test-org", "test-token", kTimeouts);
    const auto signature = client.sendSigningRequest(kDigestBase64, kPolicyId, kSha256Oid);
    if (!signature) {
        throw std::runtime_error("the emulator does not sign: " + signature.error().description);
    }
    const auto sent = entry.emulator->requests().back();
    entry.url = entry.emulator->baseUrl() + "/v1/test-org/SigningRequests";
    entry.body = EmulatorProcess::body(sent);
    for (const char* name : {"Authorization", "Content-Type", "User-Agent"}) {
        entry.headerLines.push_back(std::string(name) + ": " + EmulatorProcess::header(sent, name));
    }
    entry.headerLines.emplace_back("Expect:");
    return entry;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// A bare libcurl keep-alive connection posting the captured request.
class RawPoster {
public:
    explicit RawPoster(const Service& target) : curl_(curl_easy_init(), &curl_easy_cleanup) {
        for (const auto& line : target.headerLines) {
            headers_ = curl_slist_append(headers_, line.c_str());
        }
        curl_easy_setopt(curl_.get(), CURLOPT_URL, target.url.c_str());
        curl_easy_setopt(curl_.get(), CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(target.body.size()));
        curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDS, target.body.c_str());
        curl_easy_setopt(curl_.get(), CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(curl_.get(), CURLOPT_NOSIGNAL, 1L);
        if (const char* bundle = std::getenv("SSL_CERT_FILE")) {
            curl_easy_setopt(curl_.get(), CURLOPT_CAINFO, bundle);
        }
    }
    ~RawPoster() { curl_slist_free_all(headers_); }
    RawPoster(const RawPoster&) = delete;
    RawPoster& operator=(const RawPoster&) = delete;

    bool post() {
        long status = 0;
        return curl_easy_perform(curl_.get()) == CURLE_OK &&
               curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

private:
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
    curl_slist* headers_ = nullptr;
};

void signRoundTrips(benchmark::State& state, Transport transport, Variant variant, int threads) {
    Service& target = service(transport);
    const VeltoraClient longLived(target.emulator->baseUrl(), "test-org", "test-token", kTimeouts);
    std::vector<std::unique_ptr<RawPoster>> raw;
    for (int t = 0; t < threads; ++t) {
        raw.push_back(std::make_unique<RawPoster>(target));
    }
    std::atomic<long> failures{0};
    const auto worker = [&](int index) {
        for (int i = 0; i < kRequestsPerThreadAndIteration; ++i) {
            bool ok = false;
            if (variant == Variant::raw) {
                ok = raw[static_cast<std::size_t>(index)]->post();
            } else if (variant == Variant::longLived) {
                ok = longLived.sendSigningRequest(kDigestBase64, kPolicyId, kSha256Oid).ok();
            } else {
                const VeltoraClient fresh(target.emulator->baseUrl(), "test-org", "test-token", kTimeouts);
                ok = fresh.sendSigningRequest(kDigestBase64, kPolicyId, kSha256Oid).ok();
            }
            failures += ok ? 0 : 1;
        }
    };

    double seconds = 0;
    long requests = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        {
            std::vector<std::jthread> helpers;
            for (int t = 1; t < threads; ++t) {
                helpers.emplace_back(worker, t);
            }
            worker(0);
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        requests += static_cast<long>(threads) * kRequestsPerThreadAndIteration;
    }
    if (failures > 0) {
        state.SkipWithError("some signing requests failed");
    }
    state.counters["items_per_second"] = static_cast<double>(requests) / seconds;
}

void registerAll() {
    const std::pair<Transport, const char*> transports[] = {{Transport::http, "Http"},
                                                            {Transport::https, "Https"}};
    const std::pair<Variant, const char*> variants[] = {
        {Variant::raw, "raw"}, {Variant::longLived, "longLived"}, {Variant::freshClient, "freshClient"}};
    for (const auto& [transport, transportName] : transports) {
        for (const int threads : {1, 8}) {
            for (const auto& [variant, variantName] : variants) {
                const std::string name = std::string("BM_Sign") + transportName + "_" +
                                         std::to_string(threads) + "threads/" + variantName;
                benchmark::RegisterBenchmark(name.c_str(), signRoundTrips, transport, variant, threads);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    return veltora::bench::runInterleaved(argc, argv);
}
