// The strict and the lenient Base64 decoders, and the encoder they must agree with.
#include "Quillet/platform/ByteText.h"
#include "tests/fuzz/FuzzCheck.h"

using veltora::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = veltora::fuzz::textOf(data, size);
    const auto strict = quillet::base64Decoded(text);
    const auto lenient = quillet::base64DecodedIgnoringUnknownCharacters(text);
    if (strict) {
        require(lenient == strict,
                "the lenient decoder accepts what the strict one does, with the same bytes");
        require(quillet::base64Decoded(quillet::base64Encoded(*strict)) == strict,
                "decoded bytes encode and decode to themselves");
    }
    // The input as bytes: whatever is encoded decodes back.
    const std::span<const std::uint8_t> bytes(data, size);
    const auto back = quillet::base64Decoded(quillet::base64Encoded(bytes));
    require(back && std::equal(back->begin(), back->end(), bytes.begin(), bytes.end()),
            "encoded bytes decode to themselves");
    return 0;
}
