// The body of the service's answer listing the signing policies, and the host's pass over it
// (without a store, so it checks and decodes every policy but registers none).
#include "VeltoraCryptoTokenKit/app/CertificateSync.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltora::fuzz::require;
    const auto policies =
        veltora::VeltoraClient::signingPoliciesFromAnswer(veltora::fuzz::textOf(data, size));
    if (!policies) {
        require(policies.error().code == veltora::VeltoraClient::kJsonParsingCode,
                "a policies answer that is no object is a JSON parsing error");
        return 0;
    }
    require(policies.value().is_object(), "a policies answer is an object");
    static const veltora::CertificateSync pass(nullptr, std::nullopt, nullptr);
    const auto outcome = pass.registerPolicies(policies.value());
    require(outcome.rows.empty(), "without a store no policy becomes a row");
    return 0;
}
