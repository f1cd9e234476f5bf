// The DigestInfo an application hands to CKM_RSA_PKCS.
#include "Quillet/pkcs11/operation/DigestInfo.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const auto unwrapped = quillet::unwrapDigestInfo(input);
    if (unwrapped) {
        const auto digest = unwrapped.value().digest;
        veltora::fuzz::require((digest.size() == 32 || digest.size() == 20) && digest.data() >= data &&
                                   digest.data() + digest.size() == data + size,
                               "the digest is the SHA-256 or SHA-1 sized tail of the input");
    }
    return 0;
}
