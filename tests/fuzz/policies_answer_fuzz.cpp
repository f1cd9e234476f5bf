// The body of the service's answer listing the signing policies.
#include "VeltoraCryptoTokenKit/VeltoraClient.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto policies =
        veltora::VeltoraClient::signingPoliciesFromAnswer(veltora::fuzz::textOf(data, size));
    veltora::fuzz::require(policies.ok() ? policies.value().is_object()
                                         : policies.error().code == veltora::VeltoraClient::kJsonParsingCode,
                           "a policies answer is an object or a JSON parsing error");
    return 0;
}
