// The configuration record as JSON (also what a registration carries).
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltora::Configuration;
    const auto decoded = Configuration::fromJson(veltora::fuzz::textOf(data, size));
    if (!decoded) {
        return 0;
    }
    (void)decoded.value().description();
    const auto again = Configuration::fromJson(decoded.value().toJson());
    veltora::fuzz::require(again.ok() && again.value() == decoded.value(),
                           "a decoded configuration survives toJson and fromJson");
    return 0;
}
