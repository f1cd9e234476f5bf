// The text of the PascalCase configuration file.
#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto configuration = veltora::configurationFromFileText(veltora::fuzz::textOf(data, size))) {
        (void)configuration->description();
    }
    return 0;
}
