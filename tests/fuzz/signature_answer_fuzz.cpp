// The body of the service's answer to a signing request.
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto signature = veltora::VeltoraClient::signatureFromAnswer(veltora::fuzz::textOf(data, size));
    veltora::fuzz::require(signature.ok() ||
                               signature.error().code == veltora::VeltoraClient::kJsonParsingCode,
                           "a signing answer is a signature text or a JSON parsing error");
    return 0;
}
