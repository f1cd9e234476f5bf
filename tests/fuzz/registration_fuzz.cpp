// One registration file of the token store, read in memory.
#include "Quillet/platform/TokenStore.h"
#include "tests/fuzz/FuzzCheck.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const quillet::TokenStore store("/nonexistent/veltora-fuzz/tokens");
    std::string problem;
    const auto registration = store.decode(std::string(veltora::fuzz::textOf(data, size)), problem);
    veltora::fuzz::require(registration.has_value() == problem.empty(),
                           "a registration is decoded, or refused with a reason");
    if (registration && registration->certificateItem()) {
        (void)registration->certificateItem()->data();
    }
    return 0;
}
